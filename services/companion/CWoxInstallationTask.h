#pragma once
// The scheduled task that runs the companion-application installation at the next logon:
// registered through the launcher's Task Scheduler tasks, deleted by its name. Virtual, so that
// tests can see the decision without a task of the machine. COM must be entered on the thread.
#include <windows.h>

namespace vek {

class CWoxInstallationTask {
public:
    virtual ~CWoxInstallationTask() = default;
    virtual HRESULT Register(const wchar_t* launcherPath, const wchar_t* arguments);
    virtual void Delete();
};

} // namespace vek
