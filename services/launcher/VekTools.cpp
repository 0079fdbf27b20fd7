#include "services/launcher/VekTools.h"

#include "services/launcher/IWinApi.h"
#include "common/base/qkScopeExit.h"
#include "common/errors/qkLog.h"
#include "common/system/qkResourceHolders.h"
#include "services/launcher/VekResultCodes.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <memory>

// Every process, session and token call goes through the process-wide Win32 facade, so that
// tests can stand in for sessions, users and tokens.

namespace VekTools {

namespace {

qkCommandLine ProcessCommandLine()
{
    qkCommandLine commandLine;
    commandLine.ParseProcessCommandLine();
    return commandLine;
}

bool ReadTokenInformation(vek::IWinApi& api, HANDLE token, TOKEN_INFORMATION_CLASS kind,
                          std::unique_ptr<uint8_t[]>& buffer)
{
    DWORD size = 0;
    if (!api.GetTokenInformation(token, kind, nullptr, 0, &size) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    buffer.reset(new (std::nothrow) uint8_t[size]());
    if (!buffer) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return api.GetTokenInformation(token, kind, buffer.get(), size, &size) != FALSE;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Switches

bool hasCmdSwitch(const qkCommandLine& commandLine, const wchar_t* name)
{
    return name != nullptr && commandLine.HasSwitch(name);
}

std::wstring cmdSwitchString(const qkCommandLine& commandLine, const wchar_t* name)
{
    if (name == nullptr) {
        return {};
    }
    const wchar_t* value = commandLine.GetSwitchValue(name);
    return value ? std::wstring(value) : std::wstring();
}

uint32_t cmdSwitchValue(const qkCommandLine& commandLine, const wchar_t* name, uint32_t defaultValue)
{
    if (name == nullptr || !commandLine.HasSwitch(name)) {
        return defaultValue;
    }
    const wchar_t* value = commandLine.GetSwitchValue(name);
    if (value == nullptr) {
        return defaultValue;
    }
    // An empty value has no digit either.
    bool digits = *value != L'\0';
    for (const wchar_t* p = value; *p; ++p) {
        if (*p < L'0' || *p > L'9') {
            digits = false;
            break;
        }
    }
    if (!digits) {
        QK_LOG_ERROR(L"Value for parameter %ls contains not digit characters. Use default value %d.", name,
                     defaultValue);
        return defaultValue;
    }
    errno = 0;
    const unsigned long long number = std::wcstoull(value, nullptr, 10);
    if (errno == ERANGE || number > UINT32_MAX) {
        // The message keeps its historical spelling, split so that it reads whole in the log.
        QK_LOG_ERROR(L"Too big or negative value specied with %ls parameter. Use default value %d", name, defaultValue);
        return defaultValue;
    }
    return static_cast<uint32_t>(number);
}

bool hasCmdSwitch(const wchar_t* name)
{
    return hasCmdSwitch(ProcessCommandLine(), name);
}

uint32_t cmdSwitchValue(const wchar_t* name, uint32_t defaultValue)
{
    return cmdSwitchValue(ProcessCommandLine(), name, defaultValue);
}

std::wstring cmdSwitchString(const wchar_t* name)
{
    return cmdSwitchString(ProcessCommandLine(), name);
}

// ---------------------------------------------------------------------------------------------
// Session and account

bool isProcessInInteractiveSession()
{
    const auto api = vek::GetDefaultWinApi();
    DWORD session = 0;
    if (api->ProcessIdToSessionId(api->GetCurrentProcessId(), &session) && session == 0) {
        QK_LOG_INFO(L"VEK executed in system session.");
        return false;
    }
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (api->GetUserObjectInformationW(api->GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &needed) &&
        (flags.dwFlags & WSF_VISIBLE) != 0) {
        QK_LOG_INFO(L"VEK executed under session with desktop.");
        return true;
    }
    QK_LOG_INFO(L"VEK executed under session without desktop.");
    return false;
}

bool isRunningAsSystem()
{
    const auto api = vek::GetDefaultWinApi();
    HANDLE raw = nullptr;
    if (!api->OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        QK_LOG_ERROR(L"OpenProcessToken Error %u\n", ::GetLastError());
        return false;
    }
    qkHandle token(raw);
    std::unique_ptr<uint8_t[]> user;
    if (!ReadTokenInformation(*api, token.Get(), TokenUser, user)) {
        QK_LOG_ERROR(L"GetTokenInformation Error %u\n", ::GetLastError());
        return false;
    }
    wchar_t* text = nullptr;
    if (!api->ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, &text)) {
        QK_LOG_ERROR(L"ConvertSidToStringSidW failed. Error = %d", ::GetLastError());
        return false;
    }
    const qkScopeExit freeText([&] { api->LocalFree(text); });
    if (::_wcsicmp(text, L"S-1-5-18") == 0) {
        QK_LOG_INFO(L"Running under SYSTEM");
        return true;
    }
    QK_LOG_INFO(L"NOT running under SYSTEM");
    return false;
}

bool isSilentExit(const qkCommandLine& commandLine, uint32_t exitCode, bool uiRequested)
{
    const bool silentOrUnattended = hasCmdSwitch(commandLine, L"SILENT") || hasCmdSwitch(commandLine, L"UNATTENDED");
    const bool ui = uiRequested && !silentOrUnattended;
    const bool noDesktop = !isProcessInInteractiveSession();
    if (!hasCmdSwitch(commandLine, L"ADMIN_INITIATED") && !hasCmdSwitch(commandLine, L"SILENT") && !noDesktop && !ui) {
        return false;
    }
    return vek::IsSilentExitCode(static_cast<int32_t>(exitCode));
}

bool isSilentExit(uint32_t exitCode, bool uiRequested)
{
    return isSilentExit(ProcessCommandLine(), exitCode, uiRequested);
}

bool GetLoggedOnUserToken(DWORD sessionId, qkHandle& token)
{
    const auto api = vek::GetDefaultWinApi();
    qkLib::LogText(qkLib::LogLevel::Information,
                   L"GetUserToken: Get user token by finding shell process running in user context");
    HANDLE raw = nullptr;
    if (!api->WTSQueryUserToken(sessionId, &raw)) {
        DWORD shell = 0;
        if (FAILED(getShellProcessId(sessionId, shell))) {
            return false;
        }
        qkHandle process(api->OpenProcess(MAXIMUM_ALLOWED, FALSE, shell));
        if (!process.IsValid()) {
            qkLib::LogText(qkLib::LogLevel::Error, L"OpenProcess(%lu) failed: %lu", shell, ::GetLastError());
            return false;
        }
        if (!api->OpenProcessToken(process.Get(), MAXIMUM_ALLOWED, &raw)) {
            qkLib::LogText(qkLib::LogLevel::Information, L"OpenProcessToken failed: %lu", ::GetLastError());
            return false;
        }
    }
    qkHandle first(raw);
    HANDLE duplicate = nullptr;
    if (!api->DuplicateTokenEx(first.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                               &duplicate)) {
        QK_LOG_ERROR(L"DuplicateTokenEx failed: %lu", ::GetLastError());
        return false;
    }
    first.Close();
    token.Reset(duplicate);
    return true;
}

bool IsAdminUser(HANDLE token)
{
    const auto api = vek::GetDefaultWinApi();
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    qkAllocatedSid admins;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    admins.Receive())) {
        QK_LOG_ERROR(L"AllocateAndInitializeSid() failed: %lu", ::GetLastError());
        return false;
    }
    DWORD size = 0;
    if (!api->GetTokenInformation(token, TokenGroups, nullptr, 0, &size) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08x", ::GetLastError());
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
    if (!buffer) {
        QK_LOG_ERROR(L"mem.NewAlloc() == NULL");
        return false;
    }
    if (!api->GetTokenInformation(token, TokenGroups, buffer.get(), size, &size)) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08x", ::GetLastError());
        return false;
    }
    // Attributes are not looked at: a deny-only administrators group counts too.
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, admins.Get())) {
            QK_LOG_INFO(L"admin SID found");
            return true;
        }
    }
    return false;
}

