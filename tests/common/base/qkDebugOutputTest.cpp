#include "common/base/qkDebugOutput.h"

#include "LogFileBytes.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

namespace {

using logtest::Error;
using logtest::FromUtf16;
using logtest::Hex4;
using logtest::Info;
using logtest::ReadBytes;
using logtest::Utf16;
using logtest::Warn;

void Write(qkDebugOutput& log, LONG level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    log.WriteV(level, format, args);
    va_end(args);
}

// The launcher's switches.
void ConfigureAsLauncher(qkDebugOutput& log, const std::wstring& folder)
{
    log.SetDebugType(1);
    log.SetOutputToFile(TRUE);
    log.SetAppendNewLine(TRUE);
    log.SetPrependType(TRUE);
    log.SetPrependThreadId(TRUE);
    log.SetPrependDateTime(TRUE);
    log.SetPrependProcessId(FALSE);
    log.SetPrependModuleName(FALSE);
    log.SetAppendProcessIdToFile(FALSE);
    log.SetDirectory(folder.c_str());
}

class qkDebugOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_folder = std::wstring(temp) + L"vek_log_test_" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(m_folder.c_str(), nullptr);
    }
    void TearDown() override
    {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((m_folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                ::DeleteFileW((m_folder + L"\\" + data.cFileName).c_str());
            } while (::FindNextFileW(find, &data));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(m_folder.c_str());
    }

    std::wstring m_folder;
};

// Checks the 23 characters of a date-time prefix "yyyy-mm-dd-hh-mm-ss-mmm".
bool IsDateTime(const std::wstring& text)
{
    if (text.size() != 23) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = (i == 4 || i == 7 || i == 10 || i == 13 || i == 16 || i == 19);
        if (dash ? text[i] != L'-' : !std::iswdigit(text[i])) {
            return false;
        }
    }
    return true;
}

TEST_F(qkDebugOutputTest, LauncherLinesByteForByte)
{
    const std::wstring path = m_folder + L"\\VekLauncher-2026-01-02-03h04m05s.log";
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    {
        qkDebugOutput log(L"VekLauncher-2026-01-02-03h04m05s");
        ConfigureAsLauncher(log, m_folder + L"\\\\");
        EXPECT_EQ(path, log.GetLogFilePath());
        Info(log, L"vek::Engine::Start(%d) : %s", 42, L"started");
        Warn(log, L"second\r\n");
        Error(log, L"third %S\n\r\n", "narrow");
    }
    const std::string bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ('\xFF', bytes[0]);
    EXPECT_EQ('\xFE', bytes[1]);

    const std::wstring tid = Hex4(::GetCurrentThreadId());
    const std::wstring bodies[] = {
        L" : " + tid + L" : Information : vek::Engine::Start(42) : started\r\n",
        L" : " + tid + L" : Warning : second\r\n",
        L" : " + tid + L" : Error : third narrow\r\n",
    };
    // Byte for byte, with each line's date and time checked for its form and day.
    std::string expected = "\xFF\xFE";
    const std::wstring text = FromUtf16(bytes.substr(2));
    size_t at = 0;
    for (const auto& body : bodies) {
        ASSERT_LE(at + 23, text.size());
        const std::wstring stamp = text.substr(at, 23);
        EXPECT_TRUE(IsDateTime(stamp)) << stamp;
        EXPECT_EQ(before.wYear, std::stoi(stamp.substr(0, 4)));
        expected += Utf16(stamp + body);
        at += 23 + body.size();
    }
    EXPECT_EQ(expected, bytes);
}

TEST_F(qkDebugOutputTest, ExistingFileIsAppendedWithoutSecondMark)
{
    const std::wstring path = m_folder + L"\\append.log";
    for (int round = 0; round < 2; ++round) {
        qkDebugOutput log(L"append");
        log.SetDebugType(1);
        log.SetOutputToFile(TRUE);
        log.SetDirectory(m_folder.c_str());
        Info(log, L"round %d|", round);
    }
    EXPECT_EQ("\xFF\xFE" + Utf16(L"round 0|round 1|"), ReadBytes(path));
}

