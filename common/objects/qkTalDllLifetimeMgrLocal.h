#pragma once
// The one DLL lifetime manager of the process (see qkTalDllLifetimeMgr).
#include <map>
#include <memory>
#include <string>
#include <wrl/client.h>

#include "common/base/qkCriticalSection.h"
#include "common/base/qkReadWriteLock.h"
#include "common/base/qkScopedReadLock.h"
#include "common/base/qkScopedWriteLock.h"
#include "common/objects/IObjectFactory.h"
#include "common/objects/qkTalDllLifetimeMgr.h"
#include "common/objects/qkTalDllLoader.h"
#include "common/objects/IVerifyTrust.h"

class qkTalDllLifetimeMgrLocal : public qkTalDllLifetimeMgr {
public:
    // The maps are read under the shared side and changed under the exclusive side.
    using MapLock = qkReadWriteLock;
    using MapReadGuard = qkScopedReadLock;
    using MapWriteGuard = qkScopedWriteLock;

    // One loaded DLL. Its usage is the lock count while the counted flag is set, else the DLL's
    // own "GetObjectCount".
    class ModuleRecord {
    public:
        HMODULE module = nullptr;
        std::wstring path;
        PFN_GetFactory getFactory = nullptr;
        PFN_GetObjectCount getObjectCount = nullptr;
        BYTE counted = 1;
        BYTE verified = 0;

        LONG Lock();
        LONG Unlock();
        LONG GetUsage();
        DWORD GetIdleSince();
        void ClearCounted();

    private:
        LONG m_lockCount = 0;
        DWORD m_idleSince = 0; // tick when the lock count fell to 0; 0: not idle
        qkCriticalSection m_lock;
    };

    // mapLock: the lock of the maps; null for a plain one (tests pass one that lets them stop
    // a thread at a chosen point).
    explicit qkTalDllLifetimeMgrLocal(std::unique_ptr<MapLock> mapLock = nullptr);
    ~qkTalDllLifetimeMgrLocal() override;

    HRESULT CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, BYTE verify, BYTE trustLevel,
                                     IModuleLifetimeMgr* owner, void** object) override;
    HRESULT CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, BYTE verify, BYTE trustLevel,
                                   IModuleLifetimeMgr* owner, void** object) override;
    HRESULT UnlockModule(HMODULE module) override;
    HRESULT LockModule(HMODULE module) override;
    HRESULT UnloadUnusedModules(HMODULE keep) override;

    static DWORD Now();

private:
    HRESULT BindModule(HMODULE module, LPCWSTR path, BYTE verify, bool store, ModuleRecord** record);
    HRESULT LoadModule(LPCWSTR path, BYTE verify, BYTE trustLevel, ModuleRecord** record);
    bool VerifyModuleFile(LPCWSTR path, BYTE trustLevel);
    HRESULT CreateFromRecord(ModuleRecord* record, REFGUID classId, REFIID iid, IModuleLifetimeMgr* owner,
                             void** object);
    ModuleRecord* FindRecord(HMODULE module); // caller holds a side of the map lock

    std::map<HMODULE, std::unique_ptr<ModuleRecord>> m_modules;
    std::map<std::wstring, HMODULE> m_paths;
    std::unique_ptr<MapLock> m_mapLock;
    qkCriticalSection m_trustLock;
    volatile LONG m_creations = 0;
    qkTalDllLoader m_trustDll;
    Microsoft::WRL::ComPtr<IUnknown> m_trustObject;
    Microsoft::WRL::ComPtr<IVerifyTrust> m_verifyTrust;
};
