#pragma once
// The calls of the main dialog that reach beyond its window: ending the session, the shutdown
// privilege, the sessions of the machine, the exit confirmation and the folder picker. The
// product uses the real system calls; tests replace them (under a test prefix a restart would
// end the session that runs the tests, and a modal box would wait for a person).
#include <windows.h>

#include <optional>
#include <string>

namespace vek {

class VekDialogSystem {
public:
    virtual ~VekDialogSystem() = default;

    // Enables SeShutdownPrivilege; false (last error set) when it cannot. Restore undoes it.
    virtual bool EnableShutdownPrivilege() = 0;
    virtual void RestoreShutdownPrivilege() = 0;
    virtual BOOL ExitWindowsSession(UINT flags, DWORD reason) = 0;
    // True when an active session exists whose user is an administrator and which is this
    // process's session.
    virtual bool IsActiveAdminSession() = 0;
    virtual int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) = 0;
    // Whether the folder picker may be offered: not while the process runs as SYSTEM (the picker
    // would give the desktop's user a shell running as SYSTEM).
    virtual bool CanPickFolder() = 0;
    // The chosen folder, or nothing on cancel or failure.
    virtual std::optional<std::wstring> PickFolder(HWND owner, const std::wstring& title,
                                                   const std::wstring& start) = 0;
    // Whether the Enter key is down at this moment.
    virtual bool IsEnterKeyDown() = 0;

    // The process-wide default: the real calls.
    static VekDialogSystem& Default();
};

} // namespace vek