// A launcher and the copy it relaunches within the same second log to one file name: both keep
// the file open at once and every line of each lands whole, none written over.
TEST_F(qkDebugOutputTest, TwoWritersOfOneFileLoseNoLine)
{
    const std::wstring path = m_folder + L"\\shared.log";
    qkDebugOutput first(L"shared");
    qkDebugOutput second(L"shared");
    for (qkDebugOutput* log : {&first, &second}) {
        log->SetDebugType(1);
        log->SetOutputToFile(TRUE);
        log->SetDirectory(m_folder.c_str());
    }
    Info(first, L"a1|");
    Info(second, L"b1|");
    Info(first, L"a2|");
    Info(second, L"b2|");
    EXPECT_EQ("\xFF\xFE" + Utf16(L"a1|b1|a2|b2|"), ReadBytes(path));
}

// Lines logged before the log is configured are held, then written once it is, in their order;
// a logger that ends up configured for no file leaves none behind.
TEST_F(qkDebugOutputTest, HeldLinesReachTheFileConfiguredLater)
{
    {
        qkDebugOutput log(L"held");
        log.HoldLines();
        Info(log, L"early %d|", 1);
        Warn(log, L"early 2|");
        log.SetDebugType(1);
        log.SetOutputToFile(TRUE);
        log.SetDirectory(m_folder.c_str());
        log.ReleaseHeldLines();
        Info(log, L"later|");
    }
    EXPECT_EQ("\xFF\xFE" + Utf16(L"early 1|early 2|later|"), ReadBytes(m_folder + L"\\held.log"));

    {
        qkDebugOutput log(L"unconfigured");
        log.HoldLines();
        Info(log, L"never written");
        log.SetDirectory(m_folder.c_str());
        log.ReleaseHeldLines();
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((m_folder + L"\\unconfigured.log").c_str()));
}

TEST_F(qkDebugOutputTest, LevelsAndPrefixes)
{
    const std::wstring path = m_folder + L"\\levels.log";
    {
        qkDebugOutput log(L"levels");
        log.SetDebugType(2);
        log.SetOutputToFile(TRUE);
        log.SetPrependType(TRUE);
        log.SetAppendNewLine(TRUE);
        log.SetDirectory(m_folder.c_str());
        EXPECT_FALSE(log.IsLevelEnabled(1));
        EXPECT_TRUE(log.IsLevelEnabled(2));
        Info(log, L"not written");
        Warn(log, L"w");
        Error(log, L"e");
        Write(log, 7, L"other level"); // no type part
        log.SetPrependModuleName(TRUE);
        log.SetPrependProcessId(TRUE);
        log.SetPrependType(FALSE);
        Error(log, L"all");
        log.SetDebugType(0);
        Error(log, L"nothing");
    }
    const std::wstring pid = Hex4(::GetCurrentProcessId());
    EXPECT_EQ("\xFF\xFE" + Utf16(L"Warning : w\r\nError : e\r\nother level\r\nlevels : " + pid + L" : all\r\n"),
              ReadBytes(path));
}

TEST_F(qkDebugOutputTest, ProcessIdInFileNameReopens)
{
    qkDebugOutput log(L"pidname");
    log.SetDebugType(1);
    log.SetOutputToFile(TRUE);
    log.SetDirectory(m_folder.c_str());
    Info(log, L"before");
    log.SetAppendProcessIdToFile(TRUE);
    Info(log, L"after");
    const std::wstring withPid = m_folder + L"\\pidname-" + Hex4(::GetCurrentProcessId()) + L".log";
    EXPECT_EQ(withPid, log.GetLogFilePath());
    EXPECT_EQ("\xFF\xFE" + Utf16(L"before"), ReadBytes(m_folder + L"\\pidname.log"));
    EXPECT_EQ("\xFF\xFE" + Utf16(L"after"), ReadBytes(withPid));
}

