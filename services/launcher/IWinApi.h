#pragma once
// The launcher's Win32 facade: each operation forwards unchanged to the Windows function of the
// same name, so that the process, session and token code can be driven without the real system.
// Slot order is fixed (destructor first, then the operations as listed). Holders keep it by
// shared pointer; vek::CWinApi is the production implementation and vek::GetDefaultWinApi the
// process-wide instance, which tests may replace.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>
#include <winhttp.h>
#include <wtsapi32.h>

#include <memory>
#include <string>

namespace vek {

class IWinApi {
public:
    virtual ~IWinApi() = default;

    virtual HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) = 0;
    virtual BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) = 0;
    virtual BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) = 0;
    virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) = 0;
    virtual BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, wchar_t* name, DWORD* size) = 0;
    virtual HINTERNET WinHttpOpen(const wchar_t* agent, DWORD accessType, const wchar_t* proxy, const wchar_t* bypass,
                                  DWORD flags) = 0;
    virtual HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* server, INTERNET_PORT port, DWORD reserved) = 0;
    virtual HINTERNET WinHttpOpenRequest(HINTERNET connect, const wchar_t* verb, const wchar_t* object,
                                         const wchar_t* version, const wchar_t* referrer, const wchar_t** acceptTypes,
                                         DWORD flags) = 0;
    virtual BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength, void* optional,
                                    DWORD optionalLength, DWORD totalLength, DWORD_PTR context) = 0;
    virtual BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved) = 0;
    virtual BOOL WinHttpCloseHandle(HINTERNET handle) = 0;
    // On the local server, reserved 0 and version 1.
    virtual BOOL WTSEnumerateSessionsW(HANDLE server, WTS_SESSION_INFOW** sessions, DWORD* count) = 0;
    virtual BOOL WTSQueryUserToken(ULONG sessionId, HANDLE* token) = 0;
    virtual BOOL DuplicateTokenEx(HANDLE token, DWORD access, SECURITY_ATTRIBUTES* attributes,
                                  SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* duplicate) = 0;
    virtual BOOL CreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit) = 0;
    virtual BOOL DestroyEnvironmentBlock(void* environment) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    // No security attributes; handles are not inherited.
    virtual BOOL CreateProcessW(const wchar_t* application, wchar_t* commandLine, DWORD flags, void* environment,
                                const wchar_t* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* process) = 0;
    virtual BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine, DWORD flags,
                                      void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                                      PROCESS_INFORMATION* process) = 0;
    virtual BOOL WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS kind, wchar_t** buffer,
                                             DWORD* bytes) = 0;
    virtual void WTSFreeMemory(void* memory) = 0;
    virtual DWORD GetCurrentProcessId() = 0;
    virtual BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) = 0;
    virtual BOOL GetUserObjectInformationW(HANDLE object, int index, void* info, DWORD length, DWORD* needed) = 0;
    virtual HWINSTA GetProcessWindowStation() = 0;
    // On the local machine.
    virtual BOOL InitiateSystemShutdownExW(const wchar_t* message, DWORD timeout, BOOL forceAppsClosed,
                                           BOOL rebootAfterShutdown, DWORD reason) = 0;
    virtual DWORD InitiateShutdownW(const wchar_t* message, DWORD gracePeriod, DWORD flags, DWORD reason) = 0;
    virtual BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) = 0;
    virtual BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length) = 0;
    virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;
    // Into a string of at most LOCALE_NAME_MAX_LENGTH (85) characters; the count with the NUL, or 0.
    virtual int GetUserDefaultLocaleName(std::wstring& name) = 0;
    virtual UINT MsiEnumRelatedProductsW(const wchar_t* upgradeCode, DWORD reserved, DWORD index, wchar_t* product) = 0;
    virtual BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length,
                                     DWORD* returned) = 0;
    virtual BOOL ConvertSidToStringSidW(PSID sid, wchar_t** text) = 0;
    virtual HLOCAL LocalFree(HLOCAL memory) = 0;
    virtual HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID iid, void** object) = 0;
    virtual DWORD WTSGetActiveConsoleSessionId() = 0;
};

// The process-wide facade: a vek::CWinApi until a test puts another in its place.
std::shared_ptr<IWinApi> GetDefaultWinApi();
// Replaces the process-wide facade (null puts a fresh vek::CWinApi back).
void SetDefaultWinApi(std::shared_ptr<IWinApi> api);

} // namespace vek