bool isSessionUserAdmin(DWORD sessionId)
{
    qkHandle token;
    return GetLoggedOnUserToken(sessionId, token) && IsAdminUser(token.Get());
}

bool isWow64BitProcess()
{
    BOOL wow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &wow64)) {
        QK_LOG_ERROR(L"Unable to check if process is Wow64 process, considerate as 32-bit process");
        return false;
    }
    return wow64 != FALSE;
}

HRESULT getShellProcessId(DWORD sessionId, DWORD& processId)
{
    const auto api = vek::GetDefaultWinApi();
    processId = 0xFFFFFFFF;
    qkHandle snapshot(api->CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot.IsValid() || !api->Process32FirstW(snapshot.Get(), &entry)) {
        qkLib::LogText(qkLib::LogLevel::Error, L"Unable to start process enumeration, %d", ::GetLastError());
        return E_FAIL;
    }
    do {
        if (::_wcsicmp(entry.szExeFile, L"explorer.exe") != 0) {
            continue;
        }
        DWORD session = 0;
        if (!api->ProcessIdToSessionId(entry.th32ProcessID, &session)) {
            qkLib::LogText(qkLib::LogLevel::Error, L"Unable to get session id for shell process, %d", ::GetLastError());
            break;
        }
        if (session == sessionId) {
            processId = entry.th32ProcessID;
            return S_OK;
        }
    } while (api->Process32NextW(snapshot.Get(), &entry));
    return E_FAIL;
}

