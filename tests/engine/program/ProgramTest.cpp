#include "engine/VekProgram.h"

#include "settings/manager/qkSettingsModule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring SystemFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

} // namespace

// The account word is wide text: it reaches the start ping whole, not cut after its first letter.
TEST(ProgramEntry, StartAccountTextCarriesTheWholeAccountWord)
{
    EXPECT_EQ(L"account USER, session 1", vek::StartAccountText(L"USER", 1));
    EXPECT_EQ(L"account SYSTEM, session 0", vek::StartAccountText(L"SYSTEM", 0));
}

TEST(ProgramEntry, ShellLaunchStartsAProgramAndReportsAMissingOne)
{
    EXPECT_EQ(LaunchProcessWithShellExecute(SystemFile(L"cmd.exe").c_str(), L"/c exit 0", false), S_OK);
    const HRESULT missing = LaunchProcessWithShellExecute(L"C:\\no\\such\\launcher.exe", L"/r", false);
    EXPECT_TRUE(FAILED(missing)) << std::hex << missing;
    EXPECT_EQ(HRESULT_FACILITY(missing), FACILITY_WIN32);
}

TEST(ProgramEntry, TrustFactoryHandsOutAReadyTrustObject)
{
    IVerifyTrust* trust = nullptr;
    ASSERT_EQ(StaticVerifyTrustFactory(&trust), S_OK);
    ASSERT_NE(trust, nullptr);
    // A system file without an embedded signature is not trusted; the object answers.
    EXPECT_NE(trust->VerifyFile(SystemFile(L"cmd.exe").c_str(), 3), 0xFFFFFFFFu);
    trust->Release();
    EXPECT_EQ(StaticVerifyTrustFactory(nullptr), E_POINTER);
}

TEST(ProgramEntry, SettingsFactoryNeedsTheModuleReference)
{
    qkSettings::ISettingsMgr* manager = nullptr;
    EXPECT_TRUE(FAILED(StaticSettingsFactory(&manager)));
    EXPECT_EQ(manager, nullptr);
    qkSettings::ModuleAddRef();
    ASSERT_EQ(StaticSettingsFactory(&manager), S_OK);
    ASSERT_NE(manager, nullptr);
    manager->Release();
    qkSettings::ModuleRelease();
}

TEST(ProgramEntry, ProcessorNeedsSseAndSse2)
{
    EXPECT_TRUE(vek::ProcessorSupported(true, true));
    EXPECT_FALSE(vek::ProcessorSupported(true, false));
    EXPECT_FALSE(vek::ProcessorSupported(false, true));
    EXPECT_EQ(vek::CheckProcessorSupport(true), S_OK); // every machine that runs these tests has both
}

TEST(ProgramEntry, ModuleLifetimeManagerIsMadeOnce)
{
    IModuleLifetimeMgr* first = vek::GetModuleLifetimeManager();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(vek::GetModuleLifetimeManager(), first);
}
