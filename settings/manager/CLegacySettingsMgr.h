#pragma once
// The settings manager for files of the older format: the same slots over a
// LegacySettingsDatabase, each under the manager's own lock. It offers no transactions and no
// batches.
#include <memory>
#include <mutex>
#include <string>

#include "settings/legacy/LegacySettingsDatabase.h"
#include "settings/manager/CSettingsMgrBase.h"

namespace qkSettings {

class CLegacySettingsMgr : public CSettingsMgrBase {
public:
    QK_TAL_UNKNOWN_IMPL()

    HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE OpenSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) override;
    HRESULT STDMETHODCALLTYPE EnumSettings(LPCWSTR path, IEnumSettings** names) override;
    HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) override;
    HRESULT STDMETHODCALLTYPE Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher) override;
    HRESULT STDMETHODCALLTYPE Close() override;

private:
    static HRESULT KeyOf(LPCWSTR path, std::wstring& key);

    std::recursive_mutex m_lock;
    std::unique_ptr<LegacySettingsDatabase> m_db;
};

} // namespace qkSettings
