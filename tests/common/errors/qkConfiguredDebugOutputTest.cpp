#include "common/base/qkWideFormat.h"
#include "common/errors/qkConfiguredDebugOutput.h"

#include "LogTestSupport.h"
#include "LoggerPeek.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <thread>
#include <vector>

using logtest::Error;
using logtest::FixtureKey;
using logtest::Folder;
using logtest::Hex4;
using logtest::Info;
using logtest::Utf16;
using logtest::Warn;

namespace {

std::wstring Stamp()
{
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    wchar_t text[32];
    qkLib::FormatWide(text, 32, L"%04d-%02d-%02d-%02d-%02d-%02d-%03d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                      t.wSecond, t.wMilliseconds);
    return text;
}

const std::string kMark("\xFF\xFE", 2);

class qkConfiguredDebugOutputTest : public ::testing::Test {
protected:
    void SetUp() override { logtest::RemoveFixtures(); }
    void TearDown() override { logtest::RemoveFixtures(); }

    static std::wstring OutputKey() { return logtest::DebugKeyPath() + L"\\DebugOutput"; }

    // Logger options with every switch given: file output into the folder, the rest as passed.
    struct Options {
        DWORD debugType = 1;
        DWORD pidInFileName = 0, threadId = 0, processId = 0, dateTime = 0, moduleName = 0, newLine = 1, type = 1;
    };
    void WriteOptions(const Folder& folder, const Options& o)
    {
        FixtureKey key(OutputKey());
        key.Dword(L"DebugType", o.debugType);
        key.String(L"Directory", folder.Path());
        key.Dword(L"OutputToDebugger", 0);
        key.Dword(L"OutputToFile", 1);
        key.Dword(L"AppendProcessIdToFile", o.pidInFileName);
        key.Dword(L"PrependThreadId", o.threadId);
        key.Dword(L"PrependProcessId", o.processId);
        key.Dword(L"PrependDateTime", o.dateTime);
        key.Dword(L"PrependModuleName", o.moduleName);
        key.Dword(L"AppendNewLine", o.newLine);
        key.Dword(L"PrependType", o.type);
    }
};

// The configured logger reads its switches at its first line and writes the file byte for byte.
TEST_F(qkConfiguredDebugOutputTest, FirstLineLoadsTheRegistrySwitches)
{
    Folder folder(L"first");
    Options o;
    o.debugType = 2;
    o.pidInFileName = o.threadId = o.processId = o.moduleName = 1;
    WriteOptions(folder, o);

    const std::wstring pid = Hex4(::GetCurrentProcessId());
    const std::wstring tid = Hex4(::GetCurrentThreadId());
    const std::wstring file = folder / (L"CfgLog-" + pid + L".log");
    const std::wstring prefix = L"CfgLog : " + pid + L" : " + tid + L" : ";
    {
        logtest::Peek<qkConfiguredDebugOutput> log(L"CfgLog");
        EXPECT_FALSE(log.Initialized()); // nothing is read before the first use
        Info(log, L"not written at level 2");
        EXPECT_TRUE(log.Initialized());
        Warn(log, L"w %d %s", 5, L"five");
        Error(log, L"e\r\n\r\n");
        EXPECT_EQ(logtest::ReadBytes(file),
                  kMark + Utf16(prefix + L"Warning : w 5 five\r\n" + prefix + L"Error : e\r\n"));
    }
    // A second logger appends to the existing file without a second mark.
    {
        qkConfiguredDebugOutput log(L"CfgLog");
        Error(log, L"again");
    }
    EXPECT_EQ(logtest::ReadBytes(file), kMark + Utf16(prefix + L"Warning : w 5 five\r\n" + prefix + L"Error : e\r\n" +
                                                      prefix + L"Error : again\r\n"));
    EXPECT_EQ(folder.Files(), std::vector<std::wstring>{L"CfgLog-" + pid + L".log"});
}

TEST_F(qkConfiguredDebugOutputTest, DateTimePrefixFromTheRegistry)
{
    Folder folder(L"stamp");
    Options o;
    o.dateTime = 1;
    o.newLine = 0; // lines are written as they are
    WriteOptions(folder, o);

    qkConfiguredDebugOutput log(L"Stamped");
    const std::wstring before = Stamp();
    Info(log, L"one\n");
    const std::wstring after = Stamp();
    const std::string bytes = logtest::ReadBytes(folder / L"Stamped.log");
    ASSERT_EQ(bytes.size(), kMark.size() + 2 * (23 + 3 + 14 + 4));
    EXPECT_EQ(bytes.substr(0, 2), kMark);
    const std::wstring text = logtest::FromUtf16(bytes.substr(2));
    const std::wstring stamp = text.substr(0, 23);
    EXPECT_TRUE(logtest::IsDateTime(stamp)) << stamp;
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(text.substr(23), L" : Information : one\n");
}

// Setters override the loaded switches, whether they come before the first line or after it.
TEST_F(qkConfiguredDebugOutputTest, SettersOverrideTheLoadedSwitches)
{
    Folder folder(L"setters");
    Folder other(L"setters2");
    Options o;
    o.type = 0;
    WriteOptions(folder, o);

    logtest::Peek<qkConfiguredDebugOutput> log(L"Set");
    // The first setter loads the options, then its own value holds.
    log.SetDebugType(3);
    EXPECT_TRUE(log.Initialized());
    EXPECT_EQ(log.Get(), (logtest::Switches{3, FALSE, TRUE, FALSE, FALSE, FALSE, FALSE, FALSE, TRUE, FALSE}));
    EXPECT_EQ(log.Folder(), folder.Path());
    Info(log, L"dropped");
    Error(log, L"first");
    // After the first line: the options are not loaded again, the setters still decide.
    log.SetPrependType(TRUE);
    log.SetDebugType(1);
    Info(log, L"second");
    EXPECT_EQ(log.Get(), (logtest::Switches{1, FALSE, TRUE, FALSE, FALSE, FALSE, FALSE, FALSE, TRUE, TRUE}));
    EXPECT_EQ(logtest::ReadBytes(folder / L"Set.log"), kMark + Utf16(L"first\r\nInformation : second\r\n"));

    // The folder and the name: the open file is closed and the next one opened at once.
    ASSERT_TRUE(log.SetDirectory(other.Path().c_str()));
    ASSERT_TRUE(log.SetModuleName(L"Renamed"));
    Warn(log, L"third");
    EXPECT_EQ(logtest::ReadBytes(other / L"Renamed.log"), kMark + Utf16(L"Warning : third\r\n"));
    EXPECT_EQ(logtest::ReadBytes(folder / L"Set.log"), kMark + Utf16(L"first\r\nInformation : second\r\n"));
    EXPECT_EQ(log.GetModuleName(), L"Renamed");
    log.SetDirectory(L""); // closes the file so that the folders can go
}

TEST_F(qkConfiguredDebugOutputTest, ModuleListSilencesALoggerUntilASetterSaysOtherwise)
{
    Folder folder(L"modules");
    Options o;
    WriteOptions(folder, o);
    {
        FixtureKey modules(OutputKey() + L"\\Modules");
        modules.Dword(L"QUIET", 0);
    }
    qkConfiguredDebugOutput quiet(L"Quiet");
    qkConfiguredDebugOutput loud(L"Loud");
    Error(quiet, L"not written");
    Info(loud, L"written");
    EXPECT_EQ(logtest::ReadBytes(folder / L"Quiet.log"), "");
    EXPECT_EQ(logtest::ReadBytes(folder / L"Loud.log"), kMark + Utf16(L"Information : written\r\n"));
    quiet.SetDebugType(1);
    Error(quiet, L"now");
    EXPECT_EQ(logtest::ReadBytes(folder / L"Quiet.log"), kMark + Utf16(L"Error : now\r\n"));
    quiet.SetDirectory(L"");
    loud.SetDirectory(L"");
}

// A failed load is reported once, the logger still counts as initialised, what was read holds.
TEST_F(qkConfiguredDebugOutputTest, FailedLoadStillInitialises)
{
    Folder folder(L"failed");
    Options o;
    o.debugType = 2;
    WriteOptions(folder, o);
    {
        FixtureKey modules(OutputKey() + L"\\Modules");
        modules.Dword(std::wstring(260, L'x').c_str(), 1);
    }
    logtest::Peek<qkConfiguredDebugOutput> log(L"Broken");
    EXPECT_FALSE(log.Initialize());
    EXPECT_TRUE(log.Initialized());
    EXPECT_EQ(log.Get().debugType, 2);
    EXPECT_TRUE(log.Initialize());

    // The registry is read once: later changes do not reach this logger.
    {
        FixtureKey key(OutputKey());
        key.Dword(L"DebugType", 3);
    }
    Warn(log, L"still level 2");
    EXPECT_EQ(log.Get().debugType, 2);
    EXPECT_EQ(logtest::ReadBytes(folder / L"Broken.log"), kMark + Utf16(L"Warning : still level 2\r\n"));
    log.SetDirectory(L"");
}

TEST_F(qkConfiguredDebugOutputTest, DefaultNamesFillWhatTheRegistryLeavesEmpty)
{
    wchar_t exe[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    std::wstring exeFolder(exe);
    exeFolder.erase(exeFolder.find_last_of(L'\\') + 1);
    std::wstring exeName(exe + exeFolder.size());
    exeName.erase(exeName.find_last_of(L'.'));

    // No options at all: the program's folder and name.
    {
        logtest::Peek<qkConfiguredDebugOutput> log(L"");
        EXPECT_TRUE(log.Initialize());
        EXPECT_EQ(log.Folder(), exeFolder);
        EXPECT_EQ(log.GetModuleName(), exeName.c_str());
        EXPECT_EQ(log.Get(), (logtest::Switches{0, TRUE, FALSE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE}));
    }
    // A folder from the registry is kept.
    {
        FixtureKey key(OutputKey());
        key.String(L"Directory", L"C:\\from-registry");
    }
    logtest::Peek<qkConfiguredDebugOutput> log(L"");
    EXPECT_TRUE(log.Initialize());
    EXPECT_EQ(log.Folder(), L"C:\\from-registry");
    EXPECT_EQ(log.GetModuleName(), exeName.c_str());
}

// Threads that log their first lines at once all see the loaded switches: none is lost.
TEST_F(qkConfiguredDebugOutputTest, ConcurrentFirstLines)
{
    Folder folder(L"threads");
    WriteOptions(folder, Options{});
    qkConfiguredDebugOutput log(L"Threads");
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(go, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&log, go, i] {
            ::WaitForSingleObject(go, INFINITE);
            Info(log, L"t%d", i);
        });
    }
    ::SetEvent(go);
    for (auto& t : threads)
        t.join();
    ::CloseHandle(go);

    const std::string bytes = logtest::ReadBytes(folder / L"Threads.log");
    ASSERT_EQ(bytes.substr(0, 2), kMark);
    const std::wstring text = logtest::FromUtf16(bytes.substr(2));
    for (int i = 0; i < 8; ++i) {
        const std::wstring line = L"Information : t" + std::to_wstring(i) + L"\r\n";
        EXPECT_NE(text.find(line), std::wstring::npos) << i;
    }
    EXPECT_EQ(text.size(), 8 * std::wstring(L"Information : t0\r\n").size());
    log.SetDirectory(L"");
}

// Renaming the logger while another thread logs: every line carries one whole name, never a
// name torn between the old and the new one.
TEST_F(qkConfiguredDebugOutputTest, RenameWhileLoggingGivesWholeNames)
{
    class Collecting : public qkConfiguredDebugOutput {
    public:
        using qkConfiguredDebugOutput::qkConfiguredDebugOutput;
        void OutputText(const wchar_t* line) override
        {
            const std::wstring text(line);
            if (text != first + L" : x" && text != second + L" : x" && torn++ == 0)
                example = text;
        }
        const std::wstring first = std::wstring(200, L'A');
        const std::wstring second = std::wstring(200, L'B');
        std::atomic<int> torn{0};
        std::wstring example; // written by the first torn line only
    };
    Collecting log(L"Renamed");
    log.SetDebugType(1);
    log.SetOutputToFile(FALSE);
    log.SetOutputToDebugger(FALSE);
    log.SetPrependType(FALSE);
    log.SetPrependDateTime(FALSE);
    log.SetPrependProcessId(FALSE);
    log.SetPrependThreadId(FALSE);
    log.SetAppendNewLine(FALSE);
    log.SetPrependModuleName(TRUE);
    ASSERT_TRUE(log.SetModuleName(log.first.c_str()));

    // One thread renames while two log; all start together and stop at the first torn line.
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::atomic<int> lines{0};
    std::thread renamer([&] {
        while (!go) {}
        for (int i = 0; i < 400000 && !done; ++i)
            log.SetModuleName((i % 2 ? log.first : log.second).c_str());
        done = true;
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            while (!go) {}
            while (!done && log.torn == 0) {
                Info(log, L"x");
                ++lines;
            }
        });
    }
    go = true;
    for (auto& t : writers)
        t.join();
    done = true;
    renamer.join();
    EXPECT_EQ(log.torn, 0) << "after " << lines
                           << " lines, as in: " << std::string(log.example.begin(), log.example.end());
}

} // namespace
