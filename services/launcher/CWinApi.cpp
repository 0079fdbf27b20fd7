#include "services/launcher/CWinApi.h"

#include <msi.h>
#include <sddl.h>
#include <userenv.h>

#include <mutex>

namespace vek {

namespace {

std::mutex g_defaultLock;
std::shared_ptr<IWinApi> g_default;

} // namespace

std::shared_ptr<IWinApi> GetDefaultWinApi()
{
    std::lock_guard<std::mutex> lock(g_defaultLock);
    if (!g_default)
        g_default = std::make_shared<CWinApi>();
    return g_default;
}

void SetDefaultWinApi(std::shared_ptr<IWinApi> api)
{
    std::lock_guard<std::mutex> lock(g_defaultLock);
    g_default = api ? std::move(api) : std::make_shared<CWinApi>();
}

HANDLE CWinApi::CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    return ::CreateToolhelp32Snapshot(flags, processId);
}
BOOL CWinApi::Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ::Process32FirstW(snapshot, entry);
}
BOOL CWinApi::Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return ::Process32NextW(snapshot, entry);
}
HANDLE CWinApi::OpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    return ::OpenProcess(access, inherit, processId);
}
BOOL CWinApi::QueryFullProcessImageNameW(HANDLE process, DWORD flags, wchar_t* name, DWORD* size)
{
    return ::QueryFullProcessImageNameW(process, flags, name, size);
}
HINTERNET CWinApi::WinHttpOpen(const wchar_t* agent, DWORD accessType, const wchar_t* proxy, const wchar_t* bypass,
                               DWORD flags)
{
    return ::WinHttpOpen(agent, accessType, proxy, bypass, flags);
}
HINTERNET CWinApi::WinHttpConnect(HINTERNET session, const wchar_t* server, INTERNET_PORT port, DWORD reserved)
{
    return ::WinHttpConnect(session, server, port, reserved);
}
HINTERNET CWinApi::WinHttpOpenRequest(HINTERNET connect, const wchar_t* verb, const wchar_t* object,
                                      const wchar_t* version, const wchar_t* referrer, const wchar_t** acceptTypes,
                                      DWORD flags)
{
    return ::WinHttpOpenRequest(connect, verb, object, version, referrer, acceptTypes, flags);
}
BOOL CWinApi::WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength, void* optional,
                                 DWORD optionalLength, DWORD totalLength, DWORD_PTR context)
{
    return ::WinHttpSendRequest(request, headers, headersLength, optional, optionalLength, totalLength, context);
}
BOOL CWinApi::WinHttpReceiveResponse(HINTERNET request, void* reserved)
{
    return ::WinHttpReceiveResponse(request, reserved);
}
BOOL CWinApi::WinHttpCloseHandle(HINTERNET handle)
{
    return ::WinHttpCloseHandle(handle);
}
BOOL CWinApi::WTSEnumerateSessionsW(HANDLE server, WTS_SESSION_INFOW** sessions, DWORD* count)
{
    return ::WTSEnumerateSessionsW(server, 0, 1, sessions, count);
}
BOOL CWinApi::WTSQueryUserToken(ULONG sessionId, HANDLE* token)
{
    return ::WTSQueryUserToken(sessionId, token);
}
BOOL CWinApi::DuplicateTokenEx(HANDLE token, DWORD access, SECURITY_ATTRIBUTES* attributes,
                               SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* duplicate)
{
    return ::DuplicateTokenEx(token, access, attributes, level, type, duplicate);
}
BOOL CWinApi::CreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit)
{
    return ::CreateEnvironmentBlock(environment, token, inherit);
}
BOOL CWinApi::DestroyEnvironmentBlock(void* environment)
{
    return ::DestroyEnvironmentBlock(environment);
}
BOOL CWinApi::CloseHandle(HANDLE handle)
{
    return ::CloseHandle(handle);
}
BOOL CWinApi::CreateProcessW(const wchar_t* application, wchar_t* commandLine, DWORD flags, void* environment,
                             const wchar_t* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* process)
{
    return ::CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, flags, environment, directory, startup,
                            process);
}
BOOL CWinApi::CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine, DWORD flags,
                                   void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                                   PROCESS_INFORMATION* process)
{
    return ::CreateProcessAsUserW(token, application, commandLine, nullptr, nullptr, FALSE, flags, environment,
                                  directory, startup, process);
}
BOOL CWinApi::WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS kind, wchar_t** buffer,
                                          DWORD* bytes)
{
    return ::WTSQuerySessionInformationW(server, sessionId, kind, buffer, bytes);
}
void CWinApi::WTSFreeMemory(void* memory)
{
    ::WTSFreeMemory(memory);
}
DWORD CWinApi::GetCurrentProcessId()
{
    return ::GetCurrentProcessId();
}
BOOL CWinApi::ProcessIdToSessionId(DWORD processId, DWORD* sessionId)
{
    return ::ProcessIdToSessionId(processId, sessionId);
}
BOOL CWinApi::GetUserObjectInformationW(HANDLE object, int index, void* info, DWORD length, DWORD* needed)
{
    return ::GetUserObjectInformationW(object, index, info, length, needed);
}
HWINSTA CWinApi::GetProcessWindowStation()
{
    return ::GetProcessWindowStation();
}
BOOL CWinApi::InitiateSystemShutdownExW(const wchar_t* message, DWORD timeout, BOOL forceAppsClosed,
                                        BOOL rebootAfterShutdown, DWORD reason)
{
    return ::InitiateSystemShutdownExW(nullptr, const_cast<wchar_t*>(message), timeout, forceAppsClosed,
                                       rebootAfterShutdown, reason);
}
DWORD CWinApi::InitiateShutdownW(const wchar_t* message, DWORD gracePeriod, DWORD flags, DWORD reason)
{
    return ::InitiateShutdownW(nullptr, const_cast<wchar_t*>(message), gracePeriod, flags, reason);
}
BOOL CWinApi::OpenProcessToken(HANDLE process, DWORD access, HANDLE* token)
{
    return ::OpenProcessToken(process, access, token);
}
BOOL CWinApi::SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length)
{
    return ::SetTokenInformation(token, kind, info, length);
}
BOOL CWinApi::GetExitCodeProcess(HANDLE process, DWORD* exitCode)
{
    return ::GetExitCodeProcess(process, exitCode);
}
int CWinApi::GetUserDefaultLocaleName(std::wstring& name)
{
    wchar_t buffer[LOCALE_NAME_MAX_LENGTH] = {};
    const int count = ::GetUserDefaultLocaleName(buffer, LOCALE_NAME_MAX_LENGTH);
    name.assign(count > 0 ? buffer : L"");
    return count;
}
UINT CWinApi::MsiEnumRelatedProductsW(const wchar_t* upgradeCode, DWORD reserved, DWORD index, wchar_t* product)
{
    return ::MsiEnumRelatedProductsW(upgradeCode, reserved, index, product);
}
BOOL CWinApi::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length, DWORD* returned)
{
    return ::GetTokenInformation(token, kind, info, length, returned);
}
BOOL CWinApi::ConvertSidToStringSidW(PSID sid, wchar_t** text)
{
    return ::ConvertSidToStringSidW(sid, text);
}
HLOCAL CWinApi::LocalFree(HLOCAL memory)
{
    return ::LocalFree(memory);
}
HRESULT CWinApi::CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID iid, void** object)
{
    return ::CoCreateInstance(classId, outer, context, iid, object);
}
DWORD CWinApi::WTSGetActiveConsoleSessionId()
{
    return ::WTSGetActiveConsoleSessionId();
}

} // namespace vek
