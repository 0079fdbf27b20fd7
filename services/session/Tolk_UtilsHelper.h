#pragma once
// Starts a command line in a chosen session with chosen rights: the caller's own session, the
// active user's session with the caller's token, the active user's session as the logged-on user,
// or every active session. Starting in another session needs SYSTEM rights.
//
// Results mix two conventions, and callers compare against both: 0 on success, a plain Win32
// error (5, 13, 14, 87, 1312 or the failing call's error), E_INVALIDARG for an empty command
// line, and UserLaunch's HRESULTs for the logged-on user.
#include <windows.h>

#include <memory>

#include "common/system/qkHandle.h"
#include "services/launcher/IWinApi.h"

enum PROCESS_LAUNCH_TYPE {
    CurrentUser = 0,       // the caller's session, the caller's rights
    ActiveUserSession = 1, // the active user's session, the caller's rights
    LoggedOnUser = 2,      // the active user's session, the logged-on user's rights
    AllActiveSessions = 3, // every active session, the caller's rights
};

namespace Tolk {

class CSessionLauncher {
public:
    explicit CSessionLauncher(std::shared_ptr<vek::IWinApi> api = {});
    virtual ~CSessionLauncher() = default;
    CSessionLauncher(const CSessionLauncher&) = delete;
    CSessionLauncher& operator=(const CSessionLauncher&) = delete;

    // false: every later start is hidden (STARTF_USESHOWWINDOW, SW_HIDE).
    void SetShowWindow(bool show) { m_showWindow = show; }

    LONG Start(const wchar_t* commandLine, PROCESS_LAUNCH_TYPE type, bool adminOnly);
    // Starts in the interactive user's session when the caller is not there already (as that user
    // when an administrator, unless the parent's rights are forced); on access denied, and when
    // allowed, the fallback command line is started as the current user.
    LONG StartForInteractiveUser(const wchar_t* commandLine, const wchar_t* fallbackCommandLine,
                                 bool parentRightsForced, bool fallbackAllowed);
    // The wait result on the started process; 0 when nothing was started.
    DWORD Wait(DWORD timeoutMs);
    // A duplicate of the started process's handle for the caller, or INVALID_HANDLE_VALUE.
    HANDLE DuplicateProcessHandle();
    DWORD GetProcessId() const { return m_processId; }

private:
    LONG StartAsCaller(const wchar_t* commandLine);
    LONG StartInUserSession(const wchar_t* commandLine, PROCESS_LAUNCH_TYPE type, bool adminOnly);
    LONG StartInSession(DWORD sessionId, const wchar_t* commandLine);
    void TakeProcess(const PROCESS_INFORMATION& started);

    std::shared_ptr<vek::IWinApi> m_api;
    qkHandle m_process;
    qkHandle m_thread;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
    bool m_showWindow = true;
};

} // namespace Tolk
