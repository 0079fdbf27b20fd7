#include "common/system/qkOSInfo.h"

#include "common/base/qkMemory.h"
#include "common/base/qkTrace.h"
#include "common/system/qkHandle.h"
#include "common/system/qkKernel32.h"
#include "common/system/qkResourceHolders.h"

namespace {

// Filled once; concurrent first calls compute the same values.
RTL_OSVERSIONINFOEXW g_version;
SYSTEM_INFO g_systemInfo;
volatile LONG g_versionFilled;

volatile LONG g_wow64Computed;
volatile LONG g_wow64;

qkKernel32& Wow64Table()
{
    static qkKernel32 table;
    return table;
}

} // namespace

qkOSInfo::~qkOSInfo()
{
    if (m_module != nullptr)
        ::FreeLibrary(m_module);
}

BOOL qkOSInfo::Initialize()
{
    if (g_versionFilled)
        return TRUE;
    using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    if (ntdll == nullptr) {
        QK_TRACE(L"ntdll is not loaded");
        return FALSE;
    }
    auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    if (rtlGetVersion == nullptr) {
        QK_TRACE(L"no RtlGetVersion");
        return FALSE;
    }
    RTL_OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    LONG status = rtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&version));
    if (status < 0) {
        QK_TRACE(L"RtlGetVersion : 0x%08lX", static_cast<unsigned long>(status));
        return FALSE;
    }
    g_version = version;
    ::GetSystemInfo(&g_systemInfo);
    ::InterlockedExchange(&g_versionFilled, 1);
    return TRUE;
}

const RTL_OSVERSIONINFOEXW& qkOSInfo::GetVersionInfo()
{
    Initialize();
    return g_version;
}

const SYSTEM_INFO& qkOSInfo::GetSystemInfo()
{
    Initialize();
    return g_systemInfo;
}

BOOL qkOSInfo::IsBuild(DWORD build, BOOL orGreater)
{
    if (!Initialize())
        return FALSE;
    return orGreater ? g_version.dwBuildNumber >= build : g_version.dwBuildNumber == build;
}

BOOL qkOSInfo::AtLeast(DWORD major, DWORD minor)
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    ULONGLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask);
}

BOOL qkOSInfo::IsWorkstation()
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.wProductType = VER_NT_WORKSTATION;
    ULONGLONG mask = ::VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask);
}

BOOL qkOSInfo::IsPlatformNT()
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    ULONGLONG mask = ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_PLATFORMID, mask);
}

BOOL qkOSInfo::IsWindows2000()
{
    return AtLeast(5, 0) && !AtLeast(5, 1);
}

BOOL qkOSInfo::IsWindowsXP(BOOL orGreater)
{
    return orGreater ? AtLeast(5, 1) : (AtLeast(5, 1) && !AtLeast(5, 2));
}

BOOL qkOSInfo::IsServer2003()
{
    return !IsWorkstation() && AtLeast(5, 2) && !AtLeast(6, 0);
}

BOOL qkOSInfo::IsWindowsVista(BOOL orGreater)
{
    return orGreater ? AtLeast(6, 0) : (AtLeast(6, 0) && !AtLeast(6, 1));
}

BOOL qkOSInfo::IsServer2008()
{
    return !IsWorkstation() && AtLeast(6, 0) && !AtLeast(6, 2);
}

BOOL qkOSInfo::IsWindows7OrGreater()
{
    return AtLeast(6, 1);
}

BOOL qkOSInfo::IsWindows8(BOOL orGreater)
{
    return orGreater ? AtLeast(6, 2) : (IsWorkstation() && AtLeast(6, 2) && !AtLeast(6, 3));
}

BOOL qkOSInfo::IsWindows81(BOOL orGreater)
{
    return orGreater ? AtLeast(6, 3) : (AtLeast(6, 3) && !AtLeast(10, 0));
}

BOOL qkOSInfo::IsServer2012OrLater()
{
    return AtLeast(6, 2) && !IsWorkstation();
}

BOOL qkOSInfo::IsServer()
{
    return !IsWorkstation();
}

BOOL qkOSInfo::IsWow64()
{
    if (g_wow64Computed)
        return g_wow64;
    qkKernel32& table = Wow64Table();
    if (table.Get() == nullptr && !table.Load())
        return FALSE; // not cached: a later call tries again
    BOOL wow64 = FALSE;
    if (table.pfnIsWow64Process != nullptr) {
        BOOL flag = FALSE;
        if (table.pfnIsWow64Process(::GetCurrentProcess(), &flag))
            wow64 = flag == TRUE;
    }
    ::InterlockedExchange(&g_wow64, wow64);
    ::InterlockedExchange(&g_wow64Computed, 1);
    return wow64;
}

BOOL qkOSInfo::GetAdminGroupState(BOOL* notEnabled)
{
    if (!IsPlatformNT())
        return TRUE;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    qkAllocatedSid adminSid;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, adminSid.Receive())) {
        m_lastError = ::GetLastError();
        return FALSE;
    }
    HANDLE rawToken = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &rawToken)) {
        DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN) {
            m_lastError = error;
            return FALSE;
        }
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
            m_lastError = ::GetLastError();
            return FALSE;
        }
    }
    qkHandle token(rawToken);

    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenGroups, nullptr, 0, &size)) {
        DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            m_lastError = error;
            return FALSE;
        }
    }
    qkMemory buffer;
    auto* groups = static_cast<TOKEN_GROUPS*>(buffer.NewAlloc(size));
    if (groups == nullptr) {
        m_lastError = ERROR_OUTOFMEMORY;
        return FALSE;
    }
    if (!::GetTokenInformation(token.Get(), TokenGroups, groups, size, &size)) {
        m_lastError = ::GetLastError();
        return FALSE;
    }
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, adminSid.Get())) {
            // Present but not enabled: a deny-only group, as in a filtered token.
            if (notEnabled != nullptr && !(groups->Groups[i].Attributes & SE_GROUP_ENABLED))
                *notEnabled = TRUE;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL qkOSInfo::IsRunningAsAdmin()
{
    BOOL notEnabled = FALSE;
    return GetAdminGroupState(&notEnabled) && !notEnabled;
}
