// The trust object on real signed, unsigned and tampered files of the signing fixtures.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

#include "services/trust/FileCache.h"
#include "services/trust/HashProvider.h"
#include "common/objects/IVerifyTrust.h"
#include "services/trust/VerifyFile.h"
#include "services/trust/qkVerifyTrustImpl.h"
#include "services/trust/qkVerifyTrustPolicy.h"
#include "services/trust/qkVerifyTrustStatic.h"
#include "services/trust/TrustTestSupport.h"

using Microsoft::WRL::ComPtr;
using trust_test::Fixture;
using trust_test::kPlugin;

namespace {

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

class TrustObjectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ComPtr<IVerifyTrustOptions> options;
        options.Attach(qkVerifyTrustStatic::CreateObject());
        ASSERT_TRUE(options);
        ASSERT_EQ(options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf())), VT_RC_OK);
        ASSERT_EQ(trust->Create(FALSE), 1u);
        qkVerifyTrust::FileCache::Instance().Clear();
    }
    void TearDown() override
    {
        qkVerifyTrust::HashProvider::Install({});
        qkVerifyTrust::FileCache::Instance().Clear();
    }
    ComPtr<IVerifyTrust> trust;
    trust_test::ScopedSignerNames names;
};

} // namespace

TEST_F(TrustObjectTest, FilesAtEachLevel)
{
    struct Case {
        const wchar_t* file;
        DWORD level, expected;
    } cases[] = {
        {L"level3", 3, 1},
        {L"level3", 4, 3},
        {L"level3", 5, 3},
        {L"level3", 1, 1},
        {L"level4", 4, 1},
        {L"level4", 3, 3},
        {L"level5", 5, 1},
        {L"level5", 3, 3},
        {L"other", 1, 1},
        {L"other", 3, 3},
        {L"other", 4, 3},
        {L"other", 5, 3},
        // The system's verification may accept these; the signer's chain says otherwise.
        {L"nocodesign", 1, 3},
        {L"untrusted", 1, 3},
        {L"untrusted", 3, 3},
        {L"alternative", 1, 1},
        {L"alternative", 3, 3},
        {L"unsigned", 3, 3},
        {L"unsigned", 4, 3},
        {L"unsigned", 1, 3},
        {L"tampered", 3, 3},
        {L"tampered", 4, 3},
    };
    for (const Case& c : cases) {
        const std::wstring path = Fixture(std::wstring(c.file) + L"\\" + kPlugin);
        EXPECT_EQ(trust->VerifyFile(path.c_str(), c.level), c.expected) << Narrow(path) << " at level " << c.level;
    }
    // A signed executable too, and the narrow form of the path.
    const std::wstring exe = Fixture(std::wstring(L"level5\\") + trust_test::kTool);
    EXPECT_EQ(trust->VerifyFile(exe.c_str(), 5), 1u);
    EXPECT_EQ(trust->VerifyFileA(Narrow(exe).c_str(), 5), 1u);
    EXPECT_EQ(trust->VerifyFileA(Narrow(Fixture(std::wstring(L"unsigned\\") + trust_test::kTool)).c_str(), 3), 3u);
}

TEST_F(TrustObjectTest, ArgumentsMissingFilesAndTheEnabledFlag)
{
    EXPECT_EQ(trust->VerifyFile(nullptr, 3), 5u);
    EXPECT_EQ(trust->VerifyFile(L"", 3), 5u);
    EXPECT_EQ(trust->VerifyFile(Fixture(std::wstring(L"level3\\") + kPlugin).c_str(), 0), 5u);
    EXPECT_EQ(trust->VerifyFile(Fixture(L"no-such-file.dll").c_str(), 3), 2u);
    EXPECT_EQ(trust->VerifyFileEx(Fixture(L"no-such-file.dll").c_str(), 3, 0, nullptr), 2u);
    EXPECT_EQ(trust->VerifyFileA(nullptr, 3), 5u);
    trust->SetEnabled(0);
    EXPECT_EQ(trust->GetEnabled(), 0);
    EXPECT_EQ(trust->VerifyFile(Fixture(L"no-such-file.dll").c_str(), 3), 1u);
    EXPECT_EQ(trust->VerifyFile(nullptr, 0), 1u);
}

