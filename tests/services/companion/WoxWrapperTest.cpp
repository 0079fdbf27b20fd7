// The companion-application installer end to end under Wine: launcher files that carry small
// manifests, a package folder (with a blank in its name) holding signed copies of a recorder
// program as the bundle and the installer, registry state redirected below a test key, and the
// activation task recorded instead of registered. Wine has no package manager and one session:
// a Win32 facade supplies the user session (and SYSTEM where a case asks for it).
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "services/companion/WOXWrapper.h"
#include "services/session/LogCapture.h"
#include "services/session/SessionTestSupport.h"
#include "services/trust/CSignerSubjectCheck.h"
#include "services/trust/TrustTestSupport.h"

using session_test::FakeWinApi;
using session_test::ScopedDefaultWinApi;

namespace {

std::wstring FromUnix(const char* variable, const std::wstring& relative)
{
    const char* dir = std::getenv(variable);
    std::wstring path = L"Z:";
    for (char c : std::string(dir ? dir : ""))
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path + L"\\" + relative;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring Launcher(const wchar_t* manifest)
{
    return FromUnix("VEK_COMPANION_LAUNCHERS", std::wstring(L"launcher-") + manifest + L".exe");
}

std::wstring Signed(const wchar_t* signer)
{
    return FromUnix("VEK_BUILD_DIR", std::wstring(L"signing\\companion\\") + signer + L"\\session_recorder.exe");
}

const std::wstring kTestKey = L"Software\\VekTests\\Wox" + std::to_wstring(GetCurrentProcessId());

// Registry keys of the wrapper below the test's key.
class RedirectedKey : public vek::CRegistryAdapter {
public:
    BOOL Open(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing) override
    {
        return vek::CRegistryAdapter::Open(parent, (kTestKey + L"\\" + subkey).c_str(), access, createIfMissing);
    }
};
class RedirectedKeys : public vek::CRegistryKeyFactory {
public:
    std::shared_ptr<vek::CRegistryAdapter> CreateKey() override { return std::make_shared<RedirectedKey>(); }
};

class RecordedTask : public vek::CWoxInstallationTask {
public:
    std::vector<std::pair<std::wstring, std::wstring>> registered;
    int deleted = 0;
    HRESULT Register(const wchar_t* launcherPath, const wchar_t* arguments) override
    {
        registered.emplace_back(launcherPath, arguments);
        return S_OK;
    }
    void Delete() override { ++deleted; }
};

// The endpoint product installed (0) or not (-2), without an installer database.
class EndpointProduct : public CMsiUtils {
public:
    explicit EndpointProduct(bool installed) : m_installed(installed) {}
    int CompareInstalledVersion(const wchar_t*, const wchar_t*, const wchar_t*) override
    {
        return m_installed ? 0 : -2;
    }

private:
    bool m_installed;
};

// A wrapper that may claim an edition of the application to be installed already.
class TestWrapper : public WOXWrapper {
public:
    using WOXWrapper::WOXWrapper;
    std::wstring installedFamily;
    std::vector<std::wstring> asked;

protected:
    bool IsPackageFamilyInstalled(const wchar_t* family, bool report) override
    {
        asked.push_back(family);
        if (family == installedFamily)
            return true;
        return WOXWrapper::IsPackageFamilyInstalled(family, report); // Wine's answer: none
    }
};

class WoxWrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"vek wox " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        CreateDirectoryW(folder.c_str(), nullptr);
        CopyFileW(Signed(L"level3").c_str(), (folder + L"\\WoxApp.appxbundle").c_str(), FALSE);
        CopyFileW(Signed(L"level3").c_str(), (folder + L"\\WoxInstaller.exe").c_str(), FALSE);
        api->activeSession = 1;
    }
    void TearDown() override
    {
        for (const wchar_t* name : {L"WoxApp.appxbundle", L"WoxInstaller.exe", L"recorded.txt"})
            DeleteFileW((folder + L"\\" + name).c_str());
        RemoveDirectoryW(folder.c_str());
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            HKEY parent = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\VekTests", 0, KEY_ALL_ACCESS | view, &parent) ==
                ERROR_SUCCESS) {
                RegDeleteTreeW(parent, kTestKey.substr(kTestKey.rfind(L'\\') + 1).c_str());
                RegCloseKey(parent);
            }
            // The shared parent stays: another test program may be creating its own key below it.
        }
    }

    WOXWrapper::Options Options(const wchar_t* manifest,
                                const wchar_t* commandLine = L"VekLauncher.exe /INSTALL_WOX_APP")
    {
        WOXWrapper::Options o;
        o.launcherPath = Launcher(manifest);
        o.commandLine = commandLine;
        o.api = api;
        o.registry = std::make_shared<RedirectedKeys>();
        o.msi = std::make_shared<EndpointProduct>(true);
        o.task = task;
        return o;
    }
    std::wstring Recorded() const
    {
        HANDLE file = CreateFileW((folder + L"\\recorded.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return L"";
        std::wstring text(4096, L'\0');
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        CloseHandle(file);
        text.resize(read / sizeof(wchar_t));
        return text.substr(0, text.find(L'\n')); // the command line
    }
    // Values below the test key; nullopt-like "" when missing.
    std::wstring Stamp() const
    {
        wchar_t value[64] = {};
        DWORD size = sizeof(value);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, (kTestKey + L"\\" + WOXWrapper::kVekKey).c_str(), WOXWrapper::kStampValue,
                         RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return L"";
        return value;
    }
    void SetStamp(const wchar_t* stamp) const
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kTestKey + L"\\" + WOXWrapper::kVekKey).c_str(), WOXWrapper::kStampValue,
                        REG_SZ, stamp, static_cast<DWORD>((wcslen(stamp) + 1) * sizeof(wchar_t)));
    }
    // AllowAllTrustedApps in the 64-bit view: -1 when missing.
    long SideLoading() const
    {
        DWORD value = 0, size = sizeof(value);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, (kTestKey + L"\\" + WOXWrapper::kSideLoadKey).c_str(),
                         WOXWrapper::kSideLoadValue, RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &value,
                         &size) != ERROR_SUCCESS)
            return -1;
        return static_cast<long>(value);
    }
    std::wstring Expected(const wchar_t* mode, bool forceLogging) const
    {
        return L"\"" + folder + L"\\WoxInstaller.exe\" " + mode + L" " + (forceLogging ? L"FORCE_LOGGING " : L"") +
               L"\"" + folder + L"\\WoxApp.appxbundle\"  \"runtime one.appx\" runtime2.appx";
    }

    trust_test::ScopedSignerNames names;
    std::shared_ptr<FakeWinApi> api = std::make_shared<FakeWinApi>();
    ScopedDefaultWinApi defaultApi{api};
    std::shared_ptr<RecordedTask> task = std::make_shared<RecordedTask>();
    std::wstring folder;
};

} // namespace

