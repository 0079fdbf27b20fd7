#pragma once
// Which Windows this is (through VerifyVersionInfoW and a cached RtlGetVersion record), WOW64,
// and membership of the Administrators group.
#include <windows.h>
#include <winternl.h>

class qkOSInfo {
public:
    qkOSInfo() = default;
    virtual ~qkOSInfo();
    qkOSInfo(const qkOSInfo&) = delete;
    qkOSInfo& operator=(const qkOSInfo&) = delete;

    // Fills the version cache once (RtlGetVersion, GetSystemInfo); a failure tries again later.
    static BOOL Initialize();
    static const RTL_OSVERSIONINFOEXW& GetVersionInfo();
    static const SYSTEM_INFO& GetSystemInfo();
    static BOOL IsBuild(DWORD build, BOOL orGreater);
    static BOOL IsPlatformNT();
    static BOOL IsWindows2000();
    static BOOL IsWindowsXP(BOOL orGreater);
    static BOOL IsServer2003();
    static BOOL IsWindowsVista(BOOL orGreater);
    static BOOL IsServer2008();
    static BOOL IsWindows7OrGreater();
    static BOOL IsWindows8(BOOL orGreater);
    static BOOL IsWindows81(BOOL orGreater);
    static BOOL IsServer2012OrLater();
    static BOOL IsServer();
    static BOOL IsWow64();
    static BOOL IsNotWow64() { return !IsWow64(); }

    // TRUE when the Administrators group is in the token; notEnabled becomes TRUE when it is
    // there as deny-only (callers preset it to FALSE).
    BOOL GetAdminGroupState(BOOL* notEnabled);
    BOOL IsRunningAsAdmin();
    DWORD GetLastError() const { return m_lastError; }

private:
    static BOOL AtLeast(DWORD major, DWORD minor);
    static BOOL IsWorkstation();

    DWORD m_lastError = 0;
    // A small late-bound table of the instance; nothing binds it.
    HMODULE m_module = nullptr;
    FARPROC m_entries[3] = {};
};
