// Tasks registered, updated and deleted in Wine's task folder; the schedule of postponed runs
// over a set clock; the copy of the launcher that the tasks run. Wine's Task Scheduler stores
// tasks and their actions but refuses triggers, logon type and run level (E_NOTIMPL): the tests
// show what it stores and what it refuses.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "services/session/LogCapture.h"
#include "services/tasks/CTaskScheduler.h"
#include "support/UntrustedFolders.h"

using Microsoft::WRL::ComPtr;
using vek::CTaskScheduler;

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

class FixedClock : public vek::CClock {
public:
    explicit FixedClock(std::int64_t now) : m_now(now) {}
    std::int64_t Now() override { return m_now; }

private:
    std::int64_t m_now;
};

// Local time of a day in January 2030 (no daylight-saving change near it): the 1st is a Tuesday.
std::int64_t Local(int day, int hour, int minute, int second = 0)
{
    std::tm t{};
    t.tm_year = 130;
    t.tm_mon = 0;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&t));
}

std::wstring TempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
}

std::wstring FromUnix(const char* variable, const wchar_t* relative)
{
    const char* dir = std::getenv(variable);
    std::wstring path = L"Z:";
    for (char c : std::string(dir ? dir : ""))
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path + L"\\" + relative;
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring child = path + L"\\" + entry.cFileName;
            if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0)
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

// Reads the root task folder as the scheduler's own client would.
class TaskFolder {
public:
    TaskFolder()
    {
        CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_ALL, IID_ITaskService,
                         reinterpret_cast<void**>(m_service.GetAddressOf()));
        VARIANT empty;
        VariantInit(&empty);
        if (m_service && SUCCEEDED(m_service->Connect(empty, empty, empty, empty))) {
            BSTR root = SysAllocString(L"\\");
            m_service->GetFolder(root, m_root.GetAddressOf());
            SysFreeString(root);
        }
    }
    ComPtr<IRegisteredTask> Get(const wchar_t* name)
    {
        ComPtr<IRegisteredTask> task;
        BSTR n = SysAllocString(name);
        if (m_root)
            m_root->GetTask(n, task.GetAddressOf());
        SysFreeString(n);
        return task;
    }
    bool Exists(const wchar_t* name) { return Get(name) != nullptr; }
    std::wstring Xml(const wchar_t* name)
    {
        ComPtr<IRegisteredTask> task = Get(name);
        BSTR xml = nullptr;
        if (task)
            task->get_Xml(&xml);
        std::wstring text = xml ? xml : L"";
        SysFreeString(xml);
        return text;
    }
    // The first action's program and arguments.
    bool Action(const wchar_t* name, std::wstring& path, std::wstring& arguments)
    {
        ComPtr<IRegisteredTask> task = Get(name);
        ComPtr<ITaskDefinition> definition;
        ComPtr<IActionCollection> actions;
        ComPtr<IAction> action;
        ComPtr<IExecAction> exec;
        if (!task || FAILED(task->get_Definition(definition.GetAddressOf())) ||
            FAILED(definition->get_Actions(actions.GetAddressOf())) ||
            FAILED(actions->get_Item(1, action.GetAddressOf())) || FAILED(action.As(&exec)))
            return false;
        BSTR p = nullptr, a = nullptr;
        exec->get_Path(&p);
        exec->get_Arguments(&a);
        path = p ? p : L"";
        arguments = a ? a : L"";
        SysFreeString(p);
        SysFreeString(a);
        return true;
    }
    // A plain task of that name running the given program.
    bool Add(const wchar_t* name, const wchar_t* program)
    {
        ComPtr<ITaskDefinition> definition;
        ComPtr<IActionCollection> actions;
        ComPtr<IAction> action;
        ComPtr<IExecAction> exec;
        if (!m_service || FAILED(m_service->NewTask(0, definition.GetAddressOf())) ||
            FAILED(definition->get_Actions(actions.GetAddressOf())) ||
            FAILED(actions->Create(TASK_ACTION_EXEC, action.GetAddressOf())) || FAILED(action.As(&exec)))
            return false;
        BSTR p = SysAllocString(program), n = SysAllocString(name);
        exec->put_Path(p);
        VARIANT empty;
        VariantInit(&empty);
        ComPtr<IRegisteredTask> registered;
        const HRESULT hr = m_root->RegisterTaskDefinition(n, definition.Get(), TASK_CREATE_OR_UPDATE, empty, empty,
                                                          TASK_LOGON_NONE, empty, registered.GetAddressOf());
        SysFreeString(p);
        SysFreeString(n);
        return SUCCEEDED(hr);
    }
    void Remove(const wchar_t* name)
    {
        BSTR n = SysAllocString(name);
        if (m_root)
            m_root->DeleteTask(n, 0);
        SysFreeString(n);
    }

