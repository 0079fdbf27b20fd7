// The production hash provider: "RavelCli.dll" from the folder of "%TalRavel%", loaded only when
// its file passes the trust check and kept only when its own record says so. The stand-in DLL
// answers from this process's environment (HashProviderFixture.cpp).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "common/system/CPathHook.h"
#include "services/trust/FileCache.h"
#include "services/trust/HashProvider.h"
#include "common/objects/IVerifyTrust.h"
#include "services/trust/qkVerifyTrustStatic.h"
#include "services/trust/TrustTestSupport.h"

using Microsoft::WRL::ComPtr;
using trust_test::Fixture;
using trust_test::kPlugin;

namespace {

// The folder token while it lives, through the path hook (no token: "%TalRavel%" is unknown).
class ScopedRavelFolder {
public:
    explicit ScopedRavelFolder(const std::wstring* folder) : m_attached(folder != nullptr)
    {
        if (!m_attached)
            return;
        CPathHook::Instance().SetToken(L"TalRavel", folder->c_str());
        CPathHook::Instance().Attach(TRUE);
    }
    ~ScopedRavelFolder()
    {
        if (m_attached)
            CPathHook::Instance().Attach(FALSE);
    }

private:
    bool m_attached;
};

void SetAnswers(const wchar_t* own, const wchar_t* type, const wchar_t* file)
{
    SetEnvironmentVariableW(L"VEK_RAVEL_OWN", own);
    SetEnvironmentVariableW(L"VEK_RAVEL_TYPE", type);
    SetEnvironmentVariableW(L"VEK_RAVEL_FILE", file);
}

ComPtr<IVerifyTrust> NewTrustObject()
{
    ComPtr<IVerifyTrustOptions> options;
    *options.ReleaseAndGetAddressOf() = qkVerifyTrustStatic::CreateObject(); // mingw ComPtr::Attach adds a reference
    ComPtr<IVerifyTrust> trust;
    if (options)
        options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf()));
    return trust;
}

} // namespace

TEST(HashProviderDllTest, LoadedOnlyWhenSignedAndItsOwnRecordAgrees)
{
    trust_test::ScopedSignerNames names;
    qkVerifyTrust::HashProvider::Install({}); // the production provider
    qkVerifyTrust::FileCache::Instance().Clear();
    // The unsigned plugin is not trusted by the system at level 3: only a provider that is in use
    // and answers bit 3 makes it trusted.
    const std::wstring unsignedFile = Fixture(std::wstring(L"unsigned\\") + kPlugin);

    struct Case {
        const wchar_t* folder; // signer folder of the fixtures; null: no token
        const wchar_t* own;    // the provider's own "vtresult", or "none"
        const wchar_t* type;
        bool used;
    } cases[] = {
        {L"level3", L"3", L"1", true},    {L"level3", L"F", L"1", true},
        {L"unsigned", L"3", L"1", false},                                    // the provider's file is not signed
        {L"tampered", L"3", L"1", false}, {L"level3", L"1", L"1", false},    // both low bits are needed
        {L"level3", L"2", L"1", false},   {L"level3", L"none", L"1", false}, // no record of its own
        {L"level3", L"3", L"2", false},                                      // not a number
        {L"nowhere", L"3", L"1", false},                                     // no DLL in the folder
        {nullptr, L"3", L"1", false},                                        // the token is unknown
    };
    for (const Case& c : cases) {
        const std::wstring label =
            std::wstring(c.folder ? c.folder : L"<no token>") + L" own " + c.own + L" type " + c.type;
        SCOPED_TRACE(std::string(label.begin(), label.end()));
        const std::wstring folder = c.folder ? Fixture(c.folder) : std::wstring();
        const std::wstring dll = folder + L"\\RavelCli.dll";
        ScopedRavelFolder token(c.folder ? &folder : nullptr);
        SetAnswers(c.own, c.type, L"8");
        {
            ComPtr<IVerifyTrust> trust = NewTrustObject();
            ASSERT_TRUE(trust);
            ASSERT_EQ(trust->Create(FALSE), 1u);
            EXPECT_EQ(GetModuleHandleW(dll.c_str()) != nullptr, c.used)
                << "the provider DLL stays loaded only when used";
            EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 3), c.used ? 1u : 3u);
            if (c.used) {
                // The provider's verdict by level; level 5 never asks it.
                SetAnswers(c.own, c.type, L"10");
                EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 3), 3u);
                EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 4), 1u);
                SetAnswers(c.own, c.type, L"40008");
                EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 3), 3u) << "bit 18: no verdict";
                SetAnswers(c.own, c.type, L"1F");
                EXPECT_EQ(trust->VerifyFile(unsignedFile.c_str(), 5), 3u);
            }
        }
        EXPECT_EQ(GetModuleHandleW(dll.c_str()), nullptr) << "the last release frees the provider DLL";
    }
    SetEnvironmentVariableW(L"VEK_RAVEL_OWN", nullptr);
    SetEnvironmentVariableW(L"VEK_RAVEL_TYPE", nullptr);
    SetEnvironmentVariableW(L"VEK_RAVEL_FILE", nullptr);
}
