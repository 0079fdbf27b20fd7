#include "services/session/Tolk_UtilsHelper.h"

#include <new>
#include <string>
#include <vector>

#include "common/errors/qkLog.h"
#include "services/launcher/CWinApi.h"
#include "services/launcher/VekTools.h"
#include "services/session/CEnvironmentBlock.h"
#include "services/session/CStartupInfoMitigations.h"
#include "services/session/ProgramPathQuoting.h"
#include "services/session/UserLaunch.h"
#include "services/launcher/VekTokenMask.h"

using qkLib::LogLevel;
using qkLib::LogText;

namespace Tolk {

namespace {

constexpr DWORD kNoSession = 0xFFFFFFFF;
wchar_t kInteractiveDesktop[] = L"winsta0\\default";

// A writable copy of the command line (CreateProcess may write into it), its program path quoted.
bool PrepareCommandLine(const wchar_t* commandLine, std::vector<wchar_t>& buffer)
{
    try {
        const std::wstring quoted = QuoteProgramPath(commandLine);
        buffer.assign(quoted.c_str(), quoted.c_str() + quoted.size() + 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void HideWindow(STARTUPINFOW& startup)
{
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
}

} // namespace

CSessionLauncher::CSessionLauncher(std::shared_ptr<vek::IWinApi> api)
    : m_api(api ? std::move(api) : std::make_shared<vek::CWinApi>())
{}

void CSessionLauncher::TakeProcess(const PROCESS_INFORMATION& started)
{
    // A later start replaces the handles of an earlier one; those are closed, not leaked.
    m_process.Reset(started.hProcess);
    m_thread.Reset(started.hThread);
    m_processId = started.dwProcessId;
    m_threadId = started.dwThreadId;
}

LONG CSessionLauncher::Start(const wchar_t* commandLine, PROCESS_LAUNCH_TYPE type, bool adminOnly)
{
    if (commandLine == nullptr || *commandLine == L'\0')
        return E_INVALIDARG;
    LogText(LogLevel::Information, L"Start process: %ls", vek::MaskCommandLineToken(commandLine).c_str());
    switch (type) {
    case CurrentUser:
        LogText(LogLevel::Information, L"Start in caller session and under caller rights");
        return StartAsCaller(commandLine);
    case ActiveUserSession:
        LogText(LogLevel::Information, L"Start in user session and under caller rights");
        return StartInUserSession(commandLine, type, adminOnly);
    case LoggedOnUser:
        LogText(LogLevel::Information, L"Start in user session and under user rights");
        return StartInUserSession(commandLine, type, adminOnly);
    case AllActiveSessions: {
        LogText(LogLevel::Information, L"Start in all active sessions");
        VekTools::SessionList sessions;
        VekTools::GetActiveSessions(sessions, false);
        LONG result = 0;
        for (const auto& session : sessions) {
            const LONG one = StartInSession(session.SessionId, commandLine);
            if (one != 0)
                result = one;
        }
        return result;
    }
    }
    return ERROR_INVALID_PARAMETER;
}

LONG CSessionLauncher::StartForInteractiveUser(const wchar_t* commandLine, const wchar_t* fallbackCommandLine,
                                               bool parentRightsForced, bool fallbackAllowed)
{
    PROCESS_LAUNCH_TYPE type = CurrentUser;
    const DWORD session = VekTools::getActiveSessionId(true);
    if (session == kNoSession) {
        type = CurrentUser;
    } else if (VekTools::isProcessInInteractiveSession()) {
        LogText(LogLevel::Information, L"VEK in interactive session, use PROCESS_LAUNCH_TYPE::CurrentUser");
        type = CurrentUser;
    } else if (parentRightsForced) {
        LogText(LogLevel::Information,
                L"VEK in interactive session and parent rights forced, use PROCESS_LAUNCH_TYPE::ActiveUserSession");
        type = ActiveUserSession;
    } else {
        LogText(LogLevel::Information, L"check if active session is administrative");
        type = VekTools::isSessionUserAdmin(session) ? LoggedOnUser : ActiveUserSession;
    }
    const LONG result = Start(commandLine, type, true);
    const bool denied = result == ERROR_ACCESS_DENIED || result == E_ACCESSDENIED;
    if (denied && (type == ActiveUserSession || type == LoggedOnUser) && fallbackAllowed) {
        LogText(LogLevel::Information, L"Cannot execute process under Logged on user, run process as current user");
        return Start(fallbackCommandLine, CurrentUser, true);
    }
    return result;
}

LONG CSessionLauncher::StartAsCaller(const wchar_t* commandLine)
{
    vek::CStartupInfoMitigations startup;
    const HRESULT created = startup.Create();
    if (FAILED(created)) {
        LogText(LogLevel::Error, L"failed to set up StartupInfo for CreateProcess, hr=0x%08X",
                static_cast<unsigned>(created));
        return ERROR_OUTOFMEMORY;
    }
    if (!m_showWindow)
        HideWindow(startup.GetStartupInfo().StartupInfo);
    std::vector<wchar_t> buffer;
    if (!PrepareCommandLine(commandLine, buffer))
        return ERROR_OUTOFMEMORY;
    PROCESS_INFORMATION started{};
    if (!m_api->CreateProcessW(nullptr, buffer.data(), startup.GetCreationFlags(), nullptr, nullptr,
                               &startup.GetStartupInfo().StartupInfo, &started)) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable start process (%lu)", error);
        return static_cast<LONG>(error);
    }
    TakeProcess(started);
    return 0;
}

LONG CSessionLauncher::StartInUserSession(const wchar_t* commandLine, PROCESS_LAUNCH_TYPE type, bool adminOnly)
{
    const DWORD session = VekTools::getActiveSessionId(true);
    if (session == kNoSession || !VekTools::isRunningAsSystem()) {
        LogText(LogLevel::Error, L"No active session, or process does not have system rights");
        return session == kNoSession ? ERROR_NO_SUCH_LOGON_SESSION : ERROR_ACCESS_DENIED;
    }
    if (type == ActiveUserSession) {
        LogText(LogLevel::Information, L"Start in session %d, with right of current process", session);
        return StartInSession(session, commandLine);
    }
    LogText(LogLevel::Information, L"Start in session %d, in context of logged on user, isAdminOnly %d", session,
            adminOnly ? 1 : 0);
    UserLaunch user(m_api);
    HRESULT hr = user.Initialize(true, true, false);
    if (FAILED(hr)) {
        LogText(LogLevel::Information, L"Initialize failed with error 0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    hr = user.Launch(commandLine, adminOnly, true);
    if (FAILED(hr)) {
        LogText(LogLevel::Information, L"Start failed with error 0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    // An admin-only launch refused for a standard user (1) counts as done here.
    if (hr == S_OK)
        TakeProcess(user.DuplicateProcessHandle());
    return 0;
}

LONG CSessionLauncher::StartInSession(DWORD sessionId, const wchar_t* commandLine)
{
    std::vector<wchar_t> buffer;
    if (!PrepareCommandLine(commandLine, buffer)) {
        LogText(LogLevel::Error, L"Unable to prepare command line. Out of memory");
        return ERROR_OUTOFMEMORY;
    }
    HANDLE raw = nullptr;
    if (!m_api->OpenProcessToken(::GetCurrentProcess(), MAXIMUM_ALLOWED, &raw)) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable to get process token (%lu)", error);
        return static_cast<LONG>(error);
    }
    qkHandle processToken(raw);
    HANDLE duplicate = nullptr;
    if (!m_api->DuplicateTokenEx(processToken.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                                 &duplicate)) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable to duplicate process token (%lu)", error);
        return static_cast<LONG>(error);
    }
    qkHandle token(duplicate);
    vek::CEnvironmentBlock environment(m_api);
    if (!environment.Create(token.Get(), TRUE)) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable to create enviroment block for session: %d (%lu)", sessionId, error);
        return static_cast<LONG>(error);
    }
    DWORD session = sessionId;
    if (!m_api->SetTokenInformation(token.Get(), TokenSessionId, &session, sizeof(session))) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable to set token information for session: %d (%lu)", sessionId, error);
        return static_cast<LONG>(error);
    }
    vek::CStartupInfoMitigations startup;
    const HRESULT created = startup.Create();
    if (FAILED(created)) {
        LogText(LogLevel::Error, L"failed to set up StartupInfo for CreateProcess, hr=0x%08X",
                static_cast<unsigned>(created));
        return ERROR_INVALID_DATA;
    }
    STARTUPINFOW& info = startup.GetStartupInfo().StartupInfo;
    info.lpDesktop = kInteractiveDesktop;
    if (!m_showWindow)
        HideWindow(info);
    LogText(LogLevel::Information, L"Starting command line %ls under session: %d",
            vek::MaskCommandLineToken(buffer.data()).c_str(), sessionId);
    PROCESS_INFORMATION started{};
    const DWORD flags =
        startup.GetCreationFlags() | CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT;
    if (!m_api->CreateProcessAsUserW(token.Get(), nullptr, buffer.data(), flags, environment.Get(), nullptr, &info,
                                     &started)) {
        const DWORD error = ::GetLastError();
        LogText(LogLevel::Error, L"Unable to start process under session: %d (%lu)", sessionId, error);
        return static_cast<LONG>(error);
    }
    TakeProcess(started);
    return 0;
}

DWORD CSessionLauncher::Wait(DWORD timeoutMs)
{
    if (!m_process.IsValid())
        return 0;
    return ::WaitForSingleObject(m_process.Get(), timeoutMs);
}

HANDLE CSessionLauncher::DuplicateProcessHandle()
{
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, m_process.Get(), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        LogText(LogLevel::Error, L"Duplicate handle failed with error %d", ::GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

} // namespace Tolk
