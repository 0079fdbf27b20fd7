// Process inspection of a second, running process by every reading method, and of a process id
// that does not exist.
#include <gtest/gtest.h>

#include "DiagTestSupport.h"
#include "common/diag/qkPEBReader.h"
#include "common/diag/qkProcessInfoReader.h"
#include "common/system/qkHandle.h"
#include "support/CreateProcessRetrying.h"

namespace {

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

bool HasModule(const qkProcessRecord& record, const wchar_t* name)
{
    for (const auto& [base, module] : record.modules)
        if (EndsWithNoCase(module.path, name) && module.baseAddress == base && module.imageSize > 0)
            return true;
    return false;
}

// The child has this program's bitness. Whether it runs under WOW64, by the bitness of the
// program and of the system: a 32-bit process on a 64-bit system does.
bool ChildRunsUnderWow64()
{
    const struct {
        bool program64;
        bool system64;
        bool wow64;
    } table[] = {
        {true, true, false},
        {false, true, true},
        {false, false, false},
    };
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    const bool system64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                          native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ||
                          native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
    const bool program64 = sizeof(void*) == 8;
    for (const auto& row : table)
        if (row.program64 == program64 && row.system64 == system64)
            return row.wow64;
    ADD_FAILURE() << "a 64-bit program on a 32-bit system";
    return false;
}

class ProcessInfoReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::wstring command = L"\"" + diagtest::ProgramFolder() + L"\\diag_crasher.exe\" sleep";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        // Without a console of its own: no console host outlives it holding the test's output.
        ASSERT_TRUE(vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, DETACHED_PROCESS, nullptr,
                                                     &startup, &started));
        s_process = started.hProcess;
        CloseHandle(started.hThread);
        s_processId = started.dwProcessId;
        // The loader has run once the process waits for input or sleeps.
        WaitForInputIdle(s_process, 5000);
        for (int i = 0; i < 100; ++i) {
            qkProcessInfoReader reader;
            qkProcessRecord record;
            if (reader.Load() && reader.GetProcessInfo(s_processId, record) && record.modules.size() > 2)
                break;
            Sleep(50);
        }
    }
    static void TearDownTestSuite()
    {
        TerminateProcess(s_process, 0);
        WaitForSingleObject(s_process, 10000);
        CloseHandle(s_process);
    }
    static HANDLE s_process;
    static DWORD s_processId;
};
HANDLE ProcessInfoReaderTest::s_process = nullptr;
DWORD ProcessInfoReaderTest::s_processId = 0;

TEST_F(ProcessInfoReaderTest, EveryMethodReadsTheRunningChild)
{
    qkProcessInfoReader reader;
    ASSERT_TRUE(reader.Load());
    EXPECT_TRUE(reader.IsProcessStatusComplete());
    EXPECT_TRUE(reader.IsToolHelpComplete());
    struct Case {
        DWORD method;
        bool modules;
    } cases[] = {
        {qkProcessInfoReader::MethodAutomatic, true},
        {qkProcessInfoReader::MethodToolHelp, true},
        {qkProcessInfoReader::MethodProcessStatus, true},
        {qkProcessInfoReader::MethodNative, false},
    };
    for (const Case& c : cases) {
        reader.SetMethod(c.method);
        qkProcessRecord record;
        ASSERT_TRUE(reader.GetProcessInfo(s_processId, record)) << "method " << c.method;
        EXPECT_EQ(s_processId, record.processId);
        EXPECT_TRUE(EndsWithNoCase(record.path, L"\\diag_crasher.exe")) << c.method;
        EXPECT_EQ(GetCurrentProcessId(), record.parentProcessId) << c.method;
        EXPECT_EQ(ChildRunsUnderWow64(), record.wow64 != FALSE) << c.method;
        if (c.modules) {
            EXPECT_TRUE(HasModule(record, L"\\ntdll.dll")) << c.method;
            EXPECT_TRUE(HasModule(record, L"\\kernel32.dll")) << c.method;
            EXPECT_NE(0u, record.baseAddress) << c.method;
        } else {
            EXPECT_TRUE(record.modules.empty());
        }
    }
}

TEST_F(ProcessInfoReaderTest, TheEnvironmentBlockListsTheSameModules)
{
    qkPEBReader peb;
    ASSERT_EQ(S_OK, peb.Open(s_processId));
    std::map<ULONGLONG, qkModuleRecord> modules;
    ASSERT_EQ(S_OK, peb.ReadModules(modules));
    qkProcessRecord record;
    record.modules = modules;
    EXPECT_TRUE(HasModule(record, L"\\diag_crasher.exe"));
    EXPECT_TRUE(HasModule(record, L"\\ntdll.dll"));
}

TEST_F(ProcessInfoReaderTest, AProcessThatDoesNotExist)
{
    // Process ids are multiples of four: this one never names a process.
    const DWORD missing = 0xFFFFFFF1;
    qkProcessInfoReader reader;
    ASSERT_TRUE(reader.Load());
    for (DWORD method = 0; method <= 3; ++method) {
        reader.SetMethod(method);
        qkProcessRecord record;
        EXPECT_FALSE(reader.GetProcessInfo(missing, record)) << method;
        EXPECT_TRUE(record.path.empty()) << method;
    }
    reader.SetMethod(7);
    qkProcessRecord record;
    EXPECT_FALSE(reader.GetProcessInfo(s_processId, record)) << "unknown method";
    qkPEBReader peb;
    EXPECT_EQ(E_FAIL, peb.Open(missing));
}

} // namespace
