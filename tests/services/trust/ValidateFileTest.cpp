// File validation by the manifest entry's "validation" node, on real files of the signing fixtures.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"
#include "services/trust/SignerPolicy.h"
#include "services/trust/TrustOsVersion.h"
#include "services/trust/TrustTestSupport.h"

using nlohmann::json;
using trust_test::Fixture;
using trust_test::kPlugin;

namespace {

std::wstring File(const wchar_t* folder)
{
    return Fixture(std::wstring(folder) + L"\\" + kPlugin);
}

std::string Digest()
{
    const std::wstring path = File(L"unsigned") + L".sha256";
    std::ifstream in(std::string(path.begin(), path.end()));
    std::string text;
    std::getline(in, text);
    return text;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

TEST(ValidateFileTest, DecisionTable)
{
    trust_test::ScopedSignerNames names;
    std::string digest = Digest();
    ASSERT_EQ(digest.size(), 64u);

    struct Case {
        const char* what;
        std::wstring file;
        std::optional<json> node;
        HRESULT hr;
        int32_t error;      // the stored validation error
        DWORD osMajor = 10; // the subject check runs from Windows 10 on
    };
    const Case cases[] = {
        {"sha256 match", File(L"unsigned"), json{{"type", "sha256"}, {"data", digest}}, S_OK, -7},
        {"sha256 mismatch", File(L"level3"), json{{"type", "sha256"}, {"data", digest}}, vek::VEK_E_DIGEST_MISMATCH,
         vek::VEK_E_DIGEST_MISMATCH},
        {"sha256 upper case", File(L"unsigned"), json{{"type", "sha256"}, {"data", Upper(digest)}},
         vek::VEK_E_DIGEST_MISMATCH, vek::VEK_E_DIGEST_MISMATCH},
        {"sha256 63 characters", File(L"unsigned"), json{{"type", "sha256"}, {"data", digest.substr(0, 63)}},
         vek::VEK_E_DIGEST_MISMATCH, vek::VEK_E_DIGEST_MISMATCH},
        {"sha256 65 characters", File(L"unsigned"), json{{"type", "sha256"}, {"data", digest + "0"}},
         vek::VEK_E_DIGEST_MISMATCH, vek::VEK_E_DIGEST_MISMATCH},
        {"sha256 without data", File(L"unsigned"), json{{"type", "sha256"}}, vek::VEK_E_DIGEST_MISSING,
         vek::VEK_E_DIGEST_MISSING},
        {"missing file", Fixture(L"no-such-file.dll"), json{{"type", "sha256"}, {"data", digest}},
         vek::VEK_E_FILE_NOT_FOUND, vek::VEK_E_FILE_NOT_FOUND},
        {"missing file, default rule", Fixture(L"no-such-file.dll"), std::nullopt, vek::VEK_E_FILE_NOT_FOUND,
         vek::VEK_E_FILE_NOT_FOUND},
        {"custom subject match", File(L"level3"), json{{"type", "custom"}, {"subj", "Vek Test Publisher"}}, S_OK, -7},
        {"custom subject of another signer", File(L"other"), json{{"type", "custom"}, {"subj", "Someone Else"}}, S_OK,
         -7},
        {"custom subject mismatch", File(L"level3"), json{{"type", "custom"}, {"subj", "Someone Else"}}, E_FAIL,
         E_FAIL},
        {"custom subject differing in case", File(L"level3"), json{{"type", "custom"}, {"subj", "vek test publisher"}},
         E_FAIL, E_FAIL},
        {"custom subject on an unsigned file", File(L"unsigned"),
         json{{"type", "custom"}, {"subj", "Vek Test Publisher"}}, static_cast<HRESULT>(CRYPT_E_NO_MATCH),
         static_cast<HRESULT>(CRYPT_E_NO_MATCH)},
        // The subject alone does not make a changed file valid.
        {"custom subject on a tampered file", File(L"tampered"),
         json{{"type", "custom"}, {"subj", "Vek Test Publisher"}}, vek::VEK_E_SIGNATURE_NOT_TRUSTED, 3},
        // Fails closed: no subject, or no subject check before Windows 10 -> the maker's signature.
        {"custom without subject, maker's file", File(L"level3"), json{{"type", "custom"}}, S_OK, 1},
        {"custom without subject, other signer", File(L"other"), json{{"type", "custom"}},
         vek::VEK_E_SIGNATURE_NOT_TRUSTED, vek::VEK_E_SIGNATURE_NOT_TRUSTED},
        {"custom on Windows 7, maker's file", File(L"level3"), json{{"type", "custom"}, {"subj", "Someone Else"}}, S_OK,
         1, 6},
        {"custom on Windows 7, other signer", File(L"other"), json{{"type", "custom"}, {"subj", "Someone Else"}},
         vek::VEK_E_SIGNATURE_NOT_TRUSTED, vek::VEK_E_SIGNATURE_NOT_TRUSTED, 6},
        {"default rule, maker's file", File(L"level3"), std::nullopt, S_OK, 1},
        {"default rule by type tal", File(L"level3"), json{{"type", "tal"}}, S_OK, 1},
        {"default rule without type", File(L"level3"), json{{"data", digest}}, S_OK, 1},
        {"default rule, level-5 signer", File(L"level5"), json{{"type", "tal"}}, vek::VEK_E_SIGNATURE_NOT_TRUSTED,
         vek::VEK_E_SIGNATURE_NOT_TRUSTED},
        {"default rule, unsigned", File(L"unsigned"), json{{"type", "tal"}}, vek::VEK_E_SIGNATURE_NOT_TRUSTED,
         vek::VEK_E_SIGNATURE_NOT_TRUSTED},
        {"default rule, tampered", File(L"tampered"), std::nullopt, vek::VEK_E_SIGNATURE_NOT_TRUSTED,
         vek::VEK_E_SIGNATURE_NOT_TRUSTED},
        {"default rule, untrusted root", File(L"untrusted"), std::nullopt, vek::VEK_E_SIGNATURE_NOT_TRUSTED,
         vek::VEK_E_SIGNATURE_NOT_TRUSTED},
    };
    for (const Case& c : cases) {
        if (c.osMajor == 6)
            qkVerifyTrust::TrustOsVersion::Override(6, 1);
        int32_t error = -7; // untouched on success of a digest or subject check
        const HRESULT hr = vek::ValidateFile(c.file.c_str(), c.node ? &*c.node : nullptr, &error);
        qkVerifyTrust::TrustOsVersion::Reset();
        EXPECT_EQ(static_cast<unsigned>(hr), static_cast<unsigned>(c.hr)) << c.what;
        EXPECT_EQ(static_cast<unsigned>(error), static_cast<unsigned>(c.error)) << c.what;
    }
    EXPECT_EQ(vek::ValidateFile(nullptr, nullptr, nullptr), E_INVALIDARG);
}

// A catalog-listed file with the maker's signature copied onto it: the subject comes from the
// embedded signature, so the verdict must come from that same signature and never from a catalog.
TEST(ValidateFileTest, CustomSubjectIsJudgedByTheFileOwnSignature)
{
    trust_test::ScopedSignerNames names;
    trust_test::ScopedListingCatalog catalog(File(L"other")); // listed in a catalog of another signer
    const json maker = {{"type", "custom"}, {"subj", "Vek Test Publisher"}};

    // The stand-in catalog does vouch for the changed file where catalogs are allowed.
    qkVerifyTrust::VerifyFile::Request request;
    const std::wstring tampered = File(L"tampered");
    request.path = tampered.c_str();
    request.level = 1;
    EXPECT_EQ(qkVerifyTrust::VerifyFile::Verify(request), static_cast<DWORD>(VT_TRUSTED));
    EXPECT_NE(request.status & qkVerifyTrust::VT_STATUS_FROM_CATALOG, 0u) << "the signature came from the catalog";

    struct Case {
        const char* what;
        std::wstring file;
        HRESULT hr;
        int32_t error;
    } cases[] = {
        {"changed file carrying the maker's signature", tampered, vek::VEK_E_SIGNATURE_NOT_TRUSTED, 3},
        {"the maker's own file", File(L"level3"), S_OK, -7},
        {"unsigned file", File(L"unsigned"), static_cast<HRESULT>(CRYPT_E_NO_MATCH),
         static_cast<HRESULT>(CRYPT_E_NO_MATCH)},
    };
    for (const Case& c : cases) {
        trust_test::ScopedListingCatalog::Asked() = 0;
        int32_t error = -7;
        EXPECT_EQ(static_cast<unsigned>(vek::ValidateFile(c.file.c_str(), &maker, &error)), static_cast<unsigned>(c.hr))
            << c.what;
        EXPECT_EQ(static_cast<unsigned>(error), static_cast<unsigned>(c.error)) << c.what;
        EXPECT_EQ(trust_test::ScopedListingCatalog::Asked(), 0) << c.what;
    }
}
