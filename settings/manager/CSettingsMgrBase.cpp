#include "settings/manager/CSettingsMgrBase.h"

#include "settings/store/qkSettingsText.h"

namespace qkSettings {

void* CSettingsMgrBase::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_ISettingsMgr) || IsEqualGUID(iid, IID_ISettingsMgrAlias) || IsEqualGUID(iid, GUID_NULL) ||
        IsEqualGUID(iid, IID_IUnknown))
        return static_cast<ISettingsMgr*>(this);
    return nullptr;
}

HRESULT CSettingsMgrBase::GetSettingsA(LPCSTR path, ISettings** settings)
{
    return WithWideName(path, [&](LPCWSTR wide) { return GetSettings(wide, settings); });
}

HRESULT CSettingsMgrBase::OpenSettingsA(LPCSTR path, ISettings** settings)
{
    return WithWideName(path, [&](LPCWSTR wide) { return OpenSettings(wide, settings); });
}

HRESULT CSettingsMgrBase::EnumSettingsA(LPCSTR path, IEnumSettings** names)
{
    return WithWideName(path, [&](LPCWSTR wide) { return EnumSettings(wide, names); });
}

HRESULT CSettingsMgrBase::DeleteSettingsA(LPCSTR path)
{
    return WithWideName(path, [&](LPCWSTR wide) { return DeleteSettings(wide); });
}

} // namespace qkSettings