private:
    ComPtr<ITaskService> m_service;
    ComPtr<ITaskFolder> m_root;
};

// The task's program and arguments where the scheduler stores them. Wine's writes every action
// as an empty "<Exec/>", so there only the task itself can be seen.
void ExpectAction(TaskFolder& folder, const wchar_t* name, const std::wstring& path, const std::wstring& arguments)
{
    ASSERT_TRUE(folder.Exists(name));
    std::wstring storedPath, storedArguments;
    if (!folder.Action(name, storedPath, storedArguments)) {
        EXPECT_NE(folder.Xml(name).find(L"<Exec/>"), std::wstring::npos);
        std::printf("the scheduler stored no action for %ls\n", name);
        return;
    }
    EXPECT_EQ(storedPath, path);
    EXPECT_EQ(storedArguments, arguments);
}

class TaskSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        m_data = TempFolder(L"vek-tasks-");
        CreateDirectoryW(m_data.c_str(), nullptr);
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        m_launcher = self;
    }
    void TearDown() override
    {
        TaskFolder folder;
        folder.Remove(CTaskScheduler::kLauncherTask);
        folder.Remove(CTaskScheduler::kInstallationTask);
        RemoveTree(m_data);
        CoUninitialize();
    }
    std::unique_ptr<CTaskScheduler> Scheduler(std::int64_t now = 0)
    {
        auto scheduler = std::make_unique<CTaskScheduler>(now ? std::make_shared<FixedClock>(now) : nullptr);
        scheduler->SetCommonDataFolder(m_data);
        return scheduler;
    }
    std::wstring Copy() const { return m_data + L"\\Talvern\\Vek\\bin\\services_tasks_tests.exe"; }

    std::wstring m_data;
    std::wstring m_launcher;
};

} // namespace

TEST(TaskScheduleTest, PostponedStart)
{
    struct Case {
        int kind;
        std::int64_t now;
        std::int64_t start;
    } cases[] = {
        {CTaskScheduler::InBusinessHours, Local(4, 18, 30), Local(7, 8, 30)},          // Friday evening -> Monday
        {CTaskScheduler::InBusinessHours, Local(9, 17, 59), Local(9, 17, 59)},         // still in hours: now
        {CTaskScheduler::InBusinessHours, Local(12, 9, 0), Local(14, 8, 0)},           // Saturday -> Monday
        {CTaskScheduler::OutsideBusinessHours, Local(8, 10, 15, 40), Local(8, 18, 0)}, // Tuesday 10:15 -> 18:00:00
        {CTaskScheduler::OutsideBusinessHours, Local(8, 7, 59), Local(8, 7, 59)},
        {CTaskScheduler::AtTheWeekend, Local(9, 14, 20), Local(12, 1, 0)},  // Wednesday -> Saturday 01:00
        {CTaskScheduler::AtTheWeekend, Local(13, 23, 0), Local(13, 23, 0)}, // Sunday: now
        {7, Local(9, 3, 0), Local(9, 3, 0)},                                // unknown kind: now
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CTaskScheduler::PostponedStart(c.kind, c.now), c.start) << c.kind << " at " << c.now;
    }
}