TEST_F(TrustObjectTest, DriverVerificationNeedsTheHardwareQualityUsage)
{
    // No fixture signer carries the hardware-quality usage.
    EXPECT_EQ(trust->VerifyFileAtLevel4(Fixture(std::wstring(L"level4\\") + kPlugin).c_str(), 1), 3u);
}

TEST_F(TrustObjectTest, RevocationModeStillVerifiesSoundFiles)
{
    trust->SetCheckRevocation(1);
    EXPECT_EQ(trust->GetCheckRevocation(), 1);
    // Wine does not check revocation: the whole-chain request still accepts a sound file there.
    const DWORD result = trust->VerifyFile(Fixture(std::wstring(L"level3\\") + kPlugin).c_str(), 3);
    EXPECT_TRUE(result == 1 || result == 15) << result;
}

TEST_F(TrustObjectTest, StatusOfTheVerification)
{
    const std::wstring path = Fixture(std::wstring(L"level3\\") + kPlugin);
    qkVerifyTrust::VerifyFile::Request request;
    request.path = path.c_str();
    request.level = 3;
    EXPECT_EQ(qkVerifyTrust::VerifyFile::Verify(request, trust_test::TestNames()), 1u);
    EXPECT_EQ(request.status, 0x0001u | 0x4000u | 0x0002u | 0x0004u | 0x0008u);

    struct Case {
        const wchar_t* file;
        HRESULT hr;
    } cases[] = {
        {L"level3", S_OK},
        {L"unsigned", TRUST_E_NOSIGNATURE},
        {L"tampered", TRUST_E_BAD_DIGEST},
        {L"untrusted", CERT_E_UNTRUSTEDROOT},
    };
    for (const Case& c : cases) {
        HRESULT hr = 1;
        const std::wstring file = Fixture(std::wstring(c.file) + L"\\" + kPlugin);
        qkVerifyTrust::VerifyFile::FileSignatureCheck(file.c_str(), 3, 1, 1, nullptr, nullptr, 0, false, &hr);
        EXPECT_EQ(static_cast<unsigned>(hr), static_cast<unsigned>(c.hr)) << Narrow(file);
    }
    // Windows refuses a signer without the code-signing usage; Wine accepts it and marks nothing in
    // the chain, so there the signer policy refuses it (the file's result is 3 either way).
    HRESULT hr = 1;
    const std::wstring file = Fixture(std::wstring(L"nocodesign\\") + kPlugin);
    const DWORD checked =
        qkVerifyTrust::VerifyFile::FileSignatureCheck(file.c_str(), 3, 1, 1, nullptr, nullptr, 0, false, &hr);
    EXPECT_EQ(checked == 1, hr == S_OK);
    EXPECT_TRUE(hr == S_OK || hr == CERT_E_WRONG_USAGE) << std::hex << hr;
}

TEST(VerifyFileTest, ResultMappingAndChainStatus)
{
    using qkVerifyTrust::VerifyFile;
    struct Case {
        HRESULT hr;
        DWORD result;
    } cases[] = {
        {S_OK, 1},
        {TRUST_E_SUBJECT_NOT_TRUSTED, 3},
        {TRUST_E_BAD_DIGEST, 3},
        {TRUST_E_NOSIGNATURE, 3},
        {TRUST_E_TIME_STAMP, 20},
        {CERT_E_REVOCATION_FAILURE, 15},
        {TRUST_E_PROVIDER_UNKNOWN, 4},
        {TRUST_E_ACTION_UNKNOWN, 4},
        {TRUST_E_SUBJECT_FORM_UNKNOWN, 4},
        {CERT_E_UNTRUSTEDROOT, 3},
        {E_FAIL, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifyFile::MapResult(c.hr), c.result) << std::hex << c.hr;
    EXPECT_EQ(VerifyFile::ChainStatusResult(0, 1), S_OK);
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 1),
              CERT_E_UNTRUSTEDROOT);
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_IS_PARTIAL_CHAIN, 1), CERT_E_CHAINING);
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 1), CERT_E_WRONG_USAGE);
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_IS_REVOKED, 1), CERT_E_REVOKED);
    // Unknown revocation matters only when revocation was asked for.
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 1), S_OK);
    EXPECT_EQ(VerifyFile::ChainStatusResult(CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 2), CERT_E_REVOCATION_FAILURE);
    EXPECT_EQ(VerifyFile::MapResult(VerifyFile::ChainStatusResult(CERT_TRUST_IS_OFFLINE_REVOCATION, 2)), 15u);
}

