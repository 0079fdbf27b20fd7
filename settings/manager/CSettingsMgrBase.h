#pragma once
// What the three settings managers share: the object model with the manager interface's
// identifiers, and the narrow twins of the path slots (the path converted from the ANSI code
// page, then the wide slot). The outer manager hands its narrow slots on unchanged instead.
#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"

namespace qkSettings {

class CSettingsMgrBase : public qkTalCountedObject, public ISettingsMgr {
public:
    HRESULT STDMETHODCALLTYPE GetSettingsA(LPCSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE OpenSettingsA(LPCSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE EnumSettingsA(LPCSTR path, IEnumSettings** names) override;
    HRESULT STDMETHODCALLTYPE DeleteSettingsA(LPCSTR path) override;

protected:
    // The manager interface for its identifier, its alias and the null identifier, else null.
    void* GetInterface(REFIID iid) override;
};

} // namespace qkSettings
