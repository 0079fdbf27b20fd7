#pragma once
// The entry object of the settings store: it opens one store file, picks the manager for its
// format, and forwards every call to it under its own reader/writer lock.
#include <wrl/client.h>

#include "settings/manager/CLockedSettingsMgr.h"

namespace qkSettings {

class CStandaloneSettingsMgr : public CLockedSettingsMgr {
public:
    QK_TAL_UNKNOWN_IMPL()
    ~CStandaloneSettingsMgr() override;

    // Every slot, the narrow twins too, is handed on unchanged to the same slot of the manager
    // that serves the open store.
    HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE GetSettingsA(LPCSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE OpenSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE OpenSettingsA(LPCSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) override;
    HRESULT STDMETHODCALLTYPE EnumSettings(LPCWSTR path, IEnumSettings** names) override;
    HRESULT STDMETHODCALLTYPE EnumSettingsA(LPCSTR path, IEnumSettings** names) override;
    HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) override;
    HRESULT STDMETHODCALLTYPE DeleteSettingsA(LPCSTR path) override;
    HRESULT STDMETHODCALLTYPE Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher) override;
    HRESULT STDMETHODCALLTYPE Close() override;

    HRESULT STDMETHODCALLTYPE BeginTransaction() override;
    HRESULT STDMETHODCALLTYPE CommitTransaction() override;
    HRESULT STDMETHODCALLTYPE RollbackTransaction() override;

    HRESULT STDMETHODCALLTYPE CreateSettingsBatch(ISettingsBatch** batch) override;

    // 0x10000 for a store of the older format (or fewer than 4 bytes), 0x10001 for any other
    // file, else the mapped error of the open or read (0x80010300 for a missing file).
    static HRESULT ProbeFormat(LPCWSTR storePath);

private:
    template <typename Call>
    HRESULT Forward(Call call);
    // The chosen manager's Open, under the read lock.
    HRESULT OpenInner(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher);

    Microsoft::WRL::ComPtr<ISettingsMgr> m_inner;
    Microsoft::WRL::ComPtr<ISettingsTransaction> m_transaction;
    Microsoft::WRL::ComPtr<ISettingsStoreAccess> m_storeAccess;
};

} // namespace qkSettings