TEST_F(TrustObjectTest, CacheAnswersWithoutVerifying)
{
    ComPtr<IVerifyTrustCache> cache;
    ASSERT_EQ(trust->QueryInterface(IID_IVerifyTrustCache, reinterpret_cast<void**>(cache.GetAddressOf())), VT_RC_OK);
    ComPtr<IVerifyTrustOptions> options;
    ASSERT_EQ(trust->QueryInterface(IID_IVerifyTrustOptions, reinterpret_cast<void**>(options.GetAddressOf())),
              VT_RC_OK);
    options->SetOption(0);
    cache->SetUseCache(1);
    EXPECT_EQ(cache->GetCapacity(), 100u);

    trust_test::ScratchDir scratch;
    const std::wstring copy = scratch.File(L"cached.dll");
    ASSERT_TRUE(CopyFileW(Fixture(std::wstring(L"level3\\") + kPlugin).c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 3), 1u);
    // The file is now unsigned: the cached verdicts answer without a new verification.
    ASSERT_TRUE(CopyFileW(Fixture(std::wstring(L"unsigned\\") + kPlugin).c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 3), 1u);
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 2), 1u); // level 3 covers level 2
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 4), 3u); // another identity level: conflict
    EXPECT_EQ(cache->Remove(copy.c_str()), 1u);
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 3), 3u); // verified again
    EXPECT_EQ(cache->Remove(copy.c_str()), 5u);        // untrusted files are not cached

    // Without the cache option the cache is neither consulted nor filled.
    ASSERT_TRUE(CopyFileW(Fixture(std::wstring(L"level3\\") + kPlugin).c_str(), copy.c_str(), FALSE));
    cache->SetUseCache(0);
    EXPECT_EQ(trust->VerifyFile(copy.c_str(), 3), 1u);
    EXPECT_EQ(cache->Remove(copy.c_str()), 5u);

    cache->SetCapacity(7);
    EXPECT_EQ(cache->GetCapacity(), 7u);
    cache->SetCapacity(100);
}

TEST_F(TrustObjectTest, HashProviderVerdicts)
{
    std::atomic<int> asked{0};
    DWORD bits = 0;
    qkVerifyTrust::HashProvider::Install([&] {
        auto provider = std::make_shared<qkVerifyTrust::HashProvider>();
        provider->query = [&](HANDLE) -> std::optional<DWORD> {
            ++asked;
            return bits;
        };
        return provider;
    });
    ComPtr<IVerifyTrustOptions> options;
    ASSERT_EQ(trust->QueryInterface(IID_IVerifyTrustOptions, reinterpret_cast<void**>(options.GetAddressOf())),
              VT_RC_OK);
    EXPECT_EQ(options->GetOption(), 1); // on by default
    ASSERT_EQ(trust->Create(FALSE), 1u);
    const std::wstring unsignedFile = Fixture(std::wstring(L"unsigned\\") + kPlugin);
    const std::wstring level5File = Fixture(std::wstring(L"level5\\") + kPlugin);

    struct Case {
        DWORD bits, level;
        const std::wstring* file;
        DWORD expected;
        bool asked;
    } cases
        [] =
            {
                {0x08, 3, &unsignedFile, 1, true}, // the provider's verdict is final
                {0x10, 3, &unsignedFile, 3, true},    {0x10, 4, &unsignedFile, 1, true},
                {0x04, 2, &unsignedFile, 1, true},    {0x01, 1, &unsignedFile, 1, true},
                {0x40008, 3, &unsignedFile, 3, true}, // bit 18: no verdict, the system decides
                {0x00, 5, &level5File, 1, false},     // level 5 never asks the provider
            };
    for (const Case& c : cases) {
        bits = c.bits;
        asked = 0;
        EXPECT_EQ(trust->VerifyFile(c.file->c_str(), c.level), c.expected)
            << std::hex << c.bits << " level " << c.level;
        EXPECT_EQ(asked > 0, c.asked) << std::hex << c.bits << " level " << c.level;
    }
    // Driver verification goes on to the system unless the provider trusts the file.
    bits = 0x10;
    EXPECT_EQ(trust->VerifyFileAtLevel4(unsignedFile.c_str(), 1), 3u);
    bits = 0x50;
    EXPECT_EQ(trust->VerifyFileAtLevel4(unsignedFile.c_str(), 1), 1u);
    // An unopenable file is missing for the provider.
    EXPECT_EQ(trust->VerifyFile(Fixture(L"no-such-file.dll").c_str(), 3), 2u);
    // Cache removal is refused while the provider is in use.
    ComPtr<IVerifyTrustCache> cache;
    ASSERT_EQ(trust->QueryInterface(IID_IVerifyTrustCache, reinterpret_cast<void**>(cache.GetAddressOf())), VT_RC_OK);
    EXPECT_EQ(cache->Remove(unsignedFile.c_str()), 5u);
    // Switched off, the provider is not asked.
    options->SetOption(0);
    asked = 0;
    bits = 0x08;
    EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 3), 3u);
    EXPECT_EQ(asked, 0);
}

