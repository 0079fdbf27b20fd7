#include "engine/launcher/VekProgramRules.h"

#include <algorithm>
#include <array>

#include "common/errors/qkLog.h"
#include "engine/launcher/VekSwitches.h"

namespace vek {

const wchar_t* LogBaseNameFor(const wchar_t* commandLine, bool interactiveSession)
{
    if (!HasRawSwitch(commandLine, switches::INSTALL_WOX_APP)) {
        return L"VekLauncher";
    }
    if (!HasRawSwitch(commandLine, switches::FORCE_LOGGING)) {
        return nullptr;
    }
    return interactiveSession ? L"VekLauncherA" : L"VekLauncher";
}

const wchar_t* AccountWordFor(const std::wstring& userName)
{
    return _wcsicmp(userName.c_str(), L"SYSTEM") == 0 ? L"SYSTEM" : L"USER";
}

std::wstring UserSessionCommandLine(const std::wstring& restartCommandLine, const std::wstring& currentCommandLine)
{
    std::wstring commandLine = restartCommandLine;
    const auto slash = currentCommandLine.find(L'/');
    if (slash != std::wstring::npos) {
        // From the blank (or quote) before the first switch, so that the switch stays a token.
        commandLine += currentCommandLine.substr(slash == 0 ? 0 : slash - 1);
    }
    if (commandLine.find(switches::RESTARTED_IN_SESSION) == std::wstring::npos) {
        commandLine += L" /";
        commandLine += switches::RESTARTED_IN_SESSION;
    } else {
        QK_LOG_WARNING(L"RESTARTED_IN_SESSION already added into command line");
    }
    return commandLine;
}

bool RemovesDeploymentPackage(int exitCode, bool executedByMsi)
{
    constexpr std::array<int, 8> kCodes = {3, 4, 8, 11, 15, 17, 18, 19};
    return executedByMsi && std::find(kCodes.begin(), kCodes.end(), exitCode) != kCodes.end();
}

} // namespace vek