TEST_F(WoxWrapperTest, FirstRunSchedulesTheTaskAndInstalls)
{
    vek::test::LogCapture log;
    {
        TestWrapper wrapper(Options(L"full"));
        EXPECT_EQ(wrapper.Install(folder.c_str(), true), 7); // the installer's exit code
        EXPECT_EQ(wrapper.GetSideLoadState(), WOXWrapper::SideLoadSwitchedOn);
        EXPECT_EQ(SideLoading(), 1);
        EXPECT_EQ(wrapper.asked.size(), 2u); // both editions looked for
    }
    EXPECT_EQ(SideLoading(), 0); // switched off again
    ASSERT_EQ(task->registered.size(), 1u);
    EXPECT_EQ(task->registered[0].first, Launcher(L"full"));
    EXPECT_EQ(task->registered[0].second, L"/INSTALL_WOX_APP /WOX_PACKAGE_PATH \"" + folder + L"\"");
    const std::wstring stamp = Stamp();
    EXPECT_EQ(stamp.size(), 38u);
    EXPECT_EQ(stamp.front(), L'{');
    EXPECT_EQ(Recorded(), Expected(L"INSTALL", true));
    EXPECT_TRUE(log.Contains(L"WOX not installed, see WOX installer logs"));
    // Wine's kernel32 has no package enumeration: both editions count as absent.
    EXPECT_TRUE(log.Contains(L"Check for WOX application: Vallor.WoxApp.Sideload_4q2m8w6r1t0ya"));
    EXPECT_TRUE(log.Contains(L"Unable to load UWP enumeration library") || log.Contains(L"application not found"));
}

TEST_F(WoxWrapperTest, ImageRunHasNoTaskAndInstallsOnly)
{
    TestWrapper wrapper(Options(L"full", L"VekLauncher.exe /INSTALL_WOX_APP /IMAGE"));
    vek::test::LogCapture log;
    EXPECT_EQ(wrapper.Install(folder.c_str(), true), 7);
    EXPECT_TRUE(task->registered.empty());
    EXPECT_TRUE(log.Contains(L"/IMAGE specified, do not create WOX installation task"));
    EXPECT_FALSE(Stamp().empty());
    EXPECT_EQ(Recorded(), Expected(L"INSTALL_ONLY", true));
}

