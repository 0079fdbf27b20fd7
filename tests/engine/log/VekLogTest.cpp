#include "engine/log/VekDebugOutput.h"
#include "engine/log/VekLog.h"

#include "common/base/qkWideFormat.h"
#include "common/errors/LogTestSupport.h"
#include "common/errors/qkLog.h"

#include <gtest/gtest.h>

#include <cwctype>

using logtest::FixtureKey;
using logtest::Folder;
using logtest::Utf16;

namespace vek::test {

struct Probe {
    // Logs one error line and answers the line it was written on.
    static int Write(int value)
    {
        QK_LOG_ERROR(L"probe %d of %s", value, L"two");
        return __LINE__ - 1;
    }
};

} // namespace vek::test

namespace {

const std::string kMark("\xFF\xFE", 2);

// The process-wide logger is initialised once per process, so its whole life is one test: the
// registry switches at the first line, then the launcher's own configuration over them.
TEST(VekLog, FacadeWritesThroughTheProcessLogger)
{
    logtest::RemoveFixtures();
    Folder first(L"facade1");
    Folder second(L"facade2");
    {
        FixtureKey key(logtest::DebugKeyPath() + L"\\DebugOutput");
        key.Dword(L"DebugType", 2);
        key.String(L"Directory", first.Path() + L"\\\\"); // trailing backslashes are dropped
        key.Dword(L"OutputToDebugger", 0);
        key.Dword(L"OutputToFile", 1);
        key.Dword(L"AppendProcessIdToFile", 0);
        key.Dword(L"PrependThreadId", 0);
        key.Dword(L"PrependProcessId", 0);
        key.Dword(L"PrependDateTime", 0);
    }

    // Registry switches: warnings and up, name and level prefixes, file named after the module.
    vek::LogInfo(L"vek::Test(10) : not written at level 2");
    vek::LogWarning(L"vek::Test(11) : warning %d of %s", 1, L"two");
    vek::LogErrorAt(L"vek::Test(12)", L"error 0x%08X", 0x80047E05u);
    EXPECT_EQ(vek::VekDebugOutput.GetModuleName(), L"VekLauncher");
    EXPECT_EQ(logtest::ReadBytes(first / L"VekLauncher.log"),
              kMark + Utf16(L"VekLauncher : Warning : vek::Test(11) : warning 1 of two\r\n"
                            L"VekLauncher : Error : vek::Test(12) : error 0x80047E05\r\n"));

    // The launcher's configuration overrides them: every level, date, time and thread, no
    // module name, a file named after the base name and the start time.
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    ASSERT_TRUE(vek::ConfigureLogFile(vek::VekDebugOutput, second.Path().c_str(), L"VekLauncher"));
    SYSTEMTIME after;
    ::GetLocalTime(&after);
    vek::LogInfoAt(L"wWinMain(520)", L"Unable to Preload %s", L"ucrtbase.dll");

    // The old file was closed and is left as it was.
    EXPECT_EQ(logtest::ReadBytes(first / L"VekLauncher.log"),
              kMark + Utf16(L"VekLauncher : Warning : vek::Test(11) : warning 1 of two\r\n"
                            L"VekLauncher : Error : vek::Test(12) : error 0x80047E05\r\n"));

    const std::wstring name = vek::VekDebugOutput.GetModuleName();
    wchar_t low[64], high[64];
    qkLib::FormatWide(low, 64, L"VekLauncher-%04d-%02d-%02d-%02dh%02dm%02ds", before.wYear, before.wMonth, before.wDay,
                      before.wHour, before.wMinute, before.wSecond);
    qkLib::FormatWide(high, 64, L"VekLauncher-%04d-%02d-%02d-%02dh%02dm%02ds", after.wYear, after.wMonth, after.wDay,
                      after.wHour, after.wMinute, after.wSecond);
    ASSERT_EQ(name.size(), std::wstring(low).size());
    EXPECT_LE(std::wstring(low), name);
    EXPECT_LE(name, std::wstring(high));

    const std::string bytes = logtest::ReadBytes(second / (name + L".log"));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), kMark);
    const std::wstring text = logtest::FromUtf16(bytes.substr(2));
    ASSERT_GT(text.size(), 23u);
    EXPECT_TRUE(logtest::IsDateTime(text.substr(0, 23))) << text;
    EXPECT_EQ(text.substr(23), L" : " + logtest::Hex4(::GetCurrentThreadId()) +
                                   L" : Information : wWinMain(520) : Unable to Preload ucrtbase.dll\r\n");

    // The engine's configuration holds against the registry for the rest of the process.
    logtest::RemoveFixtures();
    vek::LogWarning(L"w");
    vek::LogError(L"e");
    // The common library's macros write into the same file, with the caller's name and line.
    const int line = vek::test::Probe::Write(7);
    const std::wstring all = logtest::FromUtf16(logtest::ReadBytes(second / (name + L".log")).substr(2));
    EXPECT_NE(all.find(L" : Warning : w\r\n"), std::wstring::npos);
    EXPECT_NE(all.find(L" : Error : e\r\n"), std::wstring::npos);
    EXPECT_NE(all.find(L" : Error : vek::test::Probe::Write(" + std::to_wstring(line) + L") : probe 7 of two\r\n"),
              std::wstring::npos)
        << all;

    vek::VekDebugOutput.SetDirectory(L""); // closes the file so that the folders can go
}

TEST(VekLog, ConfigureLogFileWithoutABaseName)
{
    Folder folder(L"vekname");
    qkConfiguredDebugOutput log(L"Other");
    ASSERT_TRUE(vek::ConfigureLogFile(log, folder.Path().c_str(), nullptr));
    const std::wstring name = log.GetModuleName();
    EXPECT_EQ(name.substr(0, 4), L"VEK-");
    EXPECT_EQ(name.size(), std::wstring(L"VEK-2024-01-02-03h04m05s").size());
    EXPECT_EQ(name.substr(14, 1) + name.substr(17, 1) + name.substr(20, 1) + name.substr(23, 1), L"-hms");
}

} // namespace

namespace {

void WriteInformation(qkDebugOutput& log, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    log.LogInformation(format, args);
    va_end(args);
}

// The machine's module filter still holds once the launcher has set its own switches: a module
// that the debug options silence writes no log file, one they leave on writes its lines.
TEST(VekLog, ModuleFilterHoldsOverTheLauncherConfiguration)
{
    for (const DWORD enabled : {0u, 1u}) {
        logtest::RemoveFixtures();
        {
            FixtureKey modules(logtest::DebugKeyPath() + L"\\DebugOutput\\Modules");
            modules.Dword(L"VekFiltered", enabled);
        }
        Folder folder(L"vekfilter");
        qkConfiguredDebugOutput log(L"VekFiltered");
        ASSERT_TRUE(vek::ConfigureLogFile(log, folder.Path().c_str(), L"VekFiltered"));
        WriteInformation(log, L"filtered %d", 1);
        EXPECT_EQ(folder.Files().size(), enabled ? 1u : 0u) << "module switch " << enabled;
        log.SetDirectory(L""); // closes the file so that the folder can go
    }
    logtest::RemoveFixtures();
}

} // namespace
