#pragma once
// The settings manager of the current store format: it owns the data root of one open store
// file, hands out one settings object per section path, writes settings objects back,
// enumerates and deletes sections and runs transactions, all under its reader/writer lock.
#include <list>
#include <memory>

#include <wrl/client.h>

#include "common/base/qkCriticalSection.h"
#include "settings/manager/CLockedSettingsMgr.h"
#include "settings/objects/CSettings.h"
#include "settings/objects/CValueTable.h"
#include "settings/root/CDataRoot.h"

namespace qkSettings {

class CSettingsMgr : public CLockedSettingsMgr {
public:
    CSettingsMgr();
    ~CSettingsMgr() override;
    QK_TAL_UNKNOWN_IMPL()

    HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE OpenSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) override;
    HRESULT STDMETHODCALLTYPE EnumSettings(LPCWSTR path, IEnumSettings** names) override;
    HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) override;
    HRESULT STDMETHODCALLTYPE Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher) override;
    HRESULT STDMETHODCALLTYPE Close() override;

    HRESULT STDMETHODCALLTYPE BeginTransaction() override;
    HRESULT STDMETHODCALLTYPE CommitTransaction() override;
    HRESULT STDMETHODCALLTYPE RollbackTransaction() override;

    HRESULT STDMETHODCALLTYPE CreateSettingsBatch(ISettingsBatch** batch) override;

private:
    class CipherAdapter;

    static HRESULT NewSettings(LPCWSTR path, Microsoft::WRL::ComPtr<CSettings>& object);
    // Remembers what a save inside the open transaction wrote, to mark it saved at commit.
    void KeepUntilCommit(ISettingsInternal* object);
    // Under the write lock, once the transaction has ended (committed: its saves are marked).
    void EndTransaction(bool committed);

    // Read-locked calls run at once, but the data root keeps shared state for every read (its
    // node cache, the database file's block buffer, the restored flag): its calls take turns.
    qkCriticalSection m_rootAccess;
    std::unique_ptr<CDataRoot> m_root;
    std::unique_ptr<CipherAdapter> m_cipher;
    // Objects saved inside the open transaction and what each save wrote. Their changes are safe
    // only once it commits: a roll back leaves them to be saved again.
    struct PendingSave {
        Microsoft::WRL::ComPtr<ISettingsInternal> object;
        CValueTable saved;
    };
    std::list<PendingSave> m_pendingSaves;
};

} // namespace qkSettings
