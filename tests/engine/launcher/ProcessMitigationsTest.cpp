#include "engine/launcher/VekProcessMitigations.h"

#include "LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A scripted system: every call is recorded; the DEP answers come from the fields.
struct FakeSystem {
    static inline std::vector<std::wstring> calls;
    static inline DEP_SYSTEM_POLICY_TYPE systemPolicy = DEPPolicyOptIn;
    static inline BOOL mitigationAnswer = TRUE;
    static inline DWORD mitigationError = 0;
    static inline BOOL depAnswer = TRUE;
    static inline DWORD depError = 0;

    static BOOL WINAPI SetDefaultDllDirectories(DWORD flags)
    {
        calls.push_back(L"SetDefaultDllDirectories " + std::to_wstring(flags));
        return TRUE;
    }
    static BOOL WINAPI SetDllDirectoryW(LPCWSTR path)
    {
        calls.push_back(L"SetDllDirectoryW [" + std::wstring(path != nullptr ? path : L"(null)") + L"]");
        return TRUE;
    }
    static BOOL WINAPI SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID data, SIZE_T size)
    {
        calls.push_back(L"SetProcessMitigationPolicy " + std::to_wstring(policy) + L" " +
                        std::to_wstring(*static_cast<DWORD*>(data)) + L" " + std::to_wstring(size));
        ::SetLastError(mitigationError);
        return mitigationAnswer;
    }
    static BOOL WINAPI HeapSetInformation(HANDLE heap, HEAP_INFORMATION_CLASS kind, PVOID data, SIZE_T size)
    {
        calls.push_back(L"HeapSetInformation " + std::to_wstring(heap == nullptr) + L" " + std::to_wstring(kind) +
                        L" " + std::to_wstring(data == nullptr) + L" " + std::to_wstring(size));
        return TRUE;
    }
    static DEP_SYSTEM_POLICY_TYPE WINAPI GetSystemDEPPolicy()
    {
        calls.push_back(L"GetSystemDEPPolicy");
        return systemPolicy;
    }
    static BOOL WINAPI SetProcessDEPPolicy(DWORD flags)
    {
        calls.push_back(L"SetProcessDEPPolicy " + std::to_wstring(flags));
        ::SetLastError(depError);
        return depAnswer;
    }

    static vek::MitigationApi Api()
    {
        calls.clear();
        vek::MitigationApi api;
        api.SetDefaultDllDirectories = &SetDefaultDllDirectories;
        api.SetDllDirectoryW = &SetDllDirectoryW;
        api.SetProcessMitigationPolicy = &SetProcessMitigationPolicy;
        api.HeapSetInformation = &HeapSetInformation;
        api.GetSystemDEPPolicy = &GetSystemDEPPolicy;
        api.SetProcessDEPPolicy = &SetProcessDEPPolicy;
        return api;
    }
};

std::vector<std::wstring> Names(const std::vector<SecurityResult>& results)
{
    std::vector<std::wstring> names;
    for (const SecurityResult& result : results) {
        names.push_back(result.name);
    }
    return names;
}

TEST(ProcessMitigations, StepsRunInOrderWithTheirArguments)
{
    FakeSystem::systemPolicy = DEPPolicyOptIn;
    FakeSystem::mitigationAnswer = TRUE;
    FakeSystem::depAnswer = TRUE;
    std::vector<SecurityResult> results;
    vek::ApplyProcessMitigations(FakeSystem::Api(), results);
    EXPECT_EQ(FakeSystem::calls,
              (std::vector<std::wstring>{L"SetDefaultDllDirectories 2048", L"SetDllDirectoryW []",
                                         L"SetProcessMitigationPolicy 6 1 4", L"HeapSetInformation 1 1 1 0",
                                         L"GetSystemDEPPolicy", L"SetProcessDEPPolicy 1"}));
    EXPECT_EQ(Names(results),
              (std::vector<std::wstring>{L"SetDefaultDLLDirectories", L"SetDllDirectory", L"SetProcessMitigationPolicy",
                                         L"HeapSetInformation", L"GetSystemDEPPolicy", L"SetProcessDEPPolicy"}));
    for (const SecurityResult& result : results) {
        EXPECT_TRUE(result.available && result.needed) << result.name;
        EXPECT_EQ(result.result, S_OK) << result.name;
    }
    EXPECT_EQ(results[4].message, L"System DEP Policy was set to Opt In.");
}

