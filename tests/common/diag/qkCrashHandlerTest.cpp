// The crash handler in a real crashing child: the callback program runs to its end before the
// dump is written, the dump's name, the overwrite with both name switches off, a direct call.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "DiagTestSupport.h"
#include "common/diag/qkCrashHandler.h"
#include "common/system/qkHandle.h"
#include "support/CreateProcessRetrying.h"

namespace fs = std::filesystem;

namespace {

struct ChildResult {
    DWORD processId = 0;
    DWORD exitCode = 0;
};

ChildResult RunCrasher(const std::wstring& arguments)
{
    std::wstring command = L"\"" + diagtest::ProgramFolder() + L"\\diag_crasher.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ChildResult result;
    if (!vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, CREATE_NO_WINDOW, nullptr, &startup,
                                          &started)) {
        ADD_FAILURE() << "diag_crasher did not start: " << GetLastError();
        return result;
    }
    qkHandle process(started.hProcess);
    qkHandle thread(started.hThread);
    result.processId = started.dwProcessId;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 60000));
    GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

std::vector<fs::path> Dumps(const std::wstring& folder)
{
    std::vector<fs::path> dumps;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == L".dmp")
            dumps.push_back(entry.path());
    return dumps;
}

bool IsMinidump(const fs::path& path)
{
    const std::vector<BYTE> bytes = diagtest::ReadAll(path.wstring());
    return bytes.size() > 32 && memcmp(bytes.data(), "MDMP", 4) == 0;
}

std::wstring Quote(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

TEST(CrashHandler, UnhandledExceptionRunsTheCallbackThenWritesTheDump)
{
    diagtest::TempFolder folder(L"crash");
    const std::wstring dumps = folder.Path(L"dumps");
    fs::create_directories(dumps);
    SetEnvironmentVariableW(L"VEK_DIAG_RECORD", folder.Path(L"callback.txt").c_str());
    SetEnvironmentVariableW(L"VEK_DIAG_WATCH", dumps.c_str());
    const ChildResult child = RunCrasher(L"fault " + Quote(dumps + L"\\crash.dmp") + L" 1 1 " +
                                         Quote(diagtest::ProgramFolder() + L"\\diag_recorder.exe"));
    SetEnvironmentVariableW(L"VEK_DIAG_RECORD", nullptr);
    SetEnvironmentVariableW(L"VEK_DIAG_WATCH", nullptr);
    EXPECT_EQ(qkCrashHandler::kTerminateExitCode, child.exitCode);

    const std::vector<BYTE> bytes = diagtest::ReadAll(folder.Path(L"callback.txt"));
    const std::wstring line(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    const std::wstring pid = std::to_wstring(child.processId);
    EXPECT_NE(std::wstring::npos, line.find(L"/pid " + pid + L" /tid ")) << line;
    EXPECT_NE(std::wstring::npos, line.find(L"/crashtype 3 /exceptioncode 3221225477 /crashaddress ")) << line;
    EXPECT_NE(std::wstring::npos, line.find(L"/exceptionpointer ")) << line;
    EXPECT_NE(std::wstring::npos, line.find(L" dumps=0")) << "the callback ends before the dump: " << line;

    const auto written = Dumps(dumps);
    ASSERT_EQ(1u, written.size());
    const std::wregex name(L"crash-1\\.2-\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d{3}-" + pid + L"\\.dmp");
    EXPECT_TRUE(std::regex_match(written[0].filename().wstring(), name)) << written[0].filename();
    EXPECT_TRUE(IsMinidump(written[0]));
}

TEST(CrashHandler, BothNameSwitchesOffOverwriteOneFile)
{
    diagtest::TempFolder folder(L"crash");
    const std::wstring base = folder.Path(L"same.dmp");
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(qkCrashHandler::kTerminateExitCode, RunCrasher(L"fault " + Quote(base) + L" 0 0 -").exitCode);
    const auto written = Dumps(folder.Path());
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(fs::path(base), written[0]);
    EXPECT_TRUE(IsMinidump(written[0]));
}

TEST(CrashHandler, ADirectCallDumpsAndGoesOn)
{
    diagtest::TempFolder folder(L"crash");
    const ChildResult child = RunCrasher(L"direct " + Quote(folder.Path(L"direct.dmp")) + L" 0 1 -");
    EXPECT_EQ(0u, child.exitCode) << "the direct type never terminates";
    const auto written = Dumps(folder.Path());
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(L"direct-1.2-" + std::to_wstring(child.processId) + L".dmp", written[0].filename().wstring());
    EXPECT_TRUE(IsMinidump(written[0]));
}

TEST(CrashHandler, DumpNameFromBaseVersionTimeAndProcess)
{
    struct Case {
        DWORD dateTime, version;
        const wchar_t* versionText;
        const wchar_t* expected;
    } cases[] = {
        {1, 1, L"1.2", L"C:\\dumps\\app-1.2-2024-03-03-09-05-07-042-1234.dmp"},
        {1, 0, L"1.2", L"C:\\dumps\\app-2024-03-03-09-05-07-042-1234.dmp"},
        {0, 1, L"", L"C:\\dumps\\app-1234.dmp"},
        {0, 0, L"1.2", L"C:\\dumps\\app.dmp"},
    };
    const SYSTEMTIME time{2024, 3, 0, 3, 9, 5, 7, 42};
    for (const Case& c : cases) {
        qkCrashHandler handler;
        qkCrashHandler::Settings settings;
        settings.dumpBasePath = L"C:\\dumps\\app.dmp";
        settings.version = c.versionText;
        settings.appendDateTime = c.dateTime;
        settings.appendVersion = c.version;
        ASSERT_TRUE(handler.Initialize(settings, false));
        BOOL ok = FALSE;
        EXPECT_EQ(c.expected, handler.MakeDumpName(time, 1234, &ok));
        EXPECT_TRUE(ok);
    }
}

TEST(CrashHandler, WithoutTheDumpServiceTheHandlerWritesTheDumpItself)
{
    // No "qkDmpSvc" is installed here: the service step declines.
    qkCrashHandler handler;
    ASSERT_TRUE(handler.Initialize(qkCrashHandler::Settings{}, false));
    EXPECT_FALSE(handler.StartDumpService(nullptr));
}

} // namespace
