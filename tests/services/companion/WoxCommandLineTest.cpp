// The installer's command line and the activation task's arguments.
#include <gtest/gtest.h>

#include "services/companion/WoxCommandLine.h"

TEST(WoxCommandLineTest, InstallerCommandLine)
{
    struct Case {
        const char* what;
        bool installOnly, forceLogging;
        std::vector<std::wstring> dependencies;
        const wchar_t* expected;
    } cases[] = {
        {"install", false, false, {}, L"\"C:\\P F\\inst.exe\" INSTALL \"C:\\P F\\app.bundle\" "},
        {"image, logging",
         true,
         true,
         {},
         L"\"C:\\P F\\inst.exe\" INSTALL_ONLY FORCE_LOGGING \"C:\\P F\\app.bundle\" "},
        {"dependencies in order, a blank quoted",
         false,
         true,
         {L"b.appx", L"a one.appx", L"c.appx"},
         L"\"C:\\P F\\inst.exe\" INSTALL FORCE_LOGGING \"C:\\P F\\app.bundle\"  b.appx \"a one.appx\" c.appx"},
    };
    for (const Case& c : cases) {
        std::wstring line;
        ASSERT_TRUE(vek::BuildWoxInstallerCommandLine(L"C:\\P F\\inst.exe", L"C:\\P F\\app.bundle", c.installOnly,
                                                      c.forceLogging, c.dependencies, line))
            << c.what;
        EXPECT_EQ(line, c.expected) << c.what;
    }
    std::wstring line = L"unchanged";
    EXPECT_FALSE(vek::BuildWoxInstallerCommandLine(L"C:\\a\"b.exe", L"x", false, false, {}, line));
    EXPECT_FALSE(vek::BuildWoxInstallerCommandLine(L"a.exe", L"x\"", false, false, {}, line));
    EXPECT_FALSE(vek::BuildWoxInstallerCommandLine(L"a.exe", L"x", false, false, {L"ok", L"\" /evil"}, line));
    EXPECT_EQ(line, L"unchanged");
}

TEST(WoxCommandLineTest, TaskArguments)
{
    struct Case {
        const wchar_t* folder;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\Wox Files", L"/INSTALL_WOX_APP /WOX_PACKAGE_PATH \"C:\\Wox Files\""},
        {L"C:\\Wox Files\\\\", L"/INSTALL_WOX_APP /WOX_PACKAGE_PATH \"C:\\Wox Files\""}, // no \" at the end
        {L"D:\\", L"/INSTALL_WOX_APP /WOX_PACKAGE_PATH \"D:\\.\""},
    };
    for (const Case& c : cases) {
        std::wstring arguments;
        ASSERT_TRUE(vek::BuildWoxTaskArguments(c.folder, arguments));
        EXPECT_EQ(arguments, c.expected);
    }
    std::wstring arguments;
    EXPECT_FALSE(vek::BuildWoxTaskArguments(L"C:\\a\"b", arguments));
}
