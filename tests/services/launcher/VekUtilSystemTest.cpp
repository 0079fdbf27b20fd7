// Launcher utilities that reach into the system: the log folder, the shell's "open" verb and the
// repair of the trust services (on DLLs of the test's own: the system's must stay registered for
// the tests that run beside this one).
#include "services/launcher/VekRepairTrustSystem.h"
#include "services/launcher/VekUtil.h"

#include "common/errors/qkConfiguredDebugOutput.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring CommonAppData()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// What the log configuration was asked to do.
struct ConfigureCall {
    std::wstring folder, baseName;
};
std::vector<ConfigureCall> g_configured;
BOOL g_configureAnswer = TRUE;

BOOL RecordConfigure(qkConfiguredDebugOutput&, const wchar_t* folder, const wchar_t* baseName)
{
    g_configured.push_back({folder, baseName ? baseName : L""});
    return g_configureAnswer;
}

class InitLogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_relative = L"VekTest\\initlog_" + std::to_wstring(GetCurrentProcessId());
        m_root = CommonAppData() + L"\\" + m_relative;
        g_configured.clear();
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
        RemoveDirectoryW((CommonAppData() + L"\\VekTest").c_str()); // only when no other test uses it
    }
    std::wstring m_relative;
    std::wstring m_root;
    qkConfiguredDebugOutput m_logger{L"InitLogFileTest"};
};

TEST_F(InitLogFileTest, MakesTheFolderWithItsParentsThenConfiguresTheLog)
{
    const std::wstring folder = m_relative + L"\\a\\b";
    ASSERT_EQ(GetFileAttributesW(m_root.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(vek::InitLogFile(m_logger, L"VekLauncher", folder.c_str(), &RecordConfigure), S_OK);
    EXPECT_NE(GetFileAttributesW((m_root + L"\\a\\b").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    ASSERT_EQ(g_configured.size(), 1u);
    EXPECT_EQ(g_configured[0].folder, m_root + L"\\a\\b");
    EXPECT_EQ(g_configured[0].baseName, L"VekLauncher");

    // An existing folder is used as it is; the configuration's own failure is not the caller's.
    g_configureAnswer = FALSE;
    EXPECT_EQ(vek::InitLogFile(m_logger, L"Second", folder.c_str(), &RecordConfigure), S_OK);
    g_configureAnswer = TRUE;
    ASSERT_EQ(g_configured.size(), 2u);
    EXPECT_EQ(g_configured[1].baseName, L"Second");
}

TEST_F(InitLogFileTest, FolderThatCannotBeMadeOpensNoLog)
{
    // A file stands where a parent folder would have to be.
    ASSERT_TRUE(std::filesystem::create_directories(m_root));
    std::ofstream(std::filesystem::path(m_root + L"\\blocker")) << "x";
    const std::wstring folder = m_relative + L"\\blocker\\sub";
    const HRESULT hr = vek::InitLogFile(m_logger, L"VekLauncher", folder.c_str(), &RecordConfigure);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_TRUE(g_configured.empty());
}

// A log folder that is a link (another user could have made it so) gets no log: the log is never
// configured there. One of another account is used: the logger checks the file it opens there.
TEST_F(InitLogFileTest, FolderBehindALinkOpensNoLogOneOfAnotherAccountDoes)
{
    const struct {
        const wchar_t* folder;
        HRESULT result;
    } cases[] = {
        {L"linked", HRESULT_FROM_WIN32(4395)}, // ERROR_REPARSE_POINT_ENCOUNTERED
        {L"foreign", S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.folder).string());
        if (c.result == S_OK && !untrusted::IsForeign(untrusted::Path(c.folder)))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        g_configured.clear();
        // The planted folders lie in ProgramData, as this test folder's CMakeLists.txt puts them.
        const std::wstring folder = std::wstring(L"VekTestUntrusted\\") + c.folder;
        EXPECT_EQ(vek::InitLogFile(m_logger, L"VekLauncher", folder.c_str(), &RecordConfigure), c.result);
        EXPECT_EQ(g_configured.size(), c.result == S_OK ? 1u : 0u);
    }
}

TEST(LaunchDefaultBrowser, ResultsOfTheShell)
{
    EXPECT_EQ(LaunchDefaultBrowser(nullptr), E_INVALIDARG);
    // Nothing there, and a file of a type nothing opens.
    EXPECT_EQ(LaunchDefaultBrowser(BinDir() + L"no-such-page.html"), E_FAIL);
    const std::wstring unknown = BinDir() + L"launch_" + std::to_wstring(GetCurrentProcessId()) + L".vekzz";
    std::ofstream(std::filesystem::path(unknown)) << "x";
    EXPECT_EQ(LaunchDefaultBrowser(unknown.c_str()), E_FAIL);
    DeleteFileW(unknown.c_str());
    // A program that ends at once opens fine.
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(LaunchDefaultBrowser(std::wstring(system) + L"\\hostname.exe"), S_OK);
}

class RepairTrustSystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log = BinDir() + L"repair_" + std::to_wstring(GetCurrentProcessId()) + L".log";
        DeleteFileW(m_log.c_str());
        SetEnvironmentVariableW(L"VEK_REPAIR_LOG", m_log.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"VEK_REPAIR_LOG", nullptr);
        DeleteFileW(m_log.c_str());
    }
    // A plan over the test's DLLs beside the executable and a service that does not exist.
    static vek::TrustRepairPlan Plan(std::vector<std::wstring> dlls)
    {
        vek::TrustRepairPlan plan;
        plan.dlls = std::move(dlls);
        plan.load = [](const wchar_t* name) { return LoadLibraryW((BinDir() + name).c_str()); };
        plan.serviceName = L"VekNoSuchService";
        plan.ensureAppDataAccess = false;
        return plan;
    }
    std::vector<std::string> Calls() const
    {
        std::ifstream in{std::filesystem::path(m_log)};
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::wstring m_log;
};

TEST_F(RepairTrustSystemTest, UnregistersEveryDllThenRegistersThemInOrder)
{
    EXPECT_TRUE(vek::RepairTrustSystem(Plan({L"repair_first.dll", L"repair_second.dll"})));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"repair_first.dll unregister", "repair_second.dll unregister",
                                                 "repair_first.dll register", "repair_second.dll register"}));
}

