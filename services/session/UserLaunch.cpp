#include "services/session/UserLaunch.h"
#include "common/base/qkLastError.h"

#include <new>
#include <vector>

#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkResourceHolders.h"
#include "common/system/qkPrivilege.h"
#include "services/launcher/CWinApi.h"
#include "services/launcher/VekTools.h"
#include "services/session/CStartupInfoMitigations.h"
#include "services/session/ProgramPathQuoting.h"
#include "services/launcher/VekTokenMask.h"

using qkLib::LogLevel;
using qkLib::LogText;

namespace {

constexpr DWORD kNoSession = 0xFFFFFFFF;
wchar_t kInteractiveDesktop[] = L"winsta0\\default";

} // namespace

UserLaunch::UserLaunch(std::shared_ptr<vek::IWinApi> api)
    : m_api(api ? std::move(api) : std::make_shared<vek::CWinApi>()), m_environment(m_api)
{}

void UserLaunch::ReleaseTokens()
{
    m_environment.Reset();
    m_launchToken = nullptr;
    m_linkedToken.Close();
    m_duplicateToken.Close();
    m_userToken.Close();
}

HRESULT UserLaunch::Initialize(bool elevated, bool activeOnly, bool fromSessionList)
{
    ReleaseTokens();
    m_bAdmin = false;
    if (fromSessionList) {
        VekTools::SessionList sessions;
        m_sessionId = VekTools::GetActiveSessions(sessions, activeOnly) && !sessions.empty()
                          ? sessions.front().SessionId
                          : kNoSession;
    } else {
        m_sessionId = VekTools::getActiveSessionId(activeOnly);
    }
    m_elevated = elevated;
    LogText(LogLevel::Information, L"UserLaunch: session id: %lu, elevated: %d", m_sessionId, elevated ? 1 : 0);
    if (m_sessionId == kNoSession)
        return E_FAIL;

    HANDLE raw = nullptr;
    if (m_api->WTSQueryUserToken(m_sessionId, &raw)) {
        m_userToken.Reset(raw);
    } else {
        const DWORD queryError = ::GetLastError();
        if (!GetUserToken(m_sessionId, m_userToken)) {
            wchar_t* name = nullptr;
            DWORD bytes = 0;
            if (m_api->WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, m_sessionId, WTSUserName, &name,
                                                   &bytes) &&
                name != nullptr && *name != L'\0') {
                LogText(LogLevel::Error, L"WTSQueryUserToken failed for User: %ls error: %d", name, queryError);
            } else {
                LogText(LogLevel::Error, L"WTSQueryUserToken failed: %lu", queryError);
            }
            if (name != nullptr)
                m_api->WTSFreeMemory(name);
            return queryError ? HRESULT_FROM_WIN32(queryError) : E_FAIL;
        }
    }

    HANDLE duplicate = nullptr;
    if (!m_api->DuplicateTokenEx(m_userToken.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                                 &duplicate)) {
        const HRESULT hr = qkLib::LastErrorResult();
        LogText(LogLevel::Error, L"DuplicateTokenEx failed: %lu", ::GetLastError());
        return hr;
    }
    m_duplicateToken.Reset(duplicate);

    const bool vista = qkOSInfo::Initialize() && qkOSInfo::IsWindowsVista(TRUE);
    if (!elevated || !vista) {
        m_launchToken = m_duplicateToken.Get();
        m_bAdmin = true;
    } else {
        TOKEN_LINKED_TOKEN linked{};
        DWORD returned = 0;
        if (m_api->GetTokenInformation(m_duplicateToken.Get(), TokenLinkedToken, &linked, sizeof(linked), &returned) &&
            linked.LinkedToken != nullptr) {
            m_linkedToken.Reset(linked.LinkedToken);
            m_launchToken = m_linkedToken.Get();
            m_bAdmin = true;
        } else {
            m_launchToken = m_duplicateToken.Get();
            LogText(LogLevel::Information, L"GetTokenInformation failed: %lu", ::GetLastError());
            m_bAdmin = VekTools::IsAdminUser(m_duplicateToken.Get());
        }
    }

    if (vista) {
        SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
        qkAllocatedSid high;
        if (!::AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_HIGH_RID, 0, 0, 0, 0, 0, 0, 0, high.Receive())) {
            const HRESULT hr = qkLib::LastErrorResult();
            LogText(LogLevel::Error, L"SetTokenInformation failed: %lu", ::GetLastError());
            return hr;
        }
        TOKEN_MANDATORY_LABEL integrity{};
        integrity.Label.Sid = high.Get();
        integrity.Label.Attributes = SE_GROUP_INTEGRITY;
        if (!m_api->SetTokenInformation(m_launchToken, TokenIntegrityLevel, &integrity,
                                        sizeof(integrity) + ::GetLengthSid(high.Get()))) {
            const HRESULT hr = qkLib::LastErrorResult();
            LogText(LogLevel::Error, L"SetTokenInformation failed: %lu", ::GetLastError());
            return hr;
        }
    }

    if (!m_environment.Create(m_launchToken, TRUE)) {
        const HRESULT hr = qkLib::LastErrorResult();
        LogText(LogLevel::Error, L"CreateEnvironmentBlock failed: %lu", ::GetLastError());
        return hr;
    }
    LogText(LogLevel::Information, L"Initialized... session id: %lu, elevated: %d", m_sessionId, elevated ? 1 : 0);
    return S_OK;
}

HRESULT UserLaunch::Reinitialize()
{
    LogText(LogLevel::Information, L"Reinitialize user tokens");
    return Initialize(m_elevated, true, false);
}