bool hasUserSessions()
{
    const auto api = vek::GetDefaultWinApi();
    WTS_SESSION_INFOW* raw = nullptr;
    DWORD count = 0;
    if (!api->WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, &raw, &count)) {
        return false;
    }
    const qkScopeExit freeSessions([&] { api->WTSFreeMemory(raw); }); // through the facade that made it
    for (DWORD i = 0; i < count; ++i) {
        if (raw[i].SessionId != 0 && (raw[i].State == WTSActive || raw[i].State == WTSDisconnected)) {
            return true;
        }
    }
    return false;
}

DWORD getCurrentSessionId()
{
    const auto api = vek::GetDefaultWinApi();
    DWORD session = 0;
    if (!api->ProcessIdToSessionId(api->GetCurrentProcessId(), &session)) {
        qkLib::LogText(qkLib::LogLevel::Error, L"Unable to get session for current process, %d", ::GetLastError());
        return 0xFFFFFFFF;
    }
    return session;
}

void AddSessionsByState(SessionList& list, const WTS_SESSION_INFOW* sessions, DWORD count, WTS_CONNECTSTATE_CLASS state)
{
    for (DWORD i = 0; i < count; ++i) {
        if (sessions[i].SessionId == 0 || sessions[i].State != state) {
            continue;
        }
        QK_LOG_INFO(L"Session with id %d has a status: %d", sessions[i].SessionId, sessions[i].State);
        list.push_back(sessions[i]);
    }
}

bool GetActiveSessions(SessionList& sessions, bool preferAdministrators)
{
    sessions.clear();
    const auto api = vek::GetDefaultWinApi();
    WTS_SESSION_INFOW* raw = nullptr;
    DWORD count = 0;
    if (!api->WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, &raw, &count)) {
        return false;
    }
    const qkScopeExit freeSessions([&] { api->WTSFreeMemory(raw); }); // through the facade that made it
    QK_LOG_INFO(L"%d sessions found", count);
    SessionList collected;
    AddSessionsByState(collected, raw, count, WTSActive);
    AddSessionsByState(collected, raw, count, WTSDisconnected);
    // The list's window-station names point into the enumeration, which is freed here.
    for (auto& s : collected) {
        s.pWinStationName = nullptr;
    }
    if (!preferAdministrators) {
        sessions = std::move(collected);
        return true;
    }
    SessionList others;
    for (const auto& s : collected) {
        (isSessionUserAdmin(s.SessionId) ? sessions : others).push_back(s);
    }
    sessions.insert(sessions.end(), others.begin(), others.end());
    return true;
}

DWORD getActiveSessionId(bool preferAdministrators)
{
    if (!preferAdministrators) {
        return vek::GetDefaultWinApi()->WTSGetActiveConsoleSessionId();
    }
    SessionList sessions;
    if (!GetActiveSessions(sessions, true) || sessions.empty()) {
        return 0xFFFFFFFF;
    }
    return sessions.front().SessionId;
}

} // namespace VekTools
