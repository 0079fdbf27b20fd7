#pragma once
// What a job window asks of the system besides its own windows: the clock, the switches, the
// sessions, starting the launcher in other sessions, opening pages and folders, and restarting
// Windows. One object with the real calls; tests derive from it to replace the calls that would
// end the session or depend on the account the process runs as.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class IVekLinkOpener;

class VekJobUISystem {
public:
    VekJobUISystem() = default;
    virtual ~VekJobUISystem() = default;
    VekJobUISystem(const VekJobUISystem&) = delete;
    VekJobUISystem& operator=(const VekJobUISystem&) = delete;

    // Milliseconds since the system started (GetTickCount64).
    virtual ULONGLONG TickCount();

    // Switches of the process command line (names compare without regard to case).
    virtual bool HasSwitch(const wchar_t* name);
    // The value as an unsigned decimal number, the default when missing or not a number.
    virtual uint32_t SwitchValue(const wchar_t* name, uint32_t defaultValue);

    // Number of active user sessions (administrators' sessions preferred, as the session
    // launcher counts them); 0 when none or when they cannot be listed.
    virtual size_t ActiveSessionCount();
    virtual bool IsRunningAsSystem();
    virtual bool IsInInteractiveSession();
    // Starts the command line, window shown, in every active session; 0 on success.
    virtual LONG StartInAllSessions(const std::wstring& commandLine);
    // The running launcher's own path.
    virtual std::wstring LauncherPath();

    // Opens a web address or a folder for the user (never as SYSTEM on a user's desktop: the
    // link opener decides); true when it opened.
    virtual bool Open(const std::wstring& target);

    // Restarts Windows through the main dialog's restart operation: sends WM_VEK_RESTART_WINDOWS
    // to the main dialog, which owns the privilege, the reboot flags and the shutdown call.
    virtual void RestartWindows(HWND mainDialog);

    // The string id of the product title that captions show.
    virtual UINT ProductNameStringId();

    // The process-wide real system.
    static std::shared_ptr<VekJobUISystem> Default();
};

} // namespace vek