bool UserLaunch::GetUserToken(DWORD sessionId, qkHandle& token)
{
    LogText(LogLevel::Information, L"GetUserToken: Get user token by finding shell process running in user context");
    qkPrivilege tcb;
    if (!tcb.EnableForCurrentProcess(L"SeTcbPrivilege"))
        LogText(LogLevel::Error, L"Unable to grant SE_TCB_NAME, WTSQueryUserToken will fail");
    DWORD shell = kNoSession;
    if (FAILED(VekTools::getShellProcessId(sessionId, shell)))
        return false;
    qkHandle process(m_api->OpenProcess(MAXIMUM_ALLOWED, FALSE, shell));
    if (!process.IsValid()) {
        LogText(LogLevel::Error, L"OpenProcess(%lu) failed: %lu", shell, ::GetLastError());
        return false;
    }
    HANDLE raw = nullptr;
    if (!m_api->OpenProcessToken(process.Get(), MAXIMUM_ALLOWED, &raw)) {
        LogText(LogLevel::Information, L"OpenProcessToken failed: %lu", ::GetLastError());
        return false;
    }
    token.Reset(raw);
    return true;
}

HRESULT UserLaunch::Launch(const wchar_t* commandLine, bool adminOnly, bool showConsole)
{
    if (commandLine == nullptr || *commandLine == L'\0')
        return E_INVALIDARG;
    if (adminOnly && !m_bAdmin) {
        LogText(LogLevel::Error, L"m_bAdmin == false, do not run %ls", vek::MaskCommandLineToken(commandLine).c_str());
        return 1;
    }
    vek::CStartupInfoMitigations startup;
    const HRESULT created = startup.Create();
    if (FAILED(created)) {
        LogText(LogLevel::Error, L"failed to set up StartupInfo for CreateProcess, hr=0x%08X",
                static_cast<unsigned>(created));
        return created;
    }
    startup.GetStartupInfo().StartupInfo.lpDesktop = kInteractiveDesktop;
    const std::wstring quoted = Tolk::QuoteProgramPath(commandLine);
    const std::wstring logged = vek::MaskCommandLineToken(quoted);

    DWORD timeout = 100;
    DWORD lastError = 0;
    for (int attempt = 0; (lastError == 0 || lastError == ERROR_PIPE_NOT_CONNECTED) && attempt <= 199; ++attempt) {
        LogText(LogLevel::Information, L"Launching CreateProcessAsUser(%ls), attempt %d (timeout: %lu)", logged.c_str(),
                attempt, timeout);
        std::vector<wchar_t> buffer;
        try {
            buffer.assign(quoted.c_str(), quoted.c_str() + quoted.size() + 1);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT;
        if (showConsole) {
            LogText(LogLevel::Information, L"add SHOWCONSOLE flag");
            flags |= CREATE_NEW_CONSOLE;
        } else {
            LogText(LogLevel::Information, L"Supress console window");
            flags |= CREATE_NO_WINDOW;
        }
        // The attribute list is not handed over: processes started this way get no mitigation policy.
        PROCESS_INFORMATION started{};
        if (m_api->CreateProcessAsUserW(m_launchToken, nullptr, buffer.data(), flags, m_environment.Get(), nullptr,
                                        &startup.GetStartupInfo().StartupInfo, &started)) {
            m_process.Reset(started.hProcess);
            m_thread.Reset(started.hThread);
            m_processId = started.dwProcessId;
            m_threadId = started.dwThreadId;
            LogText(LogLevel::Information, L"CreateProcessAsUser succeeded");
            return S_OK;
        }
        lastError = ::GetLastError();
        LogText(LogLevel::Error, L"CreateProcessAsUser failed: %lu", lastError);
        if (lastError != ERROR_PIPE_NOT_CONNECTED)
            break;
        // Without a stop handle the wait fails at once, which ends the launch.
        if (::WaitForSingleObject(m_stop.Get(), timeout) != WAIT_TIMEOUT) {
            LogText(LogLevel::Error, L"wait terminated");
            return HRESULT_FROM_WIN32(ERROR_PIPE_NOT_CONNECTED);
        }
        if (attempt == 10)
            timeout = 1000;
        if (attempt == 60)
            timeout = 30000;
        if (attempt % 10 == 0)
            Reinitialize();
    }
    return lastError ? HRESULT_FROM_WIN32(lastError) : E_FAIL;
}

DWORD UserLaunch::Wait(DWORD timeoutMs)
{
    return ::WaitForSingleObject(m_process.Get(), timeoutMs);
}

DWORD UserLaunch::GetExitCode()
{
    DWORD code = 0;
    if (!m_api->GetExitCodeProcess(m_process.Get(), &code)) {
        const HRESULT hr = qkLib::LastErrorResult();
        LogText(LogLevel::Error, L"GetUserToken: Unablet to obtain process exit code");
        return static_cast<DWORD>(hr);
    }
    return code;
}

PROCESS_INFORMATION UserLaunch::DuplicateProcessHandle()
{
    PROCESS_INFORMATION copy{};
    const HANDLE self = ::GetCurrentProcess();
    if (m_process.IsValid())
        ::DuplicateHandle(self, m_process.Get(), self, &copy.hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
    if (m_thread.IsValid())
        ::DuplicateHandle(self, m_thread.Get(), self, &copy.hThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    copy.dwProcessId = m_processId;
    copy.dwThreadId = m_threadId;
    return copy;
}