TEST(ProcessMitigations, DepPolicyBranches)
{
    struct Case {
        int systemPolicy;
        BOOL depAnswer;
        DWORD depError;
        HRESULT policyResult;
        const wchar_t* policyMessage;
        // Empty: no SetProcessDEPPolicy record.
        const wchar_t* depMessage;
        HRESULT depResult;
    };
    const Case cases[] = {
        {0, TRUE, 0, S_OK, L"System DEP Policy was set to Always Off.", nullptr, S_OK},
        {1, TRUE, 0, S_OK, L"System DEP Policy was set to Always On.", nullptr, S_OK},
        {3, TRUE, 0, S_OK, L"System DEP Policy was set to Opt Out.", nullptr, S_OK},
        {7, TRUE, 0, E_UNEXPECTED, L"GetSystemDEPPolicy returned an unexpected result", nullptr, S_OK},
        {2, FALSE, ERROR_NOT_SUPPORTED, S_OK, L"System DEP Policy was set to Opt In.",
         L"Not an error on x64 systems -- SetProcessDEPPolicy not supported", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
        {2, FALSE, ERROR_ACCESS_DENIED, S_OK, L"System DEP Policy was set to Opt In.",
         L"Not an error if we were not run elevated", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {2, FALSE, ERROR_INVALID_PARAMETER, S_OK, L"System DEP Policy was set to Opt In.", L"",
         HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)},
        // A failure without an error code is still a failure.
        {2, FALSE, 0, S_OK, L"System DEP Policy was set to Opt In.", L"", E_FAIL},
    };
    for (const Case& c : cases) {
        FakeSystem::systemPolicy = static_cast<DEP_SYSTEM_POLICY_TYPE>(c.systemPolicy);
        FakeSystem::depAnswer = c.depAnswer;
        FakeSystem::depError = c.depError;
        std::vector<SecurityResult> results;
        vek::ApplyProcessMitigations(FakeSystem::Api(), results);
        ASSERT_EQ(results.size(), c.depMessage != nullptr ? 6u : 5u) << c.systemPolicy;
        EXPECT_EQ(results[4].result, c.policyResult) << c.systemPolicy;
        EXPECT_EQ(results[4].message, c.policyMessage) << c.systemPolicy;
        if (c.depMessage != nullptr) {
            EXPECT_EQ(results[5].result, c.depResult) << c.depError;
            EXPECT_EQ(results[5].message, c.depMessage) << c.depError;
        }
    }
}

TEST(ProcessMitigations, MissingFunctionsAndFailedCalls)
{
    vek::MitigationApi api = FakeSystem::Api();
    api.SetDefaultDllDirectories = nullptr;
    api.SetProcessDEPPolicy = nullptr;
    FakeSystem::systemPolicy = DEPPolicyOptIn;
    // Only exactly 1 counts as success.
    FakeSystem::mitigationAnswer = 2;
    FakeSystem::mitigationError = ERROR_INVALID_PARAMETER;
    std::vector<SecurityResult> results;
    vek::ApplyProcessMitigations(api, results);
    ASSERT_EQ(results.size(), 6u);
    EXPECT_FALSE(results[0].available);
    EXPECT_TRUE(results[0].needed);
    EXPECT_EQ(results[2].result, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(results[5].name, L"SetProcessDEPPolicy");
    EXPECT_FALSE(results[5].available);

    api.GetSystemDEPPolicy = nullptr;
    FakeSystem::mitigationAnswer = FALSE;
    FakeSystem::mitigationError = 0;
    results.clear();
    vek::ApplyProcessMitigations(api, results);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[2].result, E_FAIL);
    EXPECT_EQ(results[4].name, L"GetSystemDEPPolicy");
    EXPECT_FALSE(results[4].available);
    FakeSystem::mitigationAnswer = TRUE;
}

TEST(ProcessMitigations, LogResultLines)
{
    struct Case {
        SecurityResult result;
        const wchar_t* line;
    };
    const Case cases[] = {
        {{L"A", true, false, S_OK, L""},
         L"Information : SecurityResult::LogResult(%) : Mitigation A wasn't needed on this machine"},
        {{L"B", false, true, S_OK, L""},
         L"Information : SecurityResult::LogResult(%) : Mitigation B was needed on this machine but was unavailable"},
        {{L"C", true, true, S_OK, L"fine"},
         L"Information : SecurityResult::LogResult(%) : Mitigation C was successfully applied -- fine"},
        {{L"D", true, true, HRESULT_FROM_WIN32(50),
          L"Not an error on x64 systems -- SetProcessDEPPolicy not supported"},
         L"Error : SecurityResult::LogResult(%) : Mitigation D failed - hr=0x80070032  - Not an error on x64 systems "
         L"-- "
         L"SetProcessDEPPolicy not supported"},
    };
    for (const Case& c : cases) {
        launchertest::LogCapture log;
        c.result.LogResult();
        ASSERT_EQ(log.Lines().size(), 1u);
        const std::wstring expected = c.line;
        const size_t mark = expected.find(L'%');
        const std::wstring& line = log.Lines()[0];
        EXPECT_EQ(line.substr(0, mark), expected.substr(0, mark)) << line;
        const size_t close = line.find(L')', mark);
        ASSERT_NE(close, std::wstring::npos) << line;
        EXPECT_EQ(line.substr(close), expected.substr(mark + 1)) << line;
    }
}

std::wstring ReadUtf16File(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

// The test program hardens itself before anything else and logs the records once its log is
// open; the log shows every step in order.
TEST(ProcessMitigations, ProgramHardensFirstAndLogsInOrder)
{
    launchertest::ScratchFolder folder(L"hardening");
    std::string output;
    ASSERT_EQ(launchertest::RunProgram(launchertest::ProgramPath(L"launcher_hardening_probe.exe"),
                                       L"\"" + folder.Path().wstring() + L"\"", output),
              0)
        << output;
    std::filesystem::path logFile;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        logFile = entry.path();
    }
    ASSERT_FALSE(logFile.empty());
    const std::wstring text = ReadUtf16File(logFile);

    std::vector<std::wstring> expected = {L"Information : SecurityResult::LogResult(",
                                          L"Mitigation SetDefaultDLLDirectories was successfully applied -- \r\n",
                                          L"Mitigation SetDllDirectory was successfully applied -- \r\n",
                                          L"Mitigation SetProcessMitigationPolicy was successfully applied -- \r\n",
                                          L"Mitigation HeapSetInformation was successfully applied -- \r\n"};
    // The DEP lines depend on the system's policy, which this process can read too.
    const DEP_SYSTEM_POLICY_TYPE policy = ::GetSystemDEPPolicy();
    const wchar_t* policyWords[] = {L"Always Off", L"Always On", L"Opt In", L"Opt Out"};
    ASSERT_LT(static_cast<int>(policy), 4);
    expected.push_back(
        std::wstring(L"Mitigation GetSystemDEPPolicy was successfully applied -- System DEP Policy was set to ") +
        policyWords[policy] + L".\r\n");
    if (policy == DEPPolicyOptIn) {
        expected.push_back(L"Mitigation SetProcessDEPPolicy ");
    } else {
        EXPECT_EQ(text.find(L"SetProcessDEPPolicy"), std::wstring::npos) << text;
    }
    size_t at = 0;
    for (const std::wstring& part : expected) {
        const size_t found = text.find(part, at);
        ASSERT_NE(found, std::wstring::npos)
            << "missing or out of order: " << std::string(part.begin(), part.end()) << "\n"
            << std::string(text.begin(), text.end());
        at = found + part.size();
    }
}

// The DLL beside the programs loads by its name into this process, but not into the hardened one.
TEST(ProcessMitigations, HardenedProgramLoadsNoDllFromItsOwnFolder)
{
    HMODULE module = ::LoadLibraryW(L"launcher_fixture.dll");
    ASSERT_NE(module, nullptr) << ::GetLastError();
    ::FreeLibrary(module);

    launchertest::ScratchFolder folder(L"hardening_load");
    std::string output;
    ASSERT_EQ(launchertest::RunProgram(launchertest::ProgramPath(L"launcher_hardening_probe.exe"),
                                       L"\"" + folder.Path().wstring() + L"\" launcher_fixture.dll", output),
              0);
    EXPECT_EQ(output, "not loaded 126");
}

TEST(ProcessMitigations, LoadSystemLibraryOnlyFromTheSystemFolder)
{
    HMODULE module = vek::LoadSystemLibrary(L"version.dll");
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(module, path, MAX_PATH), 0u);
    wchar_t system[MAX_PATH];
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(::_wcsnicmp(path, system, wcslen(system)), 0) << path;
    ::FreeLibrary(module);

    EXPECT_EQ(vek::LoadSystemLibrary(L"no_such_library_here.dll"), nullptr);
    EXPECT_EQ(vek::LoadSystemLibrary(L"launcher_fixture.dll"), nullptr);
    EXPECT_EQ(vek::LoadSystemLibrary(nullptr), nullptr);
    EXPECT_EQ(vek::LoadSystemLibrary(L""), nullptr);
}

} // namespace
