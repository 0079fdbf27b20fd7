#include "settings/manager/qkSettingsModule.h"

#include <new>

#include "settings/file/CSafeFile.h"
#include "settings/manager/CStandaloneSettingsMgr.h"

namespace qkSettings {

namespace {

volatile LONG g_lockCount = 0;

} // namespace

HRESULT ModuleAddRef()
{
    if (::InterlockedIncrement(&g_lockCount) == 1) {
        if (!NtSuccess(CSafeFile::InitializeModule())) {
            ::InterlockedDecrement(&g_lockCount);
            return ResultHr(result::kFailure);
        }
    }
    return ResultHr(result::kOk);
}

HRESULT ModuleRelease()
{
    return ::InterlockedDecrement(&g_lockCount) < 0 ? ResultHr(result::kFailure) : ResultHr(result::kOk);
}

HRESULT CreateStandaloneSettingsMgr(ISettingsMgr** manager)
{
    if (manager == nullptr)
        return ResultHr(result::kInvalidArg);
    if (::InterlockedCompareExchange(&g_lockCount, 0, 0) < 1)
        return ResultHr(result::kNotInitialized);
    *manager = nullptr;
    CStandaloneSettingsMgr* object = new (std::nothrow) CStandaloneSettingsMgr();
    if (object == nullptr)
        return ResultHr(result::kOutOfMemory);
    object->AddRef();
    HRESULT hr = object->Init();
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *manager = static_cast<ISettingsMgr*>(object);
    return ResultHr(result::kOk);
}

} // namespace qkSettings
