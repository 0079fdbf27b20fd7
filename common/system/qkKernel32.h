#pragma once
// Kernel32 entry points bound at run time from the system folder's copy of the DLL, so that
// the library imports nothing that older Windows versions lack. A null entry is "not available".
#include "common/system/qkModule.h"

#include <windows.h>

class qkKernel32 : public qkModule {
public:
    qkKernel32();
    ~qkKernel32() override = default;

    // Loads "KERNEL32.DLL" from the system folder and binds; TRUE when a module is held
    // afterwards, even if an entry was missing.
    BOOL Load();
    // Loads the DLL at the path and binds; the result is that of the bind.
    BOOL LoadFrom(const wchar_t* path);
    // Resolve: looks the entries up (TRUE when every one looked up was found); otherwise clears them.
    BOOL Bind(BOOL resolve);
    static BOOL IsWow64Process();

    BOOL(WINAPI* pfnSetProcessWorkingSetSize)(HANDLE, SIZE_T, SIZE_T);
    BOOL(WINAPI* pfnAttachConsole)(DWORD);
    ULONGLONG(WINAPI* pfnVerSetConditionMask)(ULONGLONG, DWORD, BYTE);
    BOOL(WINAPI* pfnVerifyVersionInfoA)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);
    BOOL(WINAPI* pfnVerifyVersionInfoW)(LPOSVERSIONINFOEXW, DWORD, DWORDLONG);
    BOOL(WINAPI* pfnIsWow64Process)(HANDLE, PBOOL);
    BOOLEAN(WINAPI* pfnWow64EnableWow64FsRedirection)(BOOLEAN);
    BOOL(WINAPI* pfnProcessIdToSessionId)(DWORD, DWORD*);
    DWORD(WINAPI* pfnWTSGetActiveConsoleSessionId)();
    UINT(WINAPI* pfnGetSystemWow64DirectoryW)(LPWSTR, UINT);
    UINT(WINAPI* pfnGetSystemWow64DirectoryA)(LPSTR, UINT);
    BOOL(WINAPI* pfnWow64DisableWow64FsRedirection)(PVOID*);
    BOOL(WINAPI* pfnWow64RevertWow64FsRedirection)(PVOID);
    BOOL(WINAPI* pfnGetSystemTimes)(LPFILETIME, LPFILETIME, LPFILETIME);
    BOOL(WINAPI* pfnGetProcessTimes)(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME, LPFILETIME);
    void(WINAPI* pfnGetNativeSystemInfo)(LPSYSTEM_INFO);
    BOOL(WINAPI* pfnGetProductInfo)(DWORD, DWORD, DWORD, DWORD, PDWORD);
    BOOL(WINAPI* pfnSetWaitableTimerEx)
    (HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, PREASON_CONTEXT, ULONG);

private:
    // Looks one entry up (resolve) or clears it; false when it was looked up and is missing.
    template <typename Fn>
    bool BindOne(Fn& entry, const char* name, bool resolve)
    {
        entry = resolve ? GetProc<Fn>(name) : nullptr;
        return !resolve || entry != nullptr;
    }
};
