#pragma once
// Starts a command line with the token of the user logged on to a session (elevated through the
// linked token when asked), in that user's environment, on the interactive desktop. Used from a
// process that runs as SYSTEM.
//
// Results are HRESULTs, except Launch's 1: an admin-only launch refused because the user is not
// an administrator.
#include <windows.h>

#include <memory>

#include "common/system/qkHandle.h"
#include "services/launcher/IWinApi.h"
#include "services/session/CEnvironmentBlock.h"

class UserLaunch {
public:
    explicit UserLaunch(std::shared_ptr<vek::IWinApi> api = {});
    virtual ~UserLaunch() = default;
    UserLaunch(const UserLaunch&) = delete;
    UserLaunch& operator=(const UserLaunch&) = delete;

    // Finds the session (the first of the active-session list when fromSessionList, else the
    // active session id; activeOnly is the launcher tools' preference for administrators' sessions),
    // takes its user's token, the linked token when elevated, raises the token to high integrity
    // and builds the user's environment. E_FAIL when there is no session.
    HRESULT Initialize(bool elevated, bool activeOnly, bool fromSessionList);
    // Builds the tokens again (the kept elevation, active sessions only, not from the list).
    HRESULT Reinitialize();
    // S_OK when started; 1 when admin-only and the user is no administrator; else the HRESULT of
    // the last failure. Broken-pipe failures (233) are retried while a stop handle is set.
    HRESULT Launch(const wchar_t* commandLine, bool adminOnly, bool showConsole);
    DWORD Wait(DWORD timeoutMs);
    // The exit code, or the HRESULT of the failure in its place.
    DWORD GetExitCode();
    // Duplicates of the process and thread handles (same access) with the ids; the caller owns them.
    PROCESS_INFORMATION DuplicateProcessHandle();

    bool IsAdmin() const { return m_bAdmin; }
    DWORD GetSessionId() const { return m_sessionId; }

private:
    bool GetUserToken(DWORD sessionId, qkHandle& token);
    void ReleaseTokens();

    std::shared_ptr<vek::IWinApi> m_api;
    qkHandle m_userToken;
    qkHandle m_duplicateToken;
    qkHandle m_linkedToken;
    HANDLE m_launchToken = nullptr; // the duplicate or the linked token, owned by one of them
    vek::CEnvironmentBlock m_environment;
    bool m_bAdmin = false;
    DWORD m_sessionId = 0xFFFFFFFF;
    bool m_elevated = false;
    qkHandle m_stop; // nothing sets it; a launch then tries once
    qkHandle m_process;
    qkHandle m_thread;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
};
