#include "ui/joblist/VekJobUISystem.h"

#include "services/launcher/VekTools.h"
#include "services/session/Tolk_UtilsHelper.h"
#include "ui/VekWindowMessages.h"
#include "ui/controls/VekLinkOpener.h"
#include "ui/dialog/VekProductName.h"

#include <vector>

namespace vek {

ULONGLONG VekJobUISystem::TickCount()
{
    return ::GetTickCount64();
}

bool VekJobUISystem::HasSwitch(const wchar_t* name)
{
    return VekTools::hasCmdSwitch(name);
}

uint32_t VekJobUISystem::SwitchValue(const wchar_t* name, uint32_t defaultValue)
{
    return VekTools::cmdSwitchValue(name, defaultValue);
}

size_t VekJobUISystem::ActiveSessionCount()
{
    VekTools::SessionList sessions;
    if (!VekTools::GetActiveSessions(sessions, true))
        return 0;
    return sessions.size();
}

bool VekJobUISystem::IsRunningAsSystem()
{
    return VekTools::isRunningAsSystem();
}

bool VekJobUISystem::IsInInteractiveSession()
{
    return VekTools::isProcessInInteractiveSession();
}

LONG VekJobUISystem::StartInAllSessions(const std::wstring& commandLine)
{
    Tolk::CSessionLauncher launcher;
    launcher.SetShowWindow(true);
    return launcher.Start(commandLine.c_str(), AllActiveSessions, true);
}

std::wstring VekJobUISystem::LauncherPath()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
            return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

bool VekJobUISystem::Open(const std::wstring& target)
{
    return VekLinkOpener::Default().OpenLink(target) > 32;
}

void VekJobUISystem::RestartWindows(HWND mainDialog)
{
    if (mainDialog && ::IsWindow(mainDialog))
        ::SendMessageW(mainDialog, WM_VEK_RESTART_WINDOWS, 0, 0);
}

UINT VekJobUISystem::ProductNameStringId()
{
    return GetProductNameStringId();
}

std::shared_ptr<VekJobUISystem> VekJobUISystem::Default()
{
    static const std::shared_ptr<VekJobUISystem> system = std::make_shared<VekJobUISystem>();
    return system;
}

} // namespace vek
