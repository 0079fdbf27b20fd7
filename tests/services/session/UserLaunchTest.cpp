// Launch with the token of a session's user. Wine has no user session and WTSQueryUserToken has
// nothing to give: the paths past the token run against a facade that hands out this process's
// own token as the session user's.
#include <gtest/gtest.h>

#include "services/session/Tolk_UtilsHelper.h"
#include "services/session/UserLaunch.h"
#include "services/session/LogCapture.h"
#include "services/session/SessionTestSupport.h"

using session_test::FakeWinApi;
using session_test::RecorderDir;
using session_test::ScopedDefaultWinApi;

namespace {

std::shared_ptr<FakeWinApi> SessionUserApi()
{
    auto api = std::make_shared<FakeWinApi>();
    api->activeSession = session_test::CurrentSession();
    api->userTokenFromProcess = true;
    return api;
}

} // namespace

TEST(UserLaunchTest, NoSessionNoLaunch)
{
    vek::test::LogCapture log;
    for (bool fromList : {false, true}) {
        UserLaunch user;
        EXPECT_EQ(user.Initialize(true, true, fromList), E_FAIL);
        EXPECT_TRUE(log.Contains(L"UserLaunch: session id: 4294967295, elevated: 1"));
    }
}

TEST(UserLaunchTest, LaunchesAsTheSessionUser)
{
    auto api = SessionUserApi();
    ScopedDefaultWinApi scoped(api);
    for (bool elevated : {false, true}) {
        RecorderDir dir;
        vek::test::LogCapture log;
        UserLaunch user(api);
        ASSERT_EQ(user.Initialize(elevated, true, true), S_OK) << elevated;
        EXPECT_EQ(user.GetSessionId(), *api->activeSession);
        EXPECT_TRUE(user.IsAdmin());
        ASSERT_EQ(user.Launch((dir.Program() + L" /U").c_str(), true, false), S_OK);
        EXPECT_TRUE(log.Contains(L"Supress console window"));
        ASSERT_EQ(user.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(user.GetExitCode(), 7u);
        EXPECT_EQ(dir.Read(), L"\"" + dir.Program() + L"\" /U\ndefault");
        PROCESS_INFORMATION copy = user.DuplicateProcessHandle();
        qkHandle process(copy.hProcess), thread(copy.hThread);
        EXPECT_TRUE(process.IsValid());
        EXPECT_TRUE(thread.IsValid());
        EXPECT_NE(copy.dwProcessId, 0u);
    }
}

TEST(UserLaunchTest, AdminOnlyLaunchOfAStandardUserIsRefused)
{
    auto api = SessionUserApi();
    api->standardUser = true;
    ScopedDefaultWinApi scoped(api);
    vek::test::LogCapture log;
    UserLaunch user(api);
    ASSERT_EQ(user.Initialize(true, true, false), S_OK);
    EXPECT_FALSE(user.IsAdmin());
    EXPECT_EQ(user.Launch(L"x.exe /A", true, true), 1);
    EXPECT_TRUE(log.Contains(L"m_bAdmin == false, do not run x.exe /A"));
    EXPECT_EQ(api->createAsUserCalls, 0);
    EXPECT_EQ(user.Launch(L"", false, true), E_INVALIDARG);
}

TEST(UserLaunchTest, SessionLauncherAsTheLoggedOnUser)
{
    for (bool standardUser : {false, true}) {
        auto api = SessionUserApi();
        api->runningAsSystem = true;
        api->standardUser = standardUser;
        ScopedDefaultWinApi scoped(api);
        RecorderDir dir;
        Tolk::CSessionLauncher launcher(api);
        // An admin-only launch refused for a standard user counts as done, with nothing started.
        ASSERT_EQ(launcher.Start((dir.Program() + L" /L").c_str(), LoggedOnUser, true), 0);
        if (standardUser) {
            EXPECT_EQ(launcher.GetProcessId(), 0u);
            EXPECT_EQ(api->createAsUserCalls, 0);
            continue;
        }
        ASSERT_EQ(launcher.Wait(30000), WAIT_OBJECT_0);
        EXPECT_EQ(dir.Read(), L"\"" + dir.Program() + L"\" /L\ndefault");
    }
}

TEST(UserLaunchTest, FailedStarts)
{
    // Without a stop handle a broken pipe (233) is not waited out: one attempt, then its error.
    struct Case {
        DWORD error;
        HRESULT result;
        const wchar_t* logged;
    } cases[] = {
        {ERROR_PIPE_NOT_CONNECTED, HRESULT_FROM_WIN32(ERROR_PIPE_NOT_CONNECTED), L"wait terminated"},
        {ERROR_ACCESS_DENIED, E_ACCESSDENIED, L"CreateProcessAsUser failed: 5"},
    };
    for (const Case& c : cases) {
        auto api = SessionUserApi();
        api->createAsUserError = c.error;
        ScopedDefaultWinApi scoped(api);
        vek::test::LogCapture log;
        UserLaunch user(api);
        ASSERT_EQ(user.Initialize(false, true, false), S_OK);
        EXPECT_EQ(user.Launch(L"x.exe", false, true), c.result);
        EXPECT_EQ(api->createAsUserCalls, 1);
        EXPECT_TRUE(log.Contains(c.logged));
        EXPECT_TRUE(log.Contains(L"Launching CreateProcessAsUser(x.exe), attempt 0 (timeout: 100)"));
    }
}
