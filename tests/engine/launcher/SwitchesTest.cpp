#include "engine/launcher/VekSwitches.h"

#include "LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vek::g_ForwardedSwitches;

std::wstring Forward(const std::wstring& excluded, const std::wstring& switches)
{
    std::string output;
    const int code = launchertest::RunProgram(launchertest::ProgramPath(L"launcher_switch_probe.exe"),
                                              excluded + L" " + switches, output);
    EXPECT_EQ(code, 0) << output;
    return std::wstring(output.begin(), output.end());
}

TEST(Switches, ForwardedTableInItsOrder)
{
    const std::vector<std::wstring> expected = {L"SHOWONECLICK",
                                                L"WIN10_UPGRADE",
                                                L"SHOWFAILOVER",
                                                L"UNATTENDED",
                                                L"SILENT",
                                                L"SMART_RESTART",
                                                L"UPGRADE_DELAY",
                                                L"ADMIN_INITIATED",
                                                L"HARD_REBOOT",
                                                L"SCHEDULE_TO",
                                                L"DISABLE_SCHEDULE",
                                                L"m",
                                                L"FORCE_INSTALL",
                                                L"INSTALLER_OPTIONS",
                                                L"IGNORE_USER_SESSION",
                                                L"CC_TOKEN",
                                                L"noui",
                                                L"EXECUTED_BY_MSI",
                                                L"DISABLE_AUTOMATIC_UPGRADE",
                                                L"UPGRADE_CONFIRMED",
                                                L"UNINSTALL"};
    ASSERT_EQ(g_ForwardedSwitches.size(), expected.size());
    std::vector<std::wstring> fromTable;
    for (const vek::SwitchInfo& row : vek::SwitchTable()) {
        if (row.forwarded) {
            fromTable.emplace_back(row.name);
        }
    }
    EXPECT_EQ(fromTable, expected);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(g_ForwardedSwitches[i], expected[i]);
    }
    // Names compare without regard to case; the raw ones are tested as substrings.
    ASSERT_NE(vek::FindSwitch(L"Schedule_To"), nullptr);
    EXPECT_EQ(vek::FindSwitch(L"Schedule_To")->form, vek::SwitchForm::Number);
    EXPECT_EQ(vek::FindSwitch(L"CC_TOKEN")->form, vek::SwitchForm::String);
    EXPECT_TRUE(vek::FindSwitch(L"install_wox_app")->raw);
    EXPECT_FALSE(vek::FindSwitch(L"r")->forwarded);
    EXPECT_EQ(vek::FindSwitch(L"NO_SUCH_SWITCH"), nullptr);
}

// Each case runs the test program with the switches as its real command line.
TEST(Switches, ForwardingOverRealCommandLines)
{
    struct Case {
        const wchar_t* excluded;
        const wchar_t* switches;
        const wchar_t* forwarded;
    };
    const Case cases[] = {
        {L"none", L"/silent", L" /SILENT"},
        {L"none", L"-SILENT", L" /SILENT"},
        {L"none", L"/SCHEDULE_TO 2", L" /SCHEDULE_TO \"2\""},
        // A switch followed by another switch has no value.
        {L"none", L"/SCHEDULE_TO /SILENT", L" /SILENT /SCHEDULE_TO"},
        {L"schedule_TO", L"/SCHEDULE_TO 2 /UNINSTALL", L" /UNINSTALL"},
        {L"Silent", L"-silent /m", L" /m"},
        // Table order, whatever the order given; the table's spelling of each name.
        {L"none", L"/UNINSTALL /CC_TOKEN abc /M /NOUI /ShowOneClick",
         L" /SHOWONECLICK /m /CC_TOKEN \"abc\" /noui /UNINSTALL"},
        // Switches outside the table are never forwarded.
        {L"none", L"/r /RESTARTED_IN_SESSION /IMAGE /EXTRACT_PATH x /SILENT /OTHER", L" /SILENT"},
        {L"none", L"/INSTALLER_OPTIONS \"a b c\" /SMART_RESTART 30",
         L" /SMART_RESTART \"30\" /INSTALLER_OPTIONS \"a b c\""},
        // A value with a double quote cannot be quoted: that switch is left out.
        {L"none", L"/CC_TOKEN a\"b /SILENT", L" /SILENT"},
        {L"none", L"plain arguments only", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Forward(c.excluded, c.switches), c.forwarded) << c.switches;
    }
}

TEST(Switches, ForwardedTextParsesBackToTheSameSwitches)
{
    const wchar_t* lines[] = {
        L"x.exe /CC_TOKEN \"tok en\" /SCHEDULE_TO 3 -m /FORCE_INSTALL /INSTALLER_OPTIONS \"/q /norestart\"",
        L"x.exe /SMART_RESTART /UPGRADE_DELAY 120 /EXECUTED_BY_MSI /CC_TOKEN \"\"",
    };
    for (const wchar_t* line : lines) {
        qkCommandLine original;
        ASSERT_TRUE(original.Parse(line));
        std::wstring forwarded = L"copy.exe";
        vek::AppendForwardedSwitches(original, forwarded, nullptr);
        qkCommandLine copy;
        ASSERT_TRUE(copy.Parse(forwarded.c_str())) << forwarded;
        for (const wchar_t* name : g_ForwardedSwitches) {
            EXPECT_EQ(copy.HasSwitch(name), original.HasSwitch(name)) << name << " in " << forwarded;
            const wchar_t* before = original.GetSwitchValue(name);
            const wchar_t* after = copy.GetSwitchValue(name);
            EXPECT_EQ(before == nullptr, after == nullptr) << name << " in " << forwarded;
            if (before != nullptr && after != nullptr) {
                EXPECT_STREQ(after, before) << name;
            }
        }
    }
}

