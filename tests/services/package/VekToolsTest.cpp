// Switch queries with the table of values, silent-exit rules and session lists.
#include "services/launcher/VekTools.h"

#include <gtest/gtest.h>

namespace {

qkCommandLine Line(const wchar_t* text)
{
    qkCommandLine line;
    EXPECT_TRUE(line.Parse(text));
    return line;
}

} // namespace

TEST(VekToolsSwitches, NumericValues)
{
    struct Case {
        const wchar_t* line;
        uint32_t expected;
        const char* what;
    } cases[] = {
        {L"vek.exe /SHOW_RESTART_PROMPT 30", 30, "digits"},
        {L"vek.exe -show_restart_prompt 30", 30, "hyphen and lower case"},
        {L"vek.exe /Show_Restart_Prompt 4294967295", 4294967295u, "largest value"},
        {L"vek.exe /SHOW_RESTART_PROMPT", 7, "last token: default"},
        {L"vek.exe /OTHER 30", 7, "absent: default"},
        {L"vek.exe /SHOW_RESTART_PROMPT -5", 7, "negative: default"},
        {L"vek.exe /SHOW_RESTART_PROMPT +5 /X", 7, "sign: default"},
        {L"vek.exe /SHOW_RESTART_PROMPT 12a", 7, "letter: default"},
        {L"vek.exe /SHOW_RESTART_PROMPT 12345678901", 7, "eleven digits: out of range"},
        {L"vek.exe /SHOW_RESTART_PROMPT 4294967296", 7, "just past 32 bits"},
        {L"vek.exe /SHOW_RESTART_PROMPT \"\"", 7, "empty value"},
        {L"vek.exe /SHOW_RESTART_PROMPT 0042", 42u, "leading zeros are digits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(VekTools::cmdSwitchValue(Line(c.line), L"SHOW_RESTART_PROMPT", 7), c.expected);
    }
}

TEST(VekToolsSwitches, PresenceAndText)
{
    const qkCommandLine line = Line(L"vek.exe /silent -IMAGE \"C:\\my image.png\" /SCHEDULE_TO");
    EXPECT_TRUE(VekTools::hasCmdSwitch(line, L"SILENT"));
    EXPECT_TRUE(VekTools::hasCmdSwitch(line, L"image"));
    EXPECT_FALSE(VekTools::hasCmdSwitch(line, L"UNATTENDED"));
    EXPECT_FALSE(VekTools::hasCmdSwitch(line, nullptr));
    EXPECT_EQ(VekTools::cmdSwitchString(line, L"IMAGE"), L"C:\\my image.png");
    EXPECT_EQ(VekTools::cmdSwitchString(line, L"SCHEDULE_TO"), L"");
    EXPECT_EQ(VekTools::cmdSwitchString(line, L"MISSING"), L"");
    // The process forms read the real command line, which has none of these.
    EXPECT_FALSE(VekTools::hasCmdSwitch(L"SHOW_RESTART_PROMPT"));
    EXPECT_EQ(VekTools::cmdSwitchValue(L"SHOW_RESTART_PROMPT", 9), 9u);
    EXPECT_EQ(VekTools::cmdSwitchString(L"SHOW_RESTART_PROMPT"), L"");
}

TEST(VekToolsSwitches, SilentExit)
{
    struct Case {
        const wchar_t* line;
        uint32_t code;
        bool ui;
        bool expected;
    } cases[] = {
        {L"vek.exe /SILENT", 2, false, true},
        {L"vek.exe /SILENT", 18, false, true},
        {L"vek.exe /SILENT", 5, false, false},
        {L"vek.exe /ADMIN_INITIATED", 8, false, true},
        {L"vek.exe /ADMIN_INITIATED", 5, true, false},
        {L"vek.exe", 3, true, true}, // the caller asked for the user interface
        {L"vek.exe /UNATTENDED", 5, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code);
        EXPECT_EQ(VekTools::isSilentExit(Line(c.line), c.code, c.ui), c.expected);
    }
    // Without any reason to be silent the answer depends on the desktop; exit code 5 never is.
    EXPECT_FALSE(VekTools::isSilentExit(Line(L"vek.exe /SILENT /UNATTENDED /ADMIN_INITIATED"), 5, true));
}

TEST(VekToolsSessions, ListsSkipSessionZeroAndKeepOrder)
{
    WTS_SESSION_INFOW sessions[] = {
        {0, nullptr, WTSActive}, {3, nullptr, WTSDisconnected}, {1, nullptr, WTSActive},
        {2, nullptr, WTSListen}, {4, nullptr, WTSActive},
    };
    VekTools::SessionList list;
    VekTools::AddSessionsByState(list, sessions, 5, WTSActive);
    VekTools::AddSessionsByState(list, sessions, 5, WTSDisconnected);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].SessionId, 1u);
    EXPECT_EQ(list[1].SessionId, 4u);
    EXPECT_EQ(list[2].SessionId, 3u);

    // Wine lists no session; whatever the system says, session 0 is never in the list.
    VekTools::SessionList active;
    if (VekTools::GetActiveSessions(active, false)) {
        for (const auto& s : active) {
            EXPECT_NE(s.SessionId, 0u);
        }
    }
    EXPECT_NE(VekTools::getCurrentSessionId(), 0xFFFFFFFFu);
}

TEST(VekToolsAccount, ProcessQuestions)
{
    // Under Wine the process is a full administrator, not SYSTEM; a 64-bit test is no WOW64 one.
    EXPECT_FALSE(VekTools::isRunningAsSystem());
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_TRUE(VekTools::IsAdminUser(token));
    ::CloseHandle(token);
#ifdef _WIN64
    EXPECT_FALSE(VekTools::isWow64BitProcess());
#endif
    DWORD pid = 0;
    EXPECT_EQ(VekTools::getShellProcessId(0xFFFF, pid), E_FAIL);
    EXPECT_EQ(pid, 0xFFFFFFFFu);
}