TEST(TrustObjectInterfaceTest, QueryInterfaceTable)
{
    ComPtr<IVerifyTrustOptions> options;
    options.Attach(qkVerifyTrustStatic::CreateObject());
    ASSERT_TRUE(options);
    void* trustPtr = nullptr;
    ASSERT_EQ(options->QueryInterface(IID_IVerifyTrust, &trustPtr), VT_RC_OK);
    for (const GUID& id : {GUID_NULL, IID_IVerifyTrust_Alt1, IID_IVerifyTrust_Alt2, IID_IVerifyTrust_Alt3}) {
        void* p = nullptr;
        EXPECT_EQ(options->QueryInterface(id, &p), VT_RC_OK);
        EXPECT_EQ(p, trustPtr);
        static_cast<IUnknown*>(p)->Release();
    }
    void* cache = nullptr;
    EXPECT_EQ(options->QueryInterface(IID_IVerifyTrustCache, &cache), VT_RC_OK);
    EXPECT_NE(cache, nullptr);
    static_cast<IUnknown*>(cache)->Release();
    void* self = nullptr;
    EXPECT_EQ(options->QueryInterface(IID_IVerifyTrustOptions, &self), VT_RC_OK);
    EXPECT_EQ(self, options.Get());
    static_cast<IUnknown*>(self)->Release();
    // The policy id hands out the contained policy object, whose own query knows only its id.
    ComPtr<IVerifyTrustPolicy> policy;
    EXPECT_EQ(options->QueryInterface(IID_IVerifyTrustPolicy, reinterpret_cast<void**>(policy.GetAddressOf())),
              VT_RC_OK);
    ASSERT_TRUE(policy);
    EXPECT_NE(static_cast<void*>(policy.Get()), trustPtr);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(policy->QueryInterface(IID_IVerifyTrust, &none), VT_RC_NO_INTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(options->QueryInterface(IID_IUnknown, &none), VT_RC_NO_INTERFACE);
    EXPECT_EQ(options->QueryInterface(IID_IVerifyTrust, nullptr), VT_RC_INVALID_ARGUMENT);
    static_cast<IUnknown*>(trustPtr)->Release();
}

TEST(TrustObjectInterfaceTest, RegistryPolicyTurnsVerificationOff)
{
    const std::wstring silo = L"SOFTWARE\\VekTests\\trust-" + std::to_wstring(GetCurrentProcessId());
    qkVerifyTrustPolicy::SetSiloRegistryPath(silo);
    qkVerifyTrustPolicy::ResetCache();
    ComPtr<IVerifyTrustOptions> options;
    options.Attach(qkVerifyTrustStatic::CreateObject());
    ComPtr<IVerifyTrust> trust;
    ASSERT_EQ(options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf())), VT_RC_OK);
    ComPtr<IVerifyTrustPolicy> policy;
    ASSERT_EQ(trust->QueryInterface(IID_IVerifyTrustPolicy, reinterpret_cast<void**>(policy.GetAddressOf())), VT_RC_OK);
    const std::wstring missing = Fixture(L"no-such-file.dll");

    EXPECT_EQ(policy->GetPolicy(), 1); // no value: verification on
    ASSERT_EQ(trust->Create(TRUE), 1u);
    EXPECT_EQ(trust->VerifyFile(missing.c_str(), 3), 2u);

    EXPECT_EQ(policy->SetPolicy(0), 1);
    EXPECT_EQ(policy->GetPolicy(), 0);
    ASSERT_EQ(trust->Create(TRUE), 1u);
    EXPECT_EQ(trust->GetEnabled(), 0);
    EXPECT_EQ(trust->VerifyFile(missing.c_str(), 3), 1u);
    // Without policy the object stays as it is.
    trust->SetEnabled(1);
    ASSERT_EQ(trust->Create(FALSE), 1u);
    EXPECT_EQ(trust->VerifyFile(missing.c_str(), 3), 2u);

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, silo.c_str());
    qkVerifyTrustPolicy::SetSiloRegistryPath(L"");
    qkVerifyTrustPolicy::ResetCache();
    EXPECT_EQ(policy->GetPolicy(), 1);
    EXPECT_EQ(policy->SetPolicy(1), 0); // no key path: nothing to write
}

