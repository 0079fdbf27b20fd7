#pragma once
// The start-up trace: one log line at the start of each start-up step, with the milliseconds
// since the process was created, so that a slow start can be taken apart step by step. It is a
// debug level of the launcher's log: off unless the launcher's key "Software\Vallor\Vek" under
// HKEY_LOCAL_MACHINE holds the DWORD "StartupTrace" with a non-zero value; off, it writes nothing.
namespace vek {

// The start-up steps, in the order the program takes them.
enum class StartupStep {
    Hardening,      // process hardening
    Com,            // the COM apartment
    LogFile,        // language, processor check and the log file
    StartRecord,    // the start record and the start ping
    CommonControls, // the window classes and common controls
    LegacyTasks,    // the clean-up of the legacy scheduled tasks
    Engine,         // the engine with its GDI+ session
    Reporters,      // the reporters and the launch ping
    TrayAndDialog,  // the tray and the dialog
    MainDialog,     // the dialog, inside the tray's creation
    TrayIcon,       // the notification icon, after the dialog
    BrowserProxy,   // the browser's proxy settings
    Jobs,           // the jobs (the first request)
};

// The text a step is logged with.
const wchar_t* StartupStepName(StartupStep step);

class VekStartupTrace {
public:
    explicit VekStartupTrace(bool enabled) : m_enabled(enabled) {}
    // Reads the switch from the registry (in the program's own registry view).
    static bool SwitchedOn();
    // Writes "Start-up step <name> at <n> ms after the process start" when enabled.
    void Step(StartupStep step) const;

private:
    bool m_enabled;
};

// The process's trace: its switch is read at the first step; never throws.
void TraceStartupStep(StartupStep step);

} // namespace vek
