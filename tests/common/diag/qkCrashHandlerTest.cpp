// The crash handler in a real crashing child: the callback program runs to its end before the
// dump is written, the dump's name, the overwrite with both name switches off, a direct call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "DiagTestSupport.h"
#include "StackWalkSupport.h"
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

// Both kinds of dump describe the crashing code: a walk from the dump's thread context goes back
// through the function that crashed (or called the handler) to wmain, at the call.
TEST(CrashHandler, EachDumpWalksBackToTheCrashingCall)
{
    for (const wchar_t* kind : {L"fault", L"direct"}) {
        diagtest::TempFolder folder(L"crash");
        const std::wstring site = folder.Path(L"site.txt");
        SetEnvironmentVariableW(L"VEK_DIAG_SITE", site.c_str());
        RunCrasher(std::wstring(kind) + L" " + Quote(folder.Path(L"walk.dmp")) + L" 0 0 -");
        SetEnvironmentVariableW(L"VEK_DIAG_SITE", nullptr);
        const std::vector<BYTE> siteText = diagtest::ReadAll(site);
        const ULONGLONG siteOffset = std::strtoull(std::string(siteText.begin(), siteText.end()).c_str(), nullptr, 16);
        ASSERT_NE(0u, siteOffset) << kind;
        const std::vector<BYTE> dump = diagtest::ReadAll(folder.Path(L"walk.dmp"));
        ASSERT_GT(dump.size(), 4u) << kind;
        const diagtest::DumpWalk walk = diagtest::WalkDump(dump, diagtest::ProgramFolder() + L"\\diag_crasher.exe");
        ASSERT_TRUE(walk.ok) << walk.error;
        EXPECT_NE(walk.offsets.end(), std::find(walk.offsets.begin(), walk.offsets.end(), siteOffset))
            << "frames found in diag_crasher: " << walk.offsets.size();
    }
}

// A callback program that hangs holds the crashing thread only for the callback time-out: the
// dump is written and the process ends; the program runs on until it is let go.
TEST(CrashHandler, AHungCallbackIsWaitedForOnlyItsTime)
{
    diagtest::TempFolder folder(L"crash");
    const std::wstring holdName = L"vek_diag_hold_" + std::to_wstring(GetCurrentProcessId());
    qkHandle hold(CreateEventW(nullptr, TRUE, FALSE, holdName.c_str()));
    ASSERT_TRUE(hold.IsValid());
    SetEnvironmentVariableW(L"VEK_DIAG_HOLD", holdName.c_str());
    SetEnvironmentVariableW(L"VEK_DIAG_RECORD", folder.Path(L"callback.txt").c_str());
    const ChildResult child = RunCrasher(L"fault " + Quote(folder.Path(L"hung.dmp")) + L" 0 0 " +
                                         Quote(diagtest::ProgramFolder() + L"\\diag_recorder.exe") + L" 200");
    SetEnvironmentVariableW(L"VEK_DIAG_HOLD", nullptr);
    EXPECT_EQ(qkCrashHandler::kTerminateExitCode, child.exitCode);
    EXPECT_TRUE(IsMinidump(folder.Path(L"hung.dmp")));
    EXPECT_TRUE(diagtest::ReadAll(folder.Path(L"callback.txt")).empty()) << "the callback is still held";
    SetEvent(hold.Get());
    for (int i = 0; i < 200 && diagtest::ReadAll(folder.Path(L"callback.txt")).empty(); ++i)
        Sleep(50);
    SetEnvironmentVariableW(L"VEK_DIAG_RECORD", nullptr);
    EXPECT_FALSE(diagtest::ReadAll(folder.Path(L"callback.txt")).empty()) << "the released callback ran";
}

// A handler whose handling runs out of memory itself, as a nested allocation failure does.
class FailingHandler : public qkCrashHandler {
public:
    BOOL HandleCrash(DWORD type, EXCEPTION_POINTERS*) override
    {
        calls.push_back(type);
        throw std::bad_alloc();
    }
    std::vector<DWORD> calls;
};

TEST(CrashHandler, AFailureInsideTheAllocationHookLeavesItArmed)
{
    FailingHandler handler;
    qkCrashHandler::Settings settings;
    settings.dump[qkCrashHandler::CrashNew] = 1;
    ASSERT_TRUE(handler.Initialize(settings));
    handler.calls.reserve(4);
    const size_t impossible = static_cast<size_t>(-1) / 2;
    for (int i = 0; i < 2; ++i) {
        void* volatile block = nullptr;
        EXPECT_THROW(block = ::operator new(impossible), std::bad_alloc);
        ::operator delete(block);
    }
    handler.Uninitialize();
    EXPECT_EQ((std::vector<DWORD>{qkCrashHandler::CrashNew, qkCrashHandler::CrashNew}), handler.calls)
        << "each failed allocation reaches the handler";
}

// Without a previous handler the run time's own report runs, with the hook's callback out of the
// slot during that call and back in it after.
std::vector<std::wstring> g_reports;
_invalid_parameter_handler g_slotDuringReport = nullptr;
void __cdecl RecordReport(const wchar_t* expression, const wchar_t*, const wchar_t*, unsigned, uintptr_t)
{
    g_slotDuringReport = _get_invalid_parameter_handler();
    g_reports.push_back(expression ? expression : L"");
}

TEST(CrashHandler, AnInvalidParameterWithoutPreviousHandlerGetsTheDefaultReport)
{
    const _invalid_parameter_handler before = _set_invalid_parameter_handler(nullptr);
    {
        qkCrashHandler handler;
        handler.InvalidParameterHook().SetDefaultReport(&RecordReport);
        ASSERT_TRUE(handler.Initialize(qkCrashHandler::Settings{}));
        const _invalid_parameter_handler hook = _get_invalid_parameter_handler();
        ASSERT_NE(nullptr, hook);
        g_slotDuringReport = hook;
        hook(L"size != 0", L"Copy", L"copy.cpp", 12, 0);
        EXPECT_EQ(std::vector<std::wstring>{L"size != 0"}, g_reports);
        EXPECT_EQ(nullptr, g_slotDuringReport) << "the hook's callback was out of the slot during the report";
        EXPECT_EQ(hook, _get_invalid_parameter_handler()) << "and back in it after";
    }
    _set_invalid_parameter_handler(before);
    EXPECT_NE(nullptr, qkInvalidParameterHook::FindDefaultReport()) << "the loaded run time has its report";
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