TEST_F(WoxWrapperTest, TaskRunNeedsTheEndpointProductAndTheStamp)
{
    struct Case {
        const char* what;
        bool realMsi;         // the real installer database: no endpoint product in the prefix
        const wchar_t* stamp; // null: none
        const wchar_t* commandLine;
        int deleted;
        std::wstring recorded; // empty: the installer did not run
    } cases[] = {
        {"no endpoint product: the task goes", true, L"{x}", L"V.exe /INSTALL_WOX_APP", 1, L""},
        {"no stamp", false, nullptr, L"V.exe /INSTALL_WOX_APP", 0, L""},
        {"empty stamp", false, L"", L"V.exe /INSTALL_WOX_APP", 0, L""},
        {"both: installs", false, L"{x}", L"V.exe /INSTALL_WOX_APP", 0, Expected(L"INSTALL", false)},
        {"both, FORCE_LOGGING", false, L"{x}", L"V.exe /INSTALL_WOX_APP -force_logging", 0, Expected(L"INSTALL", true)},
    };
    for (const Case& c : cases) {
        task = std::make_shared<RecordedTask>();
        DeleteFileW((folder + L"\\recorded.txt").c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kTestKey + L"\\" + WOXWrapper::kVekKey).c_str());
        if (c.stamp)
            SetStamp(c.stamp);
        WOXWrapper::Options o = Options(L"full", c.commandLine);
        if (c.realMsi)
            o.msi.reset();
        TestWrapper wrapper(o);
        EXPECT_EQ(wrapper.Install(folder.c_str(), false), c.recorded.empty() ? 0 : 7) << c.what;
        EXPECT_EQ(task->deleted, c.deleted) << c.what;
        EXPECT_TRUE(task->registered.empty()) << c.what;
        EXPECT_EQ(Recorded(), c.recorded) << c.what;
    }
}

