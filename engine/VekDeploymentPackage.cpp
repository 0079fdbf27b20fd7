// Removal of the deployment package that installed and started the launcher.
#include "engine/VekProgram.h"

#include "engine/log/VekLog.h"
#include "services/launcher/VekTools.h"
#include "services/session/Tolk_UtilsHelper.h"

#include <msi.h>

#include <string>

namespace vek {

namespace {

constexpr const wchar_t* kDeploymentUpgradeCode = L"{071CA6B8-9254-4332-98C4-911BA956B051}";
constexpr const wchar_t* kDeploymentProductCode = L"{6202611D-F938-48F3-9440-8BD45109D1CC}";

// msiexec.exe by its full path in the system folder, quoted: a bare name could resolve to a file
// in the launcher's own folder.
std::wstring MsiexecPath()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return L"\"" + std::wstring(folder) + L"\\msiexec.exe\"";
}

} // namespace

void UninstallDeploymentMsi()
{
    wchar_t productCode[39] = {};
    bool found = false;
    for (int attempt = 0; attempt < 5 && !found; ++attempt) {
        if (attempt > 0)
            ::Sleep(2000);
        found = ::MsiEnumRelatedProductsW(kDeploymentUpgradeCode, 0, 0, productCode) == ERROR_SUCCESS;
    }
    PROCESS_LAUNCH_TYPE launchType = CurrentUser;
    std::wstring code = productCode;
    if (!found) {
        LogInfo(L"DeploymentMSI product code is not found.");
        if (VekTools::isRunningAsSystem() && VekTools::getCurrentSessionId() != 0) {
            LogInfo(L"We under system account and user session: try to run msiexec under logged on user");
            launchType = LoggedOnUser;
            code = kDeploymentProductCode;
        } else {
            LogInfo(L"Process not have SYSTEM rights or current session is not available, cannot run deployment msi "
                    L"uninstallation");
            return;
        }
    }
    LogInfo(L"Uninstalling deployment MSI...");
    const std::wstring msiexec = MsiexecPath();
    if (msiexec.empty()) {
        LogInfo(L"Unable to run msiexec to uninstall deployment MSI, %d", static_cast<int>(::GetLastError()));
        return;
    }
    const std::wstring commandLine = msiexec + L" -x " + code + L" /qn";
    LogInfo(L"Uninstall deployment MSI with command line: %s", commandLine.c_str());
    Tolk::CSessionLauncher launcher;
    const LONG started = launcher.Start(commandLine.c_str(), launchType, false);
    if (started != 0) {
        LogInfo(L"Unable to run msiexec to uninstall deployment MSI, %d", static_cast<int>(started));
        return;
    }
    LogInfo(L"Waiting until DeploymentMSI uninstallation finished...");
    const DWORD waited = launcher.Wait(60000);
    if (waited == WAIT_OBJECT_0) {
        HANDLE process = launcher.DuplicateProcessHandle();
        DWORD exitCode = 0;
        if (process != INVALID_HANDLE_VALUE && process) {
            ::GetExitCodeProcess(process, &exitCode);
            ::CloseHandle(process);
        }
        LogInfo(L"Deployment MSI uninstall finished with error code: %d", static_cast<int>(exitCode));
    } else {
        LogError(L"Waiting for msexec execution failed: %d", static_cast<int>(waited));
    }
}

} // namespace vek
