#include "settings/manager/qkSettingsModule.h"

#include <new>

#include "settings/file/CSafeFile.h"
#include "settings/manager/CStandaloneSettingsMgr.h"

namespace qkSettings {

namespace {

volatile LONG g_lockCount = 0;

HRESULT R(DWORD r)
{
    return static_cast<HRESULT>(r);
}

} // namespace

HRESULT ModuleAddRef()
{
    if (::InterlockedIncrement(&g_lockCount) == 1) {
        if (!NtSuccess(CSafeFile::InitializeModule())) {
            ::InterlockedDecrement(&g_lockCount);
            return R(result::kFailure);
        }
    }
    return R(result::kOk);
}

HRESULT ModuleRelease()
{
    return ::InterlockedDecrement(&g_lockCount) < 0 ? R(result::kFailure) : R(result::kOk);
}

HRESULT CreateStandaloneSettingsMgr(ISettingsMgr** manager)
{
    if (manager == nullptr)
        return R(result::kInvalidArg);
    if (::InterlockedCompareExchange(&g_lockCount, 0, 0) < 1)
        return R(result::kNotInitialized);
    *manager = nullptr;
    CStandaloneSettingsMgr* object = new (std::nothrow) CStandaloneSettingsMgr();
    if (object == nullptr)
        return R(result::kOutOfMemory);
    object->AddRef();
    HRESULT hr = object->Init();
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *manager = static_cast<ISettingsMgr*>(object);
    return R(result::kOk);
}

} // namespace qkSettings
