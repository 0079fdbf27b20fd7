#include "settings/manager/CLockedSettingsMgr.h"

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

HRESULT CLockedSettingsMgr::Init()
{
    return m_lock.Init() ? ResultHr(result::kOk) : ResultHr(result::kFailure);
}

void* CLockedSettingsMgr::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_ISettingsTransaction))
        return static_cast<ISettingsTransaction*>(this);
    if (IsEqualGUID(iid, IID_ISettingsStoreAccess))
        return static_cast<ISettingsStoreAccess*>(this);
    return CSettingsMgrBase::GetInterface(iid);
}

} // namespace qkSettings
