// Starting programs in the caller's session, in another session and in every active session,
// seen by a recorder program in a folder whose name has a blank. Wine has one session and no
// SYSTEM account: the other-session paths run against a facade that claims them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "services/session/CStartupInfoMitigations.h"
#include "services/session/ProcessLauncher.h"
#include "services/session/ProgramPathQuoting.h"
#include "services/session/Tolk_UtilsHelper.h"
#include "services/session/UserLaunch.h"
#include "services/session/LogCapture.h"
#include "services/session/SessionTestSupport.h"

using session_test::FakeWinApi;
using session_test::RecorderDir;
using session_test::ScopedDefaultWinApi;

namespace {

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

DWORD ExitCodeOf(HANDLE process)
{
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

} // namespace

TEST(ProgramPathQuotingTest, QuotesAProgramPathWithBlanks)
{
    RecorderDir dir;
    // A program without one of the program extensions is found as an existing file.
    const std::wstring bare = dir.Program().substr(0, dir.Program().size() - 4);
    ASSERT_TRUE(CopyFileW(dir.Program().c_str(), bare.c_str(), FALSE));
    struct Case {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"C:\\Program Files\\Vek\\a.exe /X 1", L"\"C:\\Program Files\\Vek\\a.exe\" /X 1"},
        {L"C:\\Program Files\\Vek\\a.EXE", L"\"C:\\Program Files\\Vek\\a.EXE\""},
        {L"C:\\My Tools\\run.cmd go", L"\"C:\\My Tools\\run.cmd\" go"},
        {L"\"C:\\Program Files\\Vek\\a.exe\" /X", L"\"C:\\Program Files\\Vek\\a.exe\" /X"}, // already quoted
        {L"C:\\Vek\\a.exe /X \"two words\"", L"C:\\Vek\\a.exe /X \"two words\""},           // no blank in the path
        {L"msiexec.exe /x {GUID} /qn", L"msiexec.exe /x {GUID} /qn"},
        {L"C:\\A B\\first.exe C:\\C D\\second.exe", L"\"C:\\A B\\first.exe\" C:\\C D\\second.exe"},
        {bare + L" /Y", Quoted(bare) + L" /Y"},
        {L"C:\\No Such\\thing /Y", L"C:\\No Such\\thing /Y"}, // nothing to go by: left alone
        {L"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Tolk::QuoteProgramPath(c.in), c.out);
    DeleteFileW(bare.c_str());
}

TEST(StartupInfoMitigationsTest, PolicyByVersion)
{
    struct Case {
        DWORD major, minor;
        bool policy;
        std::uint64_t value;
        std::size_t width;
    } cases[] = {
        {6, 0, false, 0, 0},
        {6, 1, true, 0x1, 4},                // Windows 7: DEP only, 4 bytes
        {6, 2, true, 0x0000000101001001, 8}, // Windows 8: the additions, 8 bytes
        {10, 0, true, 0x0000000101001001, 8},
    };
    for (const Case& c : cases) {
        RTL_OSVERSIONINFOEXW version{};
        version.dwMajorVersion = c.major;
        version.dwMinorVersion = c.minor;
        std::uint64_t value = 0;
        std::size_t width = 0;
        EXPECT_EQ(vek::CStartupInfoMitigations::PolicyFor(version, value, width), c.policy)
            << c.major << "." << c.minor;
        if (c.policy) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(width, c.width);
        }
    }
    vek::CStartupInfoMitigations startup;
    ASSERT_EQ(startup.Create(), S_OK);
    EXPECT_EQ(startup.GetCreationFlags(), static_cast<DWORD>(EXTENDED_STARTUPINFO_PRESENT));
    EXPECT_NE(startup.GetStartupInfo().lpAttributeList, nullptr);
}

TEST(SessionLauncherTest, StartsAsCallerWithTheProgramPathQuoted)
{
    for (bool show : {true, false}) {
        RecorderDir dir;
        Tolk::CSessionLauncher launcher;
        launcher.SetShowWindow(show);
        ASSERT_EQ(launcher.Start((dir.Program() + L" /ARG \"two words\"").c_str(), CurrentUser, false), 0);
        ASSERT_EQ(launcher.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(dir.Read(), Quoted(dir.Program()) + L" /ARG \"two words\"\n" + (show ? L"default" : L"0"));
        qkHandle copy(launcher.DuplicateProcessHandle());
        ASSERT_TRUE(copy.IsValid());
        EXPECT_EQ(ExitCodeOf(copy.Get()), 7u);
        EXPECT_NE(launcher.GetProcessId(), 0u);
    }
}

TEST(SessionLauncherTest, RefusalsAndFailures)
{
    RecorderDir dir;
    const std::wstring missing = dir.Program() + L".missing.exe";
    struct Case {
        const wchar_t* commandLine;
        int type;
        LONG result;
        const wchar_t* logged;
    } cases[] = {
        {L"", CurrentUser, E_INVALIDARG, nullptr},
        {nullptr, CurrentUser, E_INVALIDARG, nullptr},
        {L"x.exe", 7, ERROR_INVALID_PARAMETER, nullptr},
        {missing.c_str(), CurrentUser, ERROR_FILE_NOT_FOUND, L"Unable start process (2)"},
        // Wine lists no user session.
        {L"x.exe", ActiveUserSession, ERROR_NO_SUCH_LOGON_SESSION,
         L"No active session, or process does not have system rights"},
        {L"x.exe", LoggedOnUser, ERROR_NO_SUCH_LOGON_SESSION,
         L"No active session, or process does not have system rights"},
        {L"x.exe", AllActiveSessions, 0, L"Start in all active sessions"}, // nothing to start in
    };
    for (const Case& c : cases) {
        vek::test::LogCapture log;
        Tolk::CSessionLauncher launcher;
        EXPECT_EQ(launcher.Start(c.commandLine, static_cast<PROCESS_LAUNCH_TYPE>(c.type), false), c.result) << c.type;
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << std::string(c.logged, c.logged + wcslen(c.logged));
        }
        // Nothing was started.
        EXPECT_EQ(launcher.Wait(0), 0u);
        EXPECT_EQ(launcher.GetProcessId(), 0u);
        EXPECT_EQ(launcher.DuplicateProcessHandle(), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(log.Contains(L"Duplicate handle failed with error"));
    }
}

TEST(SessionLauncherTest, OtherSessionNeedsSystemRights)
{
    auto api = std::make_shared<FakeWinApi>();
    api->activeSession = session_test::CurrentSession();
    ScopedDefaultWinApi scoped(api);
    vek::test::LogCapture log;
    Tolk::CSessionLauncher launcher(api);
    EXPECT_EQ(launcher.Start(L"x.exe", ActiveUserSession, false), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(log.Contains(L"No active session, or process does not have system rights"));
    EXPECT_EQ(api->createAsUserCalls, 0);
}

TEST(SessionLauncherTest, StartsInTheUserSessionWithTheCallersToken)
{
    for (PROCESS_LAUNCH_TYPE type : {ActiveUserSession, AllActiveSessions}) {
        auto api = std::make_shared<FakeWinApi>();
        api->activeSession = session_test::CurrentSession();
        api->runningAsSystem = true;
        ScopedDefaultWinApi scoped(api);
        RecorderDir dir;
        vek::test::LogCapture log;
        Tolk::CSessionLauncher launcher(api);
        launcher.SetShowWindow(false);
        ASSERT_EQ(launcher.Start((dir.Program() + L" /S").c_str(), type, false), 0);
        ASSERT_EQ(launcher.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(dir.Read(), Quoted(dir.Program()) + L" /S\n0");
        EXPECT_EQ(api->createAsUserCalls, 1);
        EXPECT_TRUE(log.Contains(L"Starting command line " + Quoted(dir.Program()) + L" /S under session: " +
                                 std::to_wstring(*api->activeSession)));
    }
}

TEST(SessionLauncherTest, InteractiveUserChoosesTheLaunchTypeAndFallsBack)
{
    const DWORD current = session_test::CurrentSession();
    struct Case {
        std::optional<DWORD> activeSession;
        std::optional<DWORD> processSession;
        bool fallbackAllowed;
        LONG result;
        bool fallbackRecorded; // else the first command line, or nothing
        bool started;
        const wchar_t* logged;
    } cases[] = {
        // No user session: the caller's session.
        {std::nullopt, std::nullopt, false, 0, false, true, nullptr},
        // Already in the interactive session.
        {current, current, false, 0, false, true, L"VEK in interactive session, use PROCESS_LAUNCH_TYPE::CurrentUser"},
        // From session 0 with the parent's rights, not as SYSTEM: refused, then the fallback.
        {current, 0u, true, 0, true, true, L"Cannot execute process under Logged on user, run process as current user"},
        {current, 0u, false, ERROR_ACCESS_DENIED, false, false,
         L"VEK in interactive session and parent rights forced, use PROCESS_LAUNCH_TYPE::ActiveUserSession"},
    };
    for (const Case& c : cases) {
        auto api = std::make_shared<FakeWinApi>();
        api->activeSession = c.activeSession;
        api->processSession = c.processSession;
        ScopedDefaultWinApi scoped(api);
        RecorderDir dir;
        vek::test::LogCapture log;
        Tolk::CSessionLauncher launcher(api);
        const std::wstring first = dir.Program() + L" /FIRST";
        const std::wstring fallback = dir.Program() + L" /FALLBACK";
        EXPECT_EQ(launcher.StartForInteractiveUser(first.c_str(), fallback.c_str(), true, c.fallbackAllowed), c.result);
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged));
        }
        if (!c.started) {
            EXPECT_EQ(launcher.GetProcessId(), 0u);
            continue;
        }
        ASSERT_EQ(launcher.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(dir.Read(), Quoted(dir.Program()) + (c.fallbackRecorded ? L" /FALLBACK" : L" /FIRST") + L"\ndefault");
    }
}

TEST(ProcessLauncherTest, LaunchWaitAndExitCode)
{
    RecorderDir dir;
    {
        vek::ProcessLauncher launcher;
        ASSERT_EQ(launcher.Launch((Quoted(dir.Program()) + L" /P").c_str(), false), S_OK);
        ASSERT_EQ(launcher.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(launcher.GetExitCode(), 7u);
        EXPECT_NE(launcher.GetProcessId(), 0u);
        EXPECT_EQ(dir.Read(), Quoted(dir.Program()) + L" /P\n0");
    }
    vek::ProcessLauncher launcher;
    EXPECT_EQ(launcher.Launch(L""), E_INVALIDARG);
    EXPECT_EQ(launcher.Launch(nullptr), E_INVALIDARG);
    EXPECT_EQ(launcher.Launch(Quoted(dir.Program() + L".missing.exe").c_str()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_THROW(launcher.GetExitCode(), std::runtime_error);
}

// The customer token travels on to the started program in its command line, but no launch path
// writes it into the log: neither a start, nor a refusal, nor a failure.
TEST(SessionLauncherTest, TheCustomerTokenIsForwardedButNeverLogged)
{
    const std::wstring secret = L"S3CR3T-T0KEN-0042";
    const std::wstring arguments = L" /SILENT /CC_TOKEN \"" + secret + L"\" /RESTARTED_IN_SESSION";
    enum Path { Caller, OtherSession, AllSessions, SessionUser, RefusedAdminOnly, MissingProgram };
    for (Path path : {Caller, OtherSession, AllSessions, SessionUser, RefusedAdminOnly, MissingProgram}) {
        auto api = std::make_shared<FakeWinApi>();
        if (path != Caller) {
            api->activeSession = session_test::CurrentSession();
            api->runningAsSystem = true;
            api->userTokenFromProcess = true;
            api->standardUser = path == RefusedAdminOnly;
        }
        ScopedDefaultWinApi scoped(api);
        RecorderDir dir;
        vek::test::LogCapture log;
        const std::wstring commandLine = Quoted(dir.Program()) + arguments;
        Tolk::CSessionLauncher launcher(api);
        launcher.SetShowWindow(false);
        UserLaunch user(api);
        DWORD waited = WAIT_FAILED;
        switch (path) {
        case Caller:
        case OtherSession:
        case AllSessions: {
            const PROCESS_LAUNCH_TYPE type =
                path == Caller ? CurrentUser : path == OtherSession ? ActiveUserSession : AllActiveSessions;
            ASSERT_EQ(launcher.Start(commandLine.c_str(), type, false), 0);
            waited = launcher.Wait(30000);
            break;
        }
        case SessionUser:
        case RefusedAdminOnly:
            ASSERT_EQ(user.Initialize(true, true, false), S_OK);
            EXPECT_EQ(user.Launch(commandLine.c_str(), true, false), path == SessionUser ? S_OK : 1);
            if (path == SessionUser)
                waited = user.Wait(30000);
            break;
        case MissingProgram: {
            vek::ProcessLauncher plain;
            const std::wstring missing = Quoted(dir.Program() + L".missing.exe") + arguments;
            EXPECT_EQ(plain.Launch(missing.c_str(), false), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
            break;
        }
        }
        if (waited == WAIT_OBJECT_0) {
            EXPECT_NE(dir.Read().find(L"/CC_TOKEN \"" + secret + L"\""), std::wstring::npos) << path;
        }
        const std::wstring all = log.All();
        EXPECT_NE(all.find(L"/CC_TOKEN \"********\""), std::wstring::npos) << path;
        EXPECT_EQ(all.find(secret), std::wstring::npos) << path << "\n" << std::string(all.begin(), all.end());
    }
}
