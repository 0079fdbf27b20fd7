#pragma once
// The settings manager of the current store format: it owns the data root of one open store
// file, hands out one settings object per section path, writes settings objects back,
// enumerates and deletes sections and runs transactions, all under its reader/writer lock.
#include <memory>

#include "common/base/qkCriticalSection.h"
#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/manager/CReaderWriterLock.h"
#include "settings/root/CDataRoot.h"

namespace qkSettings {

class CSettingsMgr : public qkTalCountedObject,
                     public ISettingsMgr,
                     public ISettingsTransaction,
                     public ISettingsStoreAccess {
public:
    CSettingsMgr();
    ~CSettingsMgr() override;
    QK_TAL_UNKNOWN_IMPL()

    // Creates the lock's event and semaphore.
    HRESULT Init();

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

protected:
    void* GetInterface(REFIID iid) override;

private:
    class CipherAdapter;

    CReaderWriterLock m_lock;
    // Read-locked calls run at once, but the data root keeps shared state for every read (its
    // node cache, the database file's block buffer, the restored flag): its calls take turns.
    qkCriticalSection m_rootAccess;
    std::unique_ptr<CDataRoot> m_root;
    std::unique_ptr<CipherAdapter> m_cipher;
};

} // namespace qkSettings