TEST_F(WoxWrapperTest, SideLoadingAlreadyAllowedStaysOn)
{
    // The setting lives in the 64-bit view, where the wrapper reads it from a process of either bitness.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kTestKey + L"\\" + WOXWrapper::kSideLoadKey).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD allowed = 1;
    EXPECT_EQ(RegSetValueExW(key, WOXWrapper::kSideLoadValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&allowed),
                             sizeof(allowed)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    {
        TestWrapper wrapper(Options(L"full"));
        EXPECT_EQ(wrapper.Install(folder.c_str(), true), 7);
        EXPECT_EQ(wrapper.GetSideLoadState(), WOXWrapper::SideLoadUntouched);
    }
    EXPECT_EQ(SideLoading(), 1);
}

TEST_F(WoxWrapperTest, EarlyEndsInstallNothing)
{
    struct Case {
        const char* what;
        const wchar_t* manifest;
        bool session;
        const wchar_t* installedFamily; // null: none
        HRESULT result;
        const wchar_t* logged;
    } cases[] = {
        {"no user session", L"full", false, nullptr, S_OK,
         L"no user session is available, WOX will be installed on user logon"},
        {"side-loaded edition present", L"full", true, L"Vallor.WoxApp.Sideload_4q2m8w6r1t0ya", S_OK,
         L"SideLoad version of WOXApp already installed"},
        {"store edition present", L"full", true, L"Vallor.WoxApp_7k3n9c5b2v1xe", S_OK,
         L"AppStore version of WOXApp already installed"},
        {"no companion files", L"no-wox-component", true, nullptr, E_UNEXPECTED, L"WOX file absent in manifest"},
        {"no manifest at all", L"missing", true, nullptr, E_UNEXPECTED,
         L"Unable to load manifest during checking WOX pre-requisites"},
    };
    for (const Case& c : cases) {
        if (c.session) {
            api->activeSession = 1;
        } else {
            api->activeSession.reset();
        }
        TestWrapper wrapper(Options(c.manifest));
        if (c.installedFamily)
            wrapper.installedFamily = c.installedFamily;
        vek::test::LogCapture log;
        EXPECT_EQ(wrapper.Install(folder.c_str(), true), c.result) << c.what;
        EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << Narrow(log.All());
        EXPECT_EQ(Recorded(), L"") << c.what;
        EXPECT_EQ(wrapper.GetSideLoadState(), WOXWrapper::SideLoadUntouched) << c.what;
    }
}

TEST_F(WoxWrapperTest, FailedChecksReturnTheirResult)
{
    vek::CSignerSubjectCheck folderCheck((folder + L"\\").c_str());
    const HRESULT folderResult = folderCheck.Check(L"");
    ASSERT_TRUE(FAILED(folderResult));

    struct Case {
        const char* what;
        const wchar_t* manifest;
        const wchar_t* bundleSigner;    // copied over the bundle; null: as set up
        const wchar_t* installerSigner; // copied over the installer
        HRESULT result;
        const wchar_t* logged;
    } cases[] = {
        {"only the installer entry: the bundle check fails", L"installer-only", nullptr, nullptr, folderResult,
         L"Validation of appxbundle failed"},
        {"bundle of another signer", L"full", L"other", nullptr, E_FAIL, L"Validation of appxbundle failed"},
        {"installer not trusted at the maker's level", L"full", nullptr, L"level4", TRUST_E_SUBJECT_NOT_TRUSTED,
         L"Validation of WOXInstaller failed"},
        {"unsigned installer", L"full", nullptr, L"unsigned", TRUST_E_SUBJECT_NOT_TRUSTED,
         L"Validation of WOXInstaller failed"},
    };
    for (const Case& c : cases) {
        CopyFileW(Signed(c.bundleSigner ? c.bundleSigner : L"level3").c_str(),
                  (folder + L"\\WoxApp.appxbundle").c_str(), FALSE);
        CopyFileW(Signed(c.installerSigner ? c.installerSigner : L"level3").c_str(),
                  (folder + L"\\WoxInstaller.exe").c_str(), FALSE);
        {
            TestWrapper wrapper(Options(c.manifest));
            vek::test::LogCapture log;
            EXPECT_EQ(wrapper.Install(folder.c_str(), true), c.result) << c.what;
            EXPECT_EQ(wrapper.GetInstallerResult(), c.result) << c.what;
            EXPECT_TRUE(log.Contains(c.logged)) << c.what;
            EXPECT_EQ(Recorded(), L"") << c.what;
            EXPECT_EQ(wrapper.GetSideLoadState(), WOXWrapper::SideLoadUntouched) << c.what;
        }
    }
}

TEST_F(WoxWrapperTest, FromSystemAsTheLoggedOnUser)
{
    // Run as SYSTEM, the installer starts as the user of the first session of the session list
    // (active sessions, then disconnected ones), whichever session is the console's. Session ids
    // differ from the test's own, so the shell fall-back cannot find Wine's own explorer.
    api->runningAsSystem = true;
    struct Case {
        const char* what;
        std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>> sessions;
        DWORD console;
        std::set<DWORD> tokens; // sessions with a user token
        DWORD started;          // the session whose token starts the installer; 0xFFFFFFFF: none
    };
    const Case cases[] = {
        {"console session without a user, active session 2 with one", {{3, WTSConnected}, {2, WTSActive}}, 3, {2}, 2},
        {"a disconnected user's session", {{4, WTSDisconnected}}, 0xFFFFFFFF, {4}, 4},
        {"an active session before a disconnected one", {{4, WTSDisconnected}, {2, WTSActive}}, 3, {2, 4}, 2},
        {"a disconnected session without a user token", {{2, WTSDisconnected}}, 0xFFFFFFFF, {}, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& [id, state] : c.sessions)
            ASSERT_NE(id, session_test::CurrentSession());
        api->sessionTable = c.sessions;
        api->consoleSession = c.console;
        api->userTokenSessions = c.tokens;
        api->createAsUserCalls = 0;
        api->createAsUserSessions.clear();
        DeleteFileW((folder + L"\\recorded.txt").c_str());
        TestWrapper wrapper(Options(L"full"));
        vek::test::LogCapture log;
        const HRESULT result = wrapper.Install(folder.c_str(), true);
        EXPECT_TRUE(log.Contains(L"Start WOX installer with right of user"));
        if (c.started != 0xFFFFFFFF) {
            EXPECT_EQ(result, 7);
            EXPECT_EQ(api->createAsUserSessions, std::vector<DWORD>{c.started});
            EXPECT_EQ(Recorded(), Expected(L"INSTALL", true));
        } else {
            // The start-up failure is the result, nothing runs and nothing is reported as installed.
            EXPECT_TRUE(FAILED(result));
            EXPECT_EQ(wrapper.GetInstallerResult(), result);
            EXPECT_EQ(api->createAsUserCalls, 0);
            EXPECT_FALSE(log.Contains(L"Install succeeded or not required"));
            EXPECT_EQ(Recorded(), L"");
        }
    }
}
