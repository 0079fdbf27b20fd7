// The program entry's decisions over texts and codes.
#include "engine/launcher/VekProgramRules.h"

#include <gtest/gtest.h>

#include <string>

TEST(VekProgramRules, LogBaseNameFollowsTheRawCommandLine)
{
    struct Case {
        const wchar_t* commandLine;
        bool interactive;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"VekLauncher.exe /SILENT", true, L"VekLauncher"},
        {L"x.exe -install_wox_app", true, nullptr},
        {L"x.exe /INSTALL_WOX_APP /force_logging", true, L"VekLauncherA"},
        {L"x.exe /INSTALL_WOX_APP /FORCE_LOGGING", false, L"VekLauncher"},
        {L"x.exe \"C:\\path\\install_wox_app\"", false, nullptr}, // a substring anywhere counts
    };
    for (const auto& c : cases) {
        const wchar_t* name = vek::LogBaseNameFor(c.commandLine, c.interactive);
        EXPECT_EQ(c.expected ? std::wstring(c.expected) : std::wstring(L"<none>"),
                  name ? std::wstring(name) : std::wstring(L"<none>"))
            << c.commandLine;
    }
}

TEST(VekProgramRules, UserSessionCommandLine)
{
    const std::wstring restart = L"\"C:\\Program Files\\Vek\\VekLauncher.exe\"";
    EXPECT_EQ(restart + L" /RESTARTED_IN_SESSION", vek::UserSessionCommandLine(restart, L"VekLauncher.exe"));
    EXPECT_EQ(restart + L" /SILENT /r /RESTARTED_IN_SESSION",
              vek::UserSessionCommandLine(restart, L"\"C:\\a b\\VekLauncher.exe\" /SILENT /r"));
    EXPECT_EQ(restart + L" /RESTARTED_IN_SESSION /SILENT",
              vek::UserSessionCommandLine(restart, L"x.exe /RESTARTED_IN_SESSION /SILENT"));
}

TEST(VekProgramRules, DeploymentPackageRemovalAndAccount)
{
    for (int code : {3, 4, 8, 11, 15, 17, 18, 19}) {
        EXPECT_TRUE(vek::RemovesDeploymentPackage(code, true)) << code;
        EXPECT_FALSE(vek::RemovesDeploymentPackage(code, false)) << code;
    }
    for (int code : {0, 9, 13, 20}) {
        EXPECT_FALSE(vek::RemovesDeploymentPackage(code, true)) << code;
    }
    EXPECT_STREQ(L"SYSTEM", vek::AccountWordFor(L"system"));
    EXPECT_STREQ(L"USER", vek::AccountWordFor(L"alice"));
}