TEST(Switches, QuoteInValueIsRefusedWithALogLine)
{
    // The customer token's value is masked in that line, the value of any other switch shown.
    const struct {
        const wchar_t* line;
        const wchar_t* logged;
    } cases[] = {
        {L"x.exe /INSTALLER_OPTIONS say\"hi /UNINSTALL",
         L"Switch INSTALLER_OPTIONS not forwarded: its value holds a double quote: say\"hi"},
        {L"x.exe /CC_TOKEN s3cr\"et /UNINSTALL", L"Switch CC_TOKEN not forwarded: its value holds a double quote: ********"},
    };
    for (const auto& c : cases) {
        qkCommandLine source;
        ASSERT_TRUE(source.Parse(c.line));
        launchertest::LogCapture log;
        std::wstring forwarded;
        vek::AppendForwardedSwitches(source, forwarded, nullptr);
        EXPECT_EQ(forwarded, L" /UNINSTALL");
        const auto lines = log.Matching(c.logged);
        ASSERT_EQ(lines.size(), 1u) << c.logged;
        EXPECT_EQ(lines[0].rfind(L"Error : vek::AppendForwardedSwitches(", 0), 0u) << lines[0];
        EXPECT_TRUE(log.Matching(L"s3cr").empty());
    }
}

TEST(Switches, UnparsableCommandLineIsLoggedWithTheTokenMasked)
{
    launchertest::LogCapture log;
    std::wstring forwarded;
    vek::AppendForwardedSwitches(L"x.exe /SILENT /CC_TOKEN s3cr3t /INSTALLER_OPTIONS \"/q", forwarded, nullptr);
    EXPECT_EQ(forwarded, L"");
    EXPECT_EQ(log.Matching(L"Unable to parse the command line: x.exe /SILENT /CC_TOKEN ******** /INSTALLER_OPTIONS").size(),
              1u);
    EXPECT_TRUE(log.Matching(L"s3cr3t").empty());
}

TEST(Switches, ParsedSwitchIsATokenNotTextInAValue)
{
    using namespace vek::switches;
    struct Case {
        const wchar_t* line;
        bool restartPrompt;
        bool executedByMsi;
    } cases[] = {
        {L"/SHOW_RESTART_PROMPT 5 /EXECUTED_BY_MSI", true, true},
        {L"-show_restart_prompt /silent", true, false},
        {L"/SILENT /INSTALLER_OPTIONS \"/SHOW_RESTART_PROMPT EXECUTED_BY_MSI\"", false, false},
        {L"/INSTALLER_OPTIONS SHOW_RESTART_PROMPT /CC_TOKEN EXECUTED_BY_MSI", false, false},
        {L"\"C:\\EXECUTED_BY_MSI\\VekLauncher.exe\" /SILENT", false, false},
        {L"/SHOW_RESTART_PROMPTS /EXECUTED_BY_MSI_NOT", false, false},
        // A line the parser refuses has no switch at all.
        {L"/SHOW_RESTART_PROMPT /EXECUTED_BY_MSI /INSTALLER_OPTIONS \"/q", false, false},
        {L"", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vek::HasParsedSwitch(c.line, SHOW_RESTART_PROMPT), c.restartPrompt) << c.line;
        EXPECT_EQ(vek::HasParsedSwitch(c.line, EXECUTED_BY_MSI), c.executedByMsi) << c.line;
    }
    EXPECT_FALSE(vek::HasParsedSwitch(nullptr, EXECUTED_BY_MSI));
}

TEST(Switches, RawSwitchIsASubstringTest)
{
    const wchar_t line[] = L"\"C:\\dl\\install_wox_app\\VekLauncher.exe\" /SILENT";
    EXPECT_TRUE(vek::HasRawSwitch(line, vek::switches::INSTALL_WOX_APP));
    qkCommandLine parsed;
    ASSERT_TRUE(parsed.Parse(line));
    EXPECT_FALSE(parsed.HasSwitch(vek::switches::INSTALL_WOX_APP));
    EXPECT_TRUE(vek::HasRawSwitch(L"x.exe /Force_Logging", vek::switches::FORCE_LOGGING));
    EXPECT_FALSE(vek::HasRawSwitch(L"x.exe /SILENT", vek::switches::FORCE_LOGGING));
    EXPECT_FALSE(vek::HasRawSwitch(nullptr, vek::switches::FORCE_LOGGING));
}

} // namespace
