#pragma once
// The production Win32 facade: every operation calls the Windows function of its name.
#include "services/launcher/IWinApi.h"

namespace vek {

class CWinApi : public IWinApi {
public:
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override;
    BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) override;
    BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) override;
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, wchar_t* name, DWORD* size) override;
    HINTERNET WinHttpOpen(const wchar_t* agent, DWORD accessType, const wchar_t* proxy, const wchar_t* bypass,
                          DWORD flags) override;
    HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* server, INTERNET_PORT port, DWORD reserved) override;
    HINTERNET WinHttpOpenRequest(HINTERNET connect, const wchar_t* verb, const wchar_t* object, const wchar_t* version,
                                 const wchar_t* referrer, const wchar_t** acceptTypes, DWORD flags) override;
    BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength, void* optional,
                            DWORD optionalLength, DWORD totalLength, DWORD_PTR context) override;
    BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved) override;
    BOOL WinHttpCloseHandle(HINTERNET handle) override;
    BOOL WTSEnumerateSessionsW(HANDLE server, WTS_SESSION_INFOW** sessions, DWORD* count) override;
    BOOL WTSQueryUserToken(ULONG sessionId, HANDLE* token) override;
    BOOL DuplicateTokenEx(HANDLE token, DWORD access, SECURITY_ATTRIBUTES* attributes,
                          SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* duplicate) override;
    BOOL CreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit) override;
    BOOL DestroyEnvironmentBlock(void* environment) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL CreateProcessW(const wchar_t* application, wchar_t* commandLine, DWORD flags, void* environment,
                        const wchar_t* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* process) override;
    BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine, DWORD flags,
                              void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                              PROCESS_INFORMATION* process) override;
    BOOL WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS kind, wchar_t** buffer,
                                     DWORD* bytes) override;
    void WTSFreeMemory(void* memory) override;
    DWORD GetCurrentProcessId() override;
    BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) override;
    BOOL GetUserObjectInformationW(HANDLE object, int index, void* info, DWORD length, DWORD* needed) override;
    HWINSTA GetProcessWindowStation() override;
    BOOL InitiateSystemShutdownExW(const wchar_t* message, DWORD timeout, BOOL forceAppsClosed,
                                   BOOL rebootAfterShutdown, DWORD reason) override;
    DWORD InitiateShutdownW(const wchar_t* message, DWORD gracePeriod, DWORD flags, DWORD reason) override;
    BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override;
    BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length) override;
    BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
    int GetUserDefaultLocaleName(std::wstring& name) override;
    UINT MsiEnumRelatedProductsW(const wchar_t* upgradeCode, DWORD reserved, DWORD index, wchar_t* product) override;
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length,
                             DWORD* returned) override;
    BOOL ConvertSidToStringSidW(PSID sid, wchar_t** text) override;
    HLOCAL LocalFree(HLOCAL memory) override;
    HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID iid, void** object) override;
    DWORD WTSGetActiveConsoleSessionId() override;
};

} // namespace vek
