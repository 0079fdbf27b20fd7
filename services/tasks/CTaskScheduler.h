#pragma once
// The launcher's scheduled tasks (Task Scheduler 2.0, root folder): the start-up task that runs
// the launcher at boot and logon, the postponed task that runs it once at a time that suits the
// user's schedule, the companion-application installation task at the next logon, and the
// removal of earlier versions' tasks. A task that starts the launcher runs a copy of it kept in
// a folder of its own under the common data folder, never one in a download or temporary folder.
//
// COM must be entered on the calling thread. Registration is create-or-update: an earlier task
// of the same name stays until the new one replaces it.
#include <windows.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

#include "services/tasks/CClock.h"

namespace vek {

class CTaskScheduler {
public:
    static constexpr const wchar_t* kLauncherTask = L"Talvern Download Manager";
    static constexpr const wchar_t* kInstallationTask = L"Talvern Agent Installation Task";

    // When a postponed run should start.
    enum ScheduleKind { InBusinessHours = 0, OutsideBusinessHours = 1, AtTheWeekend = 2 };

    explicit CTaskScheduler(std::shared_ptr<CClock> clock = {});
    ~CTaskScheduler();
    CTaskScheduler(const CTaskScheduler&) = delete;
    CTaskScheduler& operator=(const CTaskScheduler&) = delete;

    bool Connect();
    // The start-up task; copyPath receives the copy the task runs. S_OK, or the failure (logged).
    HRESULT RegisterStartupTask(const wchar_t* launcherPath, const wchar_t* switches, std::wstring& copyPath);
    // runNow is set (and S_OK returned, no task made) when the present time already fits the kind;
    // otherwise the one-time task is registered and its failure returned.
    HRESULT RegisterPostponedTask(const wchar_t* launcherPath, const wchar_t* switches, int kind, bool& runNow);
    HRESULT RegisterInstallationTask(const wchar_t* launcherPath, const wchar_t* arguments);
    // Null: the launcher's task. A missing task is no failure and is not logged.
    void DeleteTask(const wchar_t* name = nullptr);
    void DeleteLegacyTasks();
    // Copies the launcher into "<common data>\Talvern\Vek\bin" (made for administrators and SYSTEM
    // only; refused when owned by anyone else or when any of its folders is a link), as
    // "<its name>.exe", replacing a file or link there without following it.
    bool CopyToProgramData(const wchar_t* source, std::wstring& destination);

    // Which tasks of earlier versions go: legacy launcher tasks always, push-install tasks unless
    // the launcher runs from the Windows folder.
    enum TaskKind { OtherTask, LegacyLauncherTask, PushInstallTask };
    static TaskKind ClassifyTaskName(const wchar_t* name, bool runsFromWindows);
    // The start of a postponed run of that kind for a run asked at now (local time).
    static std::int64_t PostponedStart(int kind, std::int64_t now);
    // The launcher task's arguments for the caller's switches.
    static std::wstring LauncherArguments(const wchar_t* switches);

    // Whether the copy in "bin" must pass the strict signature and signer check before a task
    // names it; it is then held, without write or delete sharing, until the task is registered.
    // A copy that fails is deleted with any task of that name, and no task is registered. Off
    // unless asked: a launcher that the manifest runs unverified has no verified copy to give.
    void RequireTrustedCopy(bool required) { m_requireTrustedCopy = required; }

    // Tests put the common data folder somewhere of their own.
    void SetCommonDataFolder(const std::wstring& folder) { m_commonDataFolder = folder; }

private:
    enum class Triggers { Startup, Postponed, Installation };
    struct TaskRequest {
        const wchar_t* name;
        Triggers triggers;
        std::wstring switches;  // what the trigger choice looks at
        std::wstring arguments; // the action's arguments
        std::int64_t start;     // postponed only
        const wchar_t* registerFailure;
    };
    HRESULT BuildAndRegister(const wchar_t* launcherPath, const TaskRequest& request, std::wstring& copyPath);
    void AddTriggers(ITaskDefinition* definition, const TaskRequest& request);
    std::wstring CommonDataFolder();

    const wchar_t* m_timeFormat = L"%Y-%m-%dT%H:%M:%S";
    Microsoft::WRL::ComPtr<ITaskService> m_service;
    Microsoft::WRL::ComPtr<ITaskFolder> m_root;
    std::shared_ptr<CClock> m_clock;
    std::wstring m_commonDataFolder;
    bool m_requireTrustedCopy = false;
};

} // namespace vek