// A file planted under the log's name, as a second name of another file or as a file of another
// account, is never written through: the lines go to a file of the process's own name beside it.
TEST_F(qkDebugOutputTest, PlantedLogFileIsNotWrittenThrough)
{
    struct Case {
        const wchar_t* folder;
        const wchar_t* untouched; // what must keep its bytes
        const char* content;
    };
    const Case cases[] = {
        {L"log-linked", L"log-victim.txt", "victim\n"},
        {L"log-foreign", L"log-foreign\\planted.log", "foreign\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.folder);
        if (std::wstring(c.folder) == L"log-foreign" && !untrusted::IsForeign(untrusted::Path(c.untouched)))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        const std::wstring folder = untrusted::Path(c.folder);
        const std::wstring own = folder + L"\\planted-" + Hex4(::GetCurrentProcessId()) + L".log";
        {
            qkDebugOutput log(L"planted");
            log.SetDebugType(1);
            log.SetOutputToFile(TRUE);
            log.SetDirectory(folder.c_str());
            Info(log, L"line");
        }
        EXPECT_EQ(c.content, ReadBytes(untrusted::Path(c.untouched)));
        EXPECT_EQ("\xFF\xFE" + Utf16(L"line"), ReadBytes(own));
        ::DeleteFileW(own.c_str());
    }
}

TEST_F(qkDebugOutputTest, UnwritableFolderWritesNothingUntilFolderWorks)
{
    qkDebugOutput log(L"late");
    log.SetDebugType(1);
    log.SetOutputToFile(TRUE);
    log.SetDirectory((m_folder + L"\\missing\\deeper").c_str());
    Info(log, L"lost ");
    log.SetDirectory(m_folder.c_str());
    Info(log, L"kept");
    EXPECT_EQ("\xFF\xFE" + Utf16(L"kept"), ReadBytes(m_folder + L"\\late.log"));
}

TEST_F(qkDebugOutputTest, ForwardedLinesGoToTarget)
{
    qkDebugOutput target(L"target");
    target.SetDebugType(1);
    target.SetOutputToFile(TRUE);
    target.SetDirectory(m_folder.c_str());
    qkDebugOutput source(L"source");
    source.SetOutputToFile(TRUE);
    source.SetDirectory(m_folder.c_str());
    source.SetForwardTo(&target);
    EXPECT_TRUE(source.IsLevelEnabled(1)); // the chain's last logger decides
    Info(source, L"via %s", L"source");
    EXPECT_EQ("\xFF\xFE" + Utf16(L"via source"), ReadBytes(m_folder + L"\\target.log"));
    EXPECT_EQ("", ReadBytes(m_folder + L"\\source.log"));
}

TEST_F(qkDebugOutputTest, LinesOfThreadsDoNotInterleave)
{
    const std::wstring path = m_folder + L"\\threads.log";
    {
        qkDebugOutput log(L"threads");
        log.SetDebugType(1);
        log.SetOutputToFile(TRUE);
        log.SetAppendNewLine(TRUE);
        log.SetDirectory(m_folder.c_str());
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i) {
                    Info(log, L"thread %d line %03d %s", t, i, L"abcdefghijklmnopqrstuvwxyz");
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
    }
    const std::wstring text = FromUtf16(ReadBytes(path).substr(2));
    size_t lines = 0;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(L"\r\n", start);
        ASSERT_NE(std::wstring::npos, end);
        const std::wstring line = text.substr(start, end - start);
        EXPECT_EQ(0u, line.find(L"thread ")) << line;
        EXPECT_EQ(line.size() - 26, line.find(L"abcdefghijklmnopqrstuvwxyz")) << line;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(800u, lines);
}

TEST(qkDebugOutput, DefaultNamesComeFromTheProgram)
{
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring expected = program;
    expected = expected.substr(0, expected.rfind(L'.')) + L".log";
    ::DeleteFileW(expected.c_str());
    {
        qkDebugOutput log(L"");
        log.SetDebugType(1);
        log.SetOutputToFile(TRUE);
        EXPECT_EQ(L"common_base_tests", log.GetModuleName());
        EXPECT_EQ(expected, log.GetLogFilePath());
        Info(log, L"beside the program");
    }
    EXPECT_EQ("\xFF\xFE" + Utf16(L"beside the program"), ReadBytes(expected));
    ::DeleteFileW(expected.c_str());
}

} // namespace
