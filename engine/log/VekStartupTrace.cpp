#include "engine/log/VekStartupTrace.h"

#include "engine/log/VekLog.h"
#include "services/launcher/VekRegistryNames.h"

#include <windows.h>

namespace vek {

namespace {

constexpr const wchar_t* kLauncherKey = kVekRegistryKey;
constexpr wchar_t kStartupTraceValue[] = L"StartupTrace";

struct StepName {
    StartupStep step;
    const wchar_t* name;
};

constexpr StepName kStepNames[] = {
    {StartupStep::Hardening, L"hardening"},
    {StartupStep::Com, L"COM"},
    {StartupStep::LogFile, L"log file"},
    {StartupStep::StartRecord, L"start record and ping"},
    {StartupStep::CommonControls, L"common controls"},
    {StartupStep::LegacyTasks, L"legacy-task clean-up"},
    {StartupStep::Engine, L"engine with GDI+"},
    {StartupStep::Reporters, L"reporters and launch ping"},
    {StartupStep::TrayAndDialog, L"tray and dialog"},
    {StartupStep::MainDialog, L"main dialog"},
    {StartupStep::TrayIcon, L"notification icon"},
    {StartupStep::BrowserProxy, L"browser proxy settings"},
    {StartupStep::Jobs, L"jobs"},
};

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Milliseconds from the creation of this process to now; 0 when the creation time is unknown.
unsigned long MillisecondsSinceProcessStart()
{
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG start = FileTimeValue(created);
    const ULONGLONG current = FileTimeValue(now);
    return current > start ? static_cast<unsigned long>((current - start) / 10000) : 0;
}

} // namespace

const wchar_t* StartupStepName(StartupStep step)
{
    for (const StepName& entry : kStepNames) {
        if (entry.step == step) {
            return entry.name;
        }
    }
    return L"?";
}

bool VekStartupTrace::SwitchedOn()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kLauncherKey, kStartupTraceValue, RRF_RT_REG_DWORD,
                                          nullptr, &value, &size);
    return status == ERROR_SUCCESS && value != 0;
}

void VekStartupTrace::Step(StartupStep step) const
{
    if (m_enabled) {
        LogInfo(L"Start-up step %s at %lu ms after the process start", StartupStepName(step),
                MillisecondsSinceProcessStart());
    }
}

void TraceStartupStep(StartupStep step)
{
    static const VekStartupTrace trace(VekStartupTrace::SwitchedOn());
    trace.Step(step);
}

} // namespace vek