TEST(TrustObjectInterfaceTest, PathNormalisation)
{
    qkVerifyTrustImpl* raw = qkVerifyTrustImpl::New();
    ASSERT_NE(raw, nullptr);
    ComPtr<IVerifyTrust> trust;
    trust.Attach(static_cast<IVerifyTrust*>(raw));
    EXPECT_EQ(raw->NormalisePath(L"\\??\\C:\\dir\\file.dll"), L"C:\\dir\\file.dll");
    EXPECT_EQ(raw->NormalisePath(L"\\Device\\Mup\\server\\share\\file.dll"), L"\\\\server\\share\\file.dll");
    EXPECT_EQ(raw->NormalisePath(L"\\Device\\LanmanRedirector\\server\\share\\f.dll"), L"\\\\server\\share\\f.dll");
    EXPECT_EQ(raw->NormalisePath(L"C:\\dir\\..\\file.dll"), L"C:\\file.dll");
    wchar_t target[1000] = {};
    if (QueryDosDeviceW(L"C:", target, 1000) != 0 && wcsncmp(target, L"\\Device\\", 8) == 0) {
        EXPECT_EQ(raw->NormalisePath((std::wstring(target) + L"\\dir\\file.dll").c_str()), L"C:\\dir\\file.dll");
    }
}

TEST(TrustObjectInterfaceTest, ModulesProcessesAndComServers)
{
    ComPtr<IVerifyTrustOptions> options;
    options.Attach(qkVerifyTrustStatic::CreateObject());
    ComPtr<IVerifyTrust> trust;
    ASSERT_EQ(options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf())), VT_RC_OK);
    ASSERT_EQ(trust->Create(FALSE), 1u);
    qkVerifyTrustImpl::ResetProcessFlags();
    // The test executable is unsigned.
    EXPECT_EQ(trust->VerifyCurrentProcess(3), 3u);
    EXPECT_EQ(trust->VerifyProcess(0xFFFFFFF0u, 3), 2u);
    static const int marker = 0;
    EXPECT_EQ(trust->VerifyModuleByAddress(&marker, 3), 3u);
    EXPECT_EQ(trust->VerifyModuleByAddressRef(nullptr, 3), 5u);
    EXPECT_EQ(trust->VerifyModuleByAddress(nullptr, 3), 2u);
    const GUID unknown = {0x1d2c3b4a, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(trust->VerifyComServer(unknown, 3), 2u);

    // A signed module loaded into the process.
    trust_test::ScopedSignerNames names;
    HMODULE module = LoadLibraryW(Fixture(std::wstring(L"level3\\") + kPlugin).c_str());
    ASSERT_NE(module, nullptr);
    const void* entry = reinterpret_cast<const void*>(GetProcAddress(module, "TrustFixtureAnswer"));
    EXPECT_EQ(trust->VerifyModuleByAddress(entry, 3), 1u);
    EXPECT_EQ(trust->VerifyModuleByAddressRef(&entry, 3), 1u);
    EXPECT_EQ(trust->VerifyModuleByAddress2(entry, 4), 3u);
    FreeLibrary(module);
}
