// The launcher tools ask the process-wide Win32 facade about sessions, accounts and tokens, so a
// facade can stand in for the sessions and users that Wine does not have.
#include <gtest/gtest.h>

#include "services/launcher/VekTools.h"
#include "services/session/LogCapture.h"
#include "services/session/SessionTestSupport.h"

using session_test::FakeWinApi;
using session_test::ScopedDefaultWinApi;

namespace {

std::vector<DWORD> Ids(const VekTools::SessionList& sessions)
{
    std::vector<DWORD> ids;
    for (const auto& s : sessions)
        ids.push_back(s.SessionId);
    return ids;
}

} // namespace

TEST(LauncherToolsFacadeTest, SessionListsAndAdministratorPreference)
{
    auto api = std::make_shared<FakeWinApi>();
    api->sessionTable = {{0, WTSActive}, {3, WTSActive}, {4, WTSListen}, {5, WTSDisconnected}, {6, WTSActive}};
    api->standardSessions = {3};
    api->userTokenFromProcess = true;
    api->consoleSession = 42;
    ScopedDefaultWinApi scoped(api);

    VekTools::SessionList sessions;
    ASSERT_TRUE(VekTools::GetActiveSessions(sessions, false));
    EXPECT_EQ(Ids(sessions), (std::vector<DWORD>{3, 6, 5})); // active, then disconnected; never session 0
    // An administrator's disconnected session comes before a standard user's active one.
    ASSERT_TRUE(VekTools::GetActiveSessions(sessions, true));
    EXPECT_EQ(Ids(sessions), (std::vector<DWORD>{6, 5, 3}));
    EXPECT_EQ(VekTools::getActiveSessionId(true), 6u);
    EXPECT_EQ(VekTools::getActiveSessionId(false), 42u);
    EXPECT_TRUE(VekTools::hasUserSessions());
    EXPECT_TRUE(VekTools::isSessionUserAdmin(5));
    EXPECT_FALSE(VekTools::isSessionUserAdmin(3));
}

TEST(LauncherToolsFacadeTest, AccountAndSessionOfTheProcess)
{
    // Wine itself: one session, never SYSTEM, no listed user session.
    EXPECT_FALSE(VekTools::isRunningAsSystem());
    EXPECT_FALSE(VekTools::hasUserSessions());
    EXPECT_EQ(VekTools::getActiveSessionId(true), 0xFFFFFFFFu);

    auto api = std::make_shared<FakeWinApi>();
    api->runningAsSystem = true;
    api->processSession = 0;
    ScopedDefaultWinApi scoped(api);
    vek::test::LogCapture log;
    EXPECT_TRUE(VekTools::isRunningAsSystem());
    EXPECT_TRUE(log.Contains(L"Running under SYSTEM"));
    EXPECT_EQ(VekTools::getCurrentSessionId(), 0u);
    EXPECT_FALSE(VekTools::isProcessInInteractiveSession());
    EXPECT_TRUE(log.Contains(L"VEK executed in system session."));
}