TEST_F(RepairTrustSystemTest, AFailedRegistrationFailsTheRepairButNotTheOthers)
{
    // A DLL that cannot be loaded and one without the exports are passed over.
    EXPECT_FALSE(vek::RepairTrustSystem(
        Plan({L"repair_fails.dll", L"repair_missing.dll", L"repair_plain.dll", L"repair_first.dll"})));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"repair_fails.dll unregister", "repair_first.dll unregister",
                                                 "repair_fails.dll register", "repair_first.dll register"}));
    EXPECT_EQ(GetModuleHandleW((BinDir() + L"repair_fails.dll").c_str()), nullptr) << "each DLL is freed again";
}

// The service part on a service of Wine's that nothing else here uses, in a process of its own:
// a running service is stopped and started again (a new process), a stopped one is started.
class ServiceState {
public:
    explicit ServiceState(const wchar_t* name)
        : m_manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          m_service(m_manager ? OpenServiceW(m_manager, name, SERVICE_ALL_ACCESS) : nullptr)
    {}
    ~ServiceState()
    {
        if (m_service)
            CloseServiceHandle(m_service);
        if (m_manager)
            CloseServiceHandle(m_manager);
    }
    ServiceState(const ServiceState&) = delete;
    ServiceState& operator=(const ServiceState&) = delete;

    bool Exists() const { return m_service != nullptr; }
    SERVICE_STATUS_PROCESS Query() const
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD size = 0;
        QueryServiceStatusEx(m_service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &size);
        return status;
    }
    // Waits (bounded) until the service settles in the state.
    bool Settle(DWORD state) const
    {
        for (int i = 0; i < 200; ++i) {
            if (Query().dwCurrentState == state)
                return true;
            Sleep(50);
        }
        return false;
    }
    bool Start() const
    {
        return StartServiceW(m_service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    }
    bool Stop() const
    {
        SERVICE_STATUS status = {};
        return ControlService(m_service, SERVICE_CONTROL_STOP, &status) || GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }

private:
    SC_HANDLE m_manager;
    SC_HANDLE m_service;
};

TEST_F(RepairTrustSystemTest, StopsARunningServiceAndStartsItAgain)
{
    const wchar_t* name = L"wuauserv";
    ServiceState service(name);
    if (!service.Exists())
        GTEST_SKIP() << "no service " << GetLastError();
    vek::TrustRepairPlan plan = Plan({L"repair_first.dll"});
    plan.serviceName = name;

    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.Settle(SERVICE_RUNNING));
    const DWORD before = service.Query().dwProcessId;
    EXPECT_TRUE(vek::RepairTrustSystem(plan));
    EXPECT_TRUE(service.Settle(SERVICE_RUNNING));
    EXPECT_NE(service.Query().dwProcessId, before) << "the service was not stopped in between";

    ASSERT_TRUE(service.Stop());
    ASSERT_TRUE(service.Settle(SERVICE_STOPPED));
    EXPECT_TRUE(vek::RepairTrustSystem(plan));
    EXPECT_TRUE(service.Settle(SERVICE_RUNNING)) << "a stopped service is started";

    service.Stop();
    service.Settle(SERVICE_STOPPED);
}

} // namespace
