#include "common/objects/EnsureLocalUcrtLoaded.h"

#include <string>

#include "common/base/qkTrace.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkPathExpansion.h"

namespace qkLib {

namespace {

volatile LONG g_status = 0;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK RunLoad(PINIT_ONCE, PVOID, PVOID*)
{
    LoadLocalUcrtOnce();
    return TRUE;
}

} // namespace

HRESULT LoadLocalUcrtOnce()
{
    InterlockedExchange(&g_status, 0);
    std::wstring path;
    bool expanded = false;
    try {
        expanded = qkPathExpansion::ExpandPath(L"%INSTALLDIR%\\ucrtbase.dll", path) != FALSE;
    } catch (...) {
        expanded = false;
    }
    if (!expanded) {
        QK_TRACE(L"%%INSTALLDIR%%\\ucrtbase.dll does not expand");
        InterlockedExchange(&g_status, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        return g_status;
    }
    // Never freed: the runtime stays for the life of the process.
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module) {
        QK_TRACE(L"%s loaded at %p", path.c_str(), module);
    } else {
        const DWORD error = GetLastError();
        InterlockedExchange(&g_status, error ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED);
        QK_TRACE(L"%s not loaded, error %lu", path.c_str(), error);
    }
    return g_status;
}

HRESULT EnsureLocalUcrtLoaded()
{
    if (qkOSInfo::IsWindows8(TRUE)) {
        QK_TRACE(L"Windows 8 or later: the system's C runtime serves");
        return S_OK;
    }
    InitOnceExecuteOnce(&g_once, RunLoad, nullptr, nullptr);
    const HRESULT status = InterlockedCompareExchange(&g_status, 0, 0);
    QK_TRACE(L"status 0x%08lX", static_cast<unsigned long>(status));
    return status;
}

} // namespace qkLib
