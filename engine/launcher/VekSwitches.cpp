#include "engine/launcher/VekSwitches.h"

#include "common/errors/qkLog.h"
#include "services/launcher/VekTokenMask.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace vek {

namespace {

using namespace switches;

// The forwarded switches lead, in forwarding order; copies of the launcher depend on it.
constexpr SwitchInfo kSwitches[] = {
    {SHOWONECLICK, SwitchForm::Flag, true, false},
    {WIN10_UPGRADE, SwitchForm::Flag, true, false},
    {SHOWFAILOVER, SwitchForm::Flag, true, false},
    {UNATTENDED, SwitchForm::Flag, true, false},
    {SILENT, SwitchForm::Flag, true, false},
    {SMART_RESTART, SwitchForm::FlagAndNumber, true, false},
    {UPGRADE_DELAY, SwitchForm::Number, true, false},
    {ADMIN_INITIATED, SwitchForm::Flag, true, false},
    {HARD_REBOOT, SwitchForm::Flag, true, false},
    {SCHEDULE_TO, SwitchForm::Number, true, false},
    {DISABLE_SCHEDULE, SwitchForm::Flag, true, false},
    {MINIMIZED, SwitchForm::Flag, true, false},
    {FORCE_INSTALL, SwitchForm::Flag, true, false},
    {INSTALLER_OPTIONS, SwitchForm::String, true, false},
    {IGNORE_USER_SESSION, SwitchForm::Flag, true, false},
    {CC_TOKEN, SwitchForm::String, true, false},
    {NOUI, SwitchForm::Flag, true, false},
    {EXECUTED_BY_MSI, SwitchForm::Flag, true, false},
    {DISABLE_AUTOMATIC_UPGRADE, SwitchForm::Flag, true, false},
    {UPGRADE_CONFIRMED, SwitchForm::Flag, true, false},
    {UNINSTALL, SwitchForm::Flag, true, false},
    {INSTALL_WOX_APP, SwitchForm::Flag, false, true},
    {WOX_PACKAGE_PATH, SwitchForm::String, false, false},
    {FORCE_LOGGING, SwitchForm::Flag, false, true},
    {SHOW_RESTART_PROMPT, SwitchForm::FlagAndNumber, false, false},
    {RESTARTED_IN_SESSION, SwitchForm::Flag, false, false},
    {RELAUNCHED, SwitchForm::Flag, false, false},
    {IMAGE, SwitchForm::Flag, false, false},
    {INSTALL_ONLY, SwitchForm::Flag, false, false},
    {INSTALL, SwitchForm::Flag, false, false},
    {EXTRACT_PATH, SwitchForm::String, false, false},
    {EXECUTED_BY_WTS, SwitchForm::Flag, false, false},
};

std::wstring Upper(const wchar_t* text)
{
    std::wstring result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](wchar_t ch) { return std::towupper(ch); });
    return result;
}

} // namespace

const std::array<const wchar_t*, 21> g_ForwardedSwitches = {
    SHOWONECLICK,
    WIN10_UPGRADE,
    SHOWFAILOVER,
    UNATTENDED,
    SILENT,
    SMART_RESTART,
    UPGRADE_DELAY,
    ADMIN_INITIATED,
    HARD_REBOOT,
    SCHEDULE_TO,
    DISABLE_SCHEDULE,
    MINIMIZED,
    FORCE_INSTALL,
    INSTALLER_OPTIONS,
    IGNORE_USER_SESSION,
    CC_TOKEN,
    NOUI,
    EXECUTED_BY_MSI,
    DISABLE_AUTOMATIC_UPGRADE,
    UPGRADE_CONFIRMED,
    UNINSTALL,
};

std::span<const SwitchInfo> SwitchTable()
{
    return kSwitches;
}

const SwitchInfo* FindSwitch(const wchar_t* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (const SwitchInfo& row : kSwitches) {
        if (::_wcsicmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

void AppendForwardedSwitches(const qkCommandLine& source, std::wstring& commandLine, const wchar_t* excluded)
{
    for (const wchar_t* name : g_ForwardedSwitches) {
        if (excluded != nullptr && ::_wcsicmp(excluded, name) == 0) {
            continue;
        }
        if (!source.HasSwitch(name)) {
            continue;
        }
        const wchar_t* value = source.GetSwitchValue(name);
        if (value != nullptr && std::wcschr(value, L'"') != nullptr) {
            QK_LOG_ERROR(L"Switch %s not forwarded: its value holds a double quote: %s", name,
                         MaskSwitchValue(name, value).c_str());
            continue;
        }
        commandLine += L" /";
        commandLine += name;
        if (value != nullptr) {
            commandLine += L" \"";
            commandLine += value;
            commandLine += L'"';
        }
    }
}

void AppendForwardedSwitches(std::wstring& commandLine, const wchar_t* excluded)
{
    AppendForwardedSwitches(::GetCommandLineW(), commandLine, excluded);
}

void AppendForwardedSwitches(const wchar_t* rawCommandLine, std::wstring& commandLine, const wchar_t* excluded)
{
    qkCommandLine source;
    if (!source.Parse(rawCommandLine)) {
        QK_LOG_ERROR(L"Unable to parse the command line: %s",
                     MaskCommandLineToken(rawCommandLine ? rawCommandLine : L"").c_str());
        return;
    }
    AppendForwardedSwitches(source, commandLine, excluded);
}

bool HasRawSwitch(const wchar_t* commandLine, const wchar_t* name)
{
    if (commandLine == nullptr || name == nullptr || name[0] == L'\0') {
        return false;
    }
    return Upper(commandLine).find(Upper(name)) != std::wstring::npos;
}

bool HasParsedSwitch(const wchar_t* commandLine, const wchar_t* name)
{
    qkCommandLine parsed;
    return parsed.Parse(commandLine) && parsed.HasSwitch(name);
}

} // namespace vek
