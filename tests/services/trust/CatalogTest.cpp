// The catalog fallback. Wine's catalog database cannot give a second-generation context and lacks
// the second-generation hash call; both are bound at run time and their absence is an error path.
// The version seam runs the paths of Windows 7 and Windows 10 without switching the shared prefix.
#include <gtest/gtest.h>

#include "services/trust/CatalogContext.h"
#include "services/trust/CatalogFileHash.h"
#include "services/trust/CatalogIterator.h"
#include "services/trust/SignerPolicy.h"
#include "services/trust/TrustOsVersion.h"
#include "services/trust/VerifyFile.h"
#include "services/trust/TrustTestSupport.h"

using namespace qkVerifyTrust;
using trust_test::Fixture;
using trust_test::kPlugin;

namespace {
struct VersionOverride {
    VersionOverride(DWORD major, DWORD minor) { TrustOsVersion::Override(major, minor); }
    ~VersionOverride() { TrustOsVersion::Reset(); }
};
} // namespace

TEST(CatalogTest, SecondGenerationContextFromWindows8On)
{
    VersionOverride version(10, 0);
    CatalogContext context;
    if (context.Acquire()) {
        // A system with the second-generation catalog database (Windows).
        EXPECT_TRUE(context.IsSha256());
        EXPECT_NE(context.Get(), nullptr);
    } else {
        // Wine: the call exists and fails; there is no fallback to the first generation.
        EXPECT_EQ(context.Get(), nullptr);
        EXPECT_NE(context.LastError(), 0u);
        EXPECT_FALSE(context.IsSha256());
    }
}

TEST(CatalogTest, FirstGenerationContextBeforeWindows8)
{
    VersionOverride version(6, 1);
    CatalogContext context;
    ASSERT_TRUE(context.Acquire()) << GetLastError();
    EXPECT_FALSE(context.IsSha256());

    CatalogFileHash hash;
    ASSERT_EQ(hash.Compute(context, Fixture(std::wstring(L"unsigned\\") + kPlugin).c_str(), 1), S_OK);
    EXPECT_EQ(hash.Hash().size(), 20u); // the default algorithm (SHA-1)
    ASSERT_EQ(hash.MemberTag().size(), 40u);
    for (wchar_t c : hash.MemberTag())
        EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'));
    // Nothing in the prefix's catalogs holds our file.
    CatalogIterator catalogs;
    catalogs.Collect(context, hash.Hash());
    EXPECT_EQ(catalogs.Count(), 0u);
    EXPECT_TRUE(catalogs.AtEnd());

    EXPECT_EQ(hash.Compute(context, Fixture(L"no-such-file.dll").c_str(), 0), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(CatalogTest, SecondGenerationHashCallIsBoundAtRunTime)
{
    // Present on Windows 8 and later, missing under Wine: either way the program starts.
    const auto calc2 = CatalogContext::CalcHashFromFileHandle2();
    HMODULE wintrust = GetModuleHandleW(L"wintrust.dll");
    ASSERT_NE(wintrust, nullptr);
    EXPECT_EQ(calc2 != nullptr, GetProcAddress(wintrust, "CryptCATAdminCalcHashFromFileHandle2") != nullptr);
}

TEST(CatalogTest, UnsignedFileKeepsItsFailureThroughTheFallback)
{
    trust_test::ScopedSignerNames names;
    const std::wstring file = Fixture(std::wstring(L"unsigned\\") + kPlugin);
    for (DWORD major : {6u, 10u}) {
        VersionOverride version(major, major == 6 ? 1 : 0);
        for (DWORD level : {3u, 4u, 5u}) {
            bool usedCatalog = true;
            std::wstring catalog = L"x";
            HRESULT hr = S_OK;
            EXPECT_EQ(VerifyFile::FileSignatureCheck(file.c_str(), level, 1, 0, &usedCatalog, &catalog, 0, false, &hr),
                      3u)
                << major << " level " << level;
            EXPECT_EQ(hr, TRUST_E_NOSIGNATURE) << major << " level " << level;
            EXPECT_FALSE(usedCatalog);
            EXPECT_TRUE(catalog.empty());
        }
    }
    // A missing file is missing before the system is asked.
    EXPECT_EQ(VerifyFile::FileSignatureCheck(Fixture(L"no-such.dll").c_str(), 4, 1, 0, nullptr, nullptr, 0, false), 2u);
    EXPECT_EQ(VerifyFile::FileSignatureCheck(L"", 4, 1, 0, nullptr, nullptr, 0, false), 5u);
}

// An embedded-only request judges the file's own signature and never asks a catalog, even one that
// lists the file and verifies; a plain request at the same level takes the catalog's verdict.
TEST(CatalogTest, EmbeddedOnlyRequestNeverTakesACatalog)
{
    trust_test::ScopedSignerNames names;
    trust_test::ScopedListingCatalog catalog(Fixture(std::wstring(L"other\\") + kPlugin));
    struct Case {
        const wchar_t* folder;
        bool embeddedOnly;
        DWORD result;
        bool fromCatalog;
        HRESULT system; // WinVerifyTrust's final answer
    } cases[] = {
        {L"tampered", false, 1, true, S_OK}, {L"tampered", true, 3, false, TRUST_E_BAD_DIGEST},
        {L"unsigned", false, 1, true, S_OK}, {L"unsigned", true, 3, false, TRUST_E_NOSIGNATURE},
        {L"level3", false, 1, false, S_OK},  {L"level3", true, 1, false, S_OK},
    };
    for (const Case& c : cases) {
        const std::wstring file = Fixture(std::wstring(c.folder) + L"\\" + kPlugin);
        SCOPED_TRACE(testing::Message() << std::string(file.begin(), file.end()) << " embedded only "
                                        << c.embeddedOnly);
        trust_test::ScopedListingCatalog::Asked() = 0;
        VerifyFile::Request request;
        request.path = file.c_str();
        request.level = 1;
        request.embeddedOnly = c.embeddedOnly;
        EXPECT_EQ(VerifyFile::Verify(request), c.result);
        EXPECT_EQ((request.status & VT_STATUS_FROM_CATALOG) != 0, c.fromCatalog);
        EXPECT_EQ(trust_test::ScopedListingCatalog::Asked(), c.fromCatalog ? 1 : 0);

        bool usedCatalog = true;
        HRESULT hr = E_FAIL;
        VerifyFile::FileSignatureCheck(file.c_str(), 1, 1, 1, &usedCatalog, nullptr, 0, false, &hr, c.embeddedOnly);
        EXPECT_EQ(usedCatalog, c.fromCatalog);
        EXPECT_EQ(hr, c.system);
    }
}
