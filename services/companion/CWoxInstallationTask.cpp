#include "services/companion/CWoxInstallationTask.h"

#include "common/errors/qkLog.h"
#include "services/tasks/CTaskScheduler.h"

namespace vek {

HRESULT CWoxInstallationTask::Register(const wchar_t* launcherPath, const wchar_t* arguments)
{
    CTaskScheduler scheduler;
    if (!scheduler.Connect()) {
        QK_LOG_ERROR(L"Unable to connect to the Task Scheduler for the activation task");
        return E_FAIL;
    }
    return scheduler.RegisterInstallationTask(launcherPath, arguments);
}

void CWoxInstallationTask::Delete()
{
    CTaskScheduler scheduler;
    if (!scheduler.Connect()) {
        QK_LOG_ERROR(L"Unable to connect to the Task Scheduler for the activation task");
        return;
    }
    scheduler.DeleteTask(CTaskScheduler::kInstallationTask);
}

} // namespace vek
