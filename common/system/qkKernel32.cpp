#include "common/system/qkKernel32.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkSplitPath.h"

#include <string>

qkKernel32::qkKernel32()
{
    Bind(FALSE);
}

BOOL qkKernel32::Load()
{
    Bind(FALSE);
    Free();
    qkExceptionInfo info;
    try {
        std::wstring path;
        if (!qkSplitPath::GetSystemDirectory(path))
            return FALSE;
        if (!qkStringConvert::AppendPath(path, L"KERNEL32.DLL"))
            return FALSE;
        LoadFrom(path.c_str());
        return m_module != nullptr;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkKernel32::LoadFrom(const wchar_t* path)
{
    if (!LoadEx(path))
        return FALSE;
    return Bind(TRUE);
}

BOOL qkKernel32::Bind(BOOL resolveFlag)
{
    if (resolveFlag && m_module == nullptr)
        return FALSE;
    const bool resolve = resolveFlag != FALSE;
    bool all = true;
    all &= BindOne(pfnSetProcessWorkingSetSize, "SetProcessWorkingSetSize", resolve);
    all &= BindOne(pfnAttachConsole, "AttachConsole", resolve);
    all &= BindOne(pfnVerSetConditionMask, "VerSetConditionMask", resolve);
    all &= BindOne(pfnVerifyVersionInfoA, "VerifyVersionInfoA", resolve);
    all &= BindOne(pfnVerifyVersionInfoW, "VerifyVersionInfoW", resolve);
    all &= BindOne(pfnIsWow64Process, "IsWow64Process", resolve);
    all &= BindOne(pfnProcessIdToSessionId, "ProcessIdToSessionId", resolve);
    all &= BindOne(pfnWTSGetActiveConsoleSessionId, "WTSGetActiveConsoleSessionId", resolve);
    all &= BindOne(pfnGetSystemWow64DirectoryW, "GetSystemWow64DirectoryW", resolve);
    all &= BindOne(pfnGetSystemWow64DirectoryA, "GetSystemWow64DirectoryA", resolve);

    // The redirection entries matter only to a WOW64 process.
    const bool wow64 = resolve && IsWow64Process();
    all &= BindOne(pfnWow64EnableWow64FsRedirection, "Wow64EnableWow64FsRedirection", wow64);
    all &= BindOne(pfnWow64DisableWow64FsRedirection, "Wow64DisableWow64FsRedirection", wow64);
    all &= BindOne(pfnWow64RevertWow64FsRedirection, "Wow64RevertWow64FsRedirection", wow64);
    all &= BindOne(pfnGetNativeSystemInfo, "GetNativeSystemInfo", wow64);

    all &= BindOne(pfnSetWaitableTimerEx, "SetWaitableTimerEx", resolve && qkOSInfo::IsWindows7OrGreater());
    all &= BindOne(pfnGetSystemTimes, "GetSystemTimes", resolve);
    all &= BindOne(pfnGetProcessTimes, "GetProcessTimes", resolve);
    all &= BindOne(pfnGetProductInfo, "GetProductInfo", resolve);
    return all ? TRUE : FALSE;
}

BOOL qkKernel32::IsWow64Process()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return FALSE;
    auto isWow64 =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (isWow64 == nullptr || !isWow64(::GetCurrentProcess(), &wow64))
        return FALSE;
    return wow64;
}
