#pragma once
// The outer manager and the store's manager: each guards its state with a reader/writer lock
// and answers the transaction and store-access interfaces besides the manager interface. (The
// older format's manager has a plain lock and neither interface.)
#include "settings/manager/CReaderWriterLock.h"
#include "settings/manager/CSettingsMgrBase.h"

namespace qkSettings {

class CLockedSettingsMgr : public CSettingsMgrBase, public ISettingsTransaction, public ISettingsStoreAccess {
public:
    // Creates the lock's event and semaphore.
    HRESULT Init();

protected:
    void* GetInterface(REFIID iid) override;

    CReaderWriterLock m_lock;
};

} // namespace qkSettings