TEST(TaskScheduleTest, LauncherArguments)
{
    struct Case {
        const wchar_t* switches;
        const wchar_t* arguments;
    } cases[] = {
        {L"", L" /EXECUTED_BY_WTS /FORCE_INSTALL"},
        {nullptr, L" /EXECUTED_BY_WTS /FORCE_INSTALL"},
        {L"/SILENT", L"/SILENT /EXECUTED_BY_WTS /FORCE_INSTALL"},
        {L"/silent /force_install", L"/silent /force_install /EXECUTED_BY_WTS"},
        {L"-Force_Install /X", L"-Force_Install /X /EXECUTED_BY_WTS"},
        {L"/NO_FORCE_INSTALL", L"/NO_FORCE_INSTALL /EXECUTED_BY_WTS /FORCE_INSTALL"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CTaskScheduler::LauncherArguments(c.switches), c.arguments);
}

TEST_F(TaskSchedulerTest, StartupTaskRegisteredUpdatedAndDeleted)
{
    TaskFolder folder;
    vek::test::LogCapture log;
    {
        auto scheduler = Scheduler();
        std::wstring copy;
        ASSERT_EQ(scheduler->RegisterStartupTask(m_launcher.c_str(), L"/SILENT", copy), S_OK) << Narrow(log.All());
        EXPECT_EQ(copy, Copy());
        EXPECT_EQ(GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    ExpectAction(folder, CTaskScheduler::kLauncherTask, Copy(), L"/SILENT /EXECUTED_BY_WTS /FORCE_INSTALL");
    // What every scheduler keeps of the definition.
    const std::wstring xml = folder.Xml(CTaskScheduler::kLauncherTask);
    for (const wchar_t* part : {L"<Author>Talvern</Author>", L"<StartWhenAvailable>true</StartWhenAvailable>",
                                L"<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>",
                                L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"}) {
        EXPECT_NE(xml.find(part), std::wstring::npos) << Narrow(part);
    }

    // Registered again: the task is updated in place.
    {
        auto scheduler = Scheduler();
        std::wstring copy;
        ASSERT_EQ(scheduler->RegisterStartupTask(m_launcher.c_str(), L"/UPGRADE_CONFIRMED /FORCE_INSTALL", copy), S_OK);
    }
    ExpectAction(folder, CTaskScheduler::kLauncherTask, Copy(), L"/UPGRADE_CONFIRMED /FORCE_INSTALL /EXECUTED_BY_WTS");
    EXPECT_FALSE(log.Contains(L"Unable to register"));

    // What Wine refuses of the definition is logged and the task registered all the same.
    if (log.Contains(L"Unable to create task boot trigger")) {
        EXPECT_NE(folder.Xml(CTaskScheduler::kLauncherTask).find(L"<Triggers/>"), std::wstring::npos);
    }

    log.Clear();
    auto scheduler = Scheduler();
    scheduler->DeleteTask(nullptr);
    EXPECT_FALSE(folder.Exists(CTaskScheduler::kLauncherTask));
    scheduler->DeleteTask(nullptr); // a missing task is no failure and logs nothing
    EXPECT_FALSE(log.Contains(L"Unable delete task"));
}

TEST_F(TaskSchedulerTest, StartupTriggersFollowTheSwitches)
{
    // Wine refuses every trigger, so the choice shows in which creation is tried first: a boot
    // trigger whose failure ends the triggers, or a logon trigger alone.
    struct Case {
        const wchar_t* switches;
        bool boot;
    } cases[] = {
        {L"/SILENT", true},
        {L"/DISABLE_AUTOMATIC_UPGRADE", false},
        {L"/DISABLE_AUTOMATIC_UPGRADE /UPGRADE_CONFIRMED", true},
    };
    for (const Case& c : cases) {
        vek::test::LogCapture log;
        auto scheduler = Scheduler();
        std::wstring copy;
        ASSERT_EQ(scheduler->RegisterStartupTask(m_launcher.c_str(), c.switches, copy), S_OK);
        if (!log.Contains(L"E_NOTIMPL") && !log.Contains(L"(0x80004001)")) {
            GTEST_SKIP() << "this scheduler accepts triggers";
        }
        EXPECT_EQ(log.Contains(L"Unable to create task boot trigger (0x80004001)"), c.boot) << Narrow(c.switches);
        EXPECT_EQ(log.Contains(L"Unable to create task logon trigger (0x80004001)"), !c.boot) << Narrow(c.switches);
    }
}

TEST_F(TaskSchedulerTest, PostponedTask)
{
    TaskFolder folder;
    {
        // Wednesday afternoon, weekend asked: a one-time task.
        auto scheduler = Scheduler(Local(9, 14, 20));
        bool runNow = true;
        EXPECT_EQ(scheduler->RegisterPostponedTask(m_launcher.c_str(), L"/SCHEDULE_TO 2", 2, runNow), S_OK);
        EXPECT_FALSE(runNow);
        ExpectAction(folder, CTaskScheduler::kLauncherTask, Copy(), L"/SCHEDULE_TO 2 /EXECUTED_BY_WTS /FORCE_INSTALL");
    }
    {
        // A failed registration is reported, not taken as scheduled, and the earlier task stays.
        vek::test::LogCapture log;
        auto scheduler = Scheduler(Local(9, 14, 20));
        bool runNow = true;
        const std::wstring missing = m_data + L"\\missing.exe";
        EXPECT_TRUE(FAILED(scheduler->RegisterPostponedTask(missing.c_str(), L"/X", 2, runNow)));
        EXPECT_FALSE(runNow);
        EXPECT_TRUE(log.Contains(L"Unable to copy VEK to ProgramData, GetLastError : (2) "));
        EXPECT_TRUE(folder.Exists(CTaskScheduler::kLauncherTask));
    }
    {
        // Sunday, weekend asked: run now; the planned run is dropped.
        vek::test::LogCapture log;
        auto scheduler = Scheduler(Local(13, 11, 0));
        bool runNow = false;
        EXPECT_EQ(scheduler->RegisterPostponedTask(m_launcher.c_str(), L"/X", 2, runNow), S_OK);
        EXPECT_TRUE(runNow);
        EXPECT_TRUE(log.Contains(
            L"Scheduled task was not created. Specified schedule: 2 , isWeekend: true, isBusinessHours: false"));
        EXPECT_FALSE(folder.Exists(CTaskScheduler::kLauncherTask));
    }
}

TEST_F(TaskSchedulerTest, InstallationTaskAndLegacyTasks)
{
    TaskFolder folder;
    auto scheduler = Scheduler();
    ASSERT_EQ(scheduler->RegisterInstallationTask(m_launcher.c_str(), L"/INSTALL_AGENT \"C:\\x y\\pkg.appx\""), S_OK);
    ExpectAction(folder, CTaskScheduler::kInstallationTask, Copy(), L"/INSTALL_AGENT \"C:\\x y\\pkg.appx\"");
    scheduler->DeleteTask(CTaskScheduler::kInstallationTask);
    EXPECT_FALSE(folder.Exists(CTaskScheduler::kInstallationTask));

    // Earlier versions' tasks are deleted; Wine's task collection cannot be counted or walked
    // (E_NOTIMPL), so there the walk is refused and logged, and the names are checked alone.
    const wchar_t* legacy = L"Vallor Download Manager{Qor-1234}";
    ASSERT_TRUE(folder.Add(legacy, m_launcher.c_str()));
    vek::test::LogCapture log;
    scheduler->DeleteLegacyTasks();
    if (log.Contains(L"Unable to get WTS tasks (0x80004001)")) {
        EXPECT_TRUE(folder.Exists(legacy));
    } else {
        EXPECT_FALSE(folder.Exists(legacy));
        EXPECT_TRUE(log.Contains(std::wstring(L"Legacy task with name '") + legacy + L"' found, delete it"));
    }
    folder.Remove(legacy);
}

TEST(TaskScheduleTest, LegacyTaskNames)
{
    struct Case {
        const wchar_t* name;
        bool runsFromWindows;
        CTaskScheduler::TaskKind kind;
    } cases[] = {
        {L"Vallor Download Manager{Qor-1234}", false, CTaskScheduler::LegacyLauncherTask},
        {L"Vallor Download Manager{Qor-1234}", true, CTaskScheduler::LegacyLauncherTask},
        {L"vallor download manager{qor-1234}", false, CTaskScheduler::OtherTask}, // case-sensitive
        {L"QorC Push Install Task", false, CTaskScheduler::PushInstallTask},
        {L"talvern agent push install task", false, CTaskScheduler::PushInstallTask},
        {L"QorC Push Install Task", true, CTaskScheduler::OtherTask}, // kept when run from the Windows folder
        {L"QorC Push Install Task 2", false, CTaskScheduler::OtherTask},
        {L"Talvern Download Manager", false, CTaskScheduler::OtherTask},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CTaskScheduler::ClassifyTaskName(c.name, c.runsFromWindows), c.kind) << Narrow(c.name);
}

TEST_F(TaskSchedulerTest, LauncherCopyFolder)
{
    auto scheduler = Scheduler();
    std::wstring copy;
    ASSERT_TRUE(scheduler->CopyToProgramData(m_launcher.c_str(), copy));
    EXPECT_EQ(copy, Copy());
    // Copying the copy onto itself does nothing.
    std::wstring again;
    EXPECT_TRUE(scheduler->CopyToProgramData(copy.c_str(), again));
    EXPECT_EQ(again, copy);

    // The folder is made for administrators and SYSTEM only.
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW((m_data + L"\\Talvern\\Vek\\bin").c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    std::printf("copy folder access list as read back: %ls\n", text ? text : L"(none)");
    // Wine keeps no file access lists (it shows Unix mode bits): there the list reads back with
    // the user and everyone in it, which says nothing about the list that was asked for.
    const bool storesAccessLists = text && !wcsstr(text, L"S-1-5-21-0-0-0-1000");
    if (storesAccessLists) {
        const std::wstring sddl(text);
        EXPECT_NE(sddl.find(L"BA"), std::wstring::npos);
        EXPECT_NE(sddl.find(L"SY"), std::wstring::npos);
        EXPECT_EQ(sddl.find(L"WD"), std::wstring::npos);
        EXPECT_EQ(sddl.find(L"BU"), std::wstring::npos);
    }
    LocalFree(text);
    LocalFree(sd);
}

// The access list of a folder as SDDL text, empty when it cannot be read.
std::wstring AccessList(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return {};
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    std::wstring sddl = text ? text : L"";
    LocalFree(text);
    LocalFree(sd);
    return sddl;
}

// "Talvern\Vek" is the launcher's data folder: a launcher without full rights takes its lock and
// writes its log there, so the copy leaves the access of the folders above "bin" as it found it
// (or as they inherit it, when the copy makes them: as a plain folder made beside them has it).
// Wine keeps no access list that is set on an existing folder, only one given when a folder is
// made: the folders that the copy makes show what it gives them.
TEST_F(TaskSchedulerTest, LauncherCopyRestrictsOnlyItsOwnFolder)
{
    const std::wstring talvern = m_data + L"\\Talvern";
    const std::wstring vek = talvern + L"\\Vek";
    for (const bool existing : {true, false}) {
        SCOPED_TRACE(existing ? "existing folders" : "folders made by the copy");
        RemoveTree(talvern);
        if (existing) {
            ASSERT_TRUE(CreateDirectoryW(talvern.c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW(vek.c_str(), nullptr));
        }
        const std::wstring before = existing ? AccessList(vek) : L"";
        const std::wstring parentBefore = existing ? AccessList(talvern) : L"";

        auto scheduler = Scheduler();
        std::wstring copy;
        ASSERT_TRUE(scheduler->CopyToProgramData(m_launcher.c_str(), copy));
        // What a folder made there without an access list of its own inherits.
        const std::wstring plainTalvern = m_data + L"\\plain";
        const std::wstring plainVek = talvern + L"\\plain";
        ASSERT_TRUE(CreateDirectoryW(plainTalvern.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(plainVek.c_str(), nullptr));
        EXPECT_EQ(AccessList(vek), existing ? before : AccessList(plainVek));
        EXPECT_EQ(AccessList(talvern), existing ? parentBefore : AccessList(plainTalvern));
        EXPECT_FALSE(AccessList(vek).empty());
        EXPECT_EQ(AccessList(vek).rfind(L"D:P", 0), std::wstring::npos);
        std::printf("data folder access list: %ls, copy folder: %ls\n", AccessList(vek).c_str(),
                    AccessList(vek + L"\\bin").c_str());
        RemoveDirectoryW(plainTalvern.c_str());
        RemoveDirectoryW(plainVek.c_str());
    }
}

TEST_F(TaskSchedulerTest, LauncherCopyRefusesAFolderOfAnotherOwner)
{
    const std::wstring talvern = m_data + L"\\Talvern";
    ASSERT_TRUE(CreateDirectoryW(talvern.c_str(), nullptr));
    PSID users = nullptr;
    ConvertStringSidToSidW(L"S-1-5-32-545", &users);
    const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(talvern.c_str()), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION, users, nullptr, nullptr, nullptr);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    GetNamedSecurityInfoW(talvern.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &sd);
    const bool kept = set == ERROR_SUCCESS && owner && EqualSid(owner, users);
    LocalFree(sd);
    LocalFree(users);
    if (!kept) {
        // Wine keeps no owner that a program sets; it shows a folder of another Unix user as
        // another account's: such a folder of the fixture's takes its place.
        RemoveDirectoryW(talvern.c_str());
        if (!MoveFileW(untrusted::Path(L"foreign").c_str(), talvern.c_str()) || !untrusted::IsForeign(talvern))
            GTEST_SKIP() << "this system keeps no file owners (set " << set << ") and " << untrusted::kNotGivenAway;
    }

    vek::test::LogCapture log;
    auto scheduler = Scheduler();
    std::wstring copy;
    EXPECT_FALSE(scheduler->CopyToProgramData(m_launcher.c_str(), copy));
    EXPECT_TRUE(log.Contains(L"Folder " + talvern + L" is owned by another account, not using it"));
    EXPECT_EQ(GetFileAttributesW((talvern + L"\\Vek").c_str()), INVALID_FILE_ATTRIBUTES);
    // And the task that would run from there is not registered.
    EXPECT_TRUE(FAILED(scheduler->RegisterStartupTask(m_launcher.c_str(), L"", copy)));
    EXPECT_FALSE(TaskFolder().Exists(CTaskScheduler::kLauncherTask));
}

TEST_F(TaskSchedulerTest, LauncherCopyReplacesALinkWithoutFollowingIt)
{
    const std::wstring victim = FromUnix("VEK_TASKS_COPY_LINK", L"victim\\victim.exe");
    const std::wstring data = FromUnix("VEK_TASKS_COPY_LINK", L"data");
    const std::wstring source = m_data + L"\\linked.exe";
    ASSERT_TRUE(CopyFileW(m_launcher.c_str(), source.c_str(), FALSE));
    ASSERT_NE(GetFileAttributesW(victim.c_str()), INVALID_FILE_ATTRIBUTES);

    auto scheduler = Scheduler();
    scheduler->SetCommonDataFolder(data);
    std::wstring copy;
    ASSERT_TRUE(scheduler->CopyToProgramData(source.c_str(), copy));
    EXPECT_EQ(copy, data + L"\\Talvern\\Vek\\bin\\linked.exe");
    // The link's target kept its content; the copy is a file of its own.
    HANDLE file = CreateFileW(victim.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char text[16] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    EXPECT_STREQ(text, "victim\n");
    EXPECT_EQ(GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}
