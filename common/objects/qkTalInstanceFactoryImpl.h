#pragma once
// The instance factory object: a map from object id to the entry that makes its objects, with a
// count of the registrations that put it there. Lookups take the shared side of the map lock,
// registrations the exclusive side; creations call the entry outside the lock.
#include <cstring>
#include <map>
#include <windows.h>
#include <wrl/client.h>

#include "common/base/qkReadWriteLock.h"
#include "common/objects/IInstanceFactory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/objects/qkTalFactoryEntry.h"

class qkTalInstanceFactoryImpl : public IInstanceFactory, public qkTalCountedObject {
public:
    QK_TAL_UNKNOWN_IMPL()

    HRESULT STDMETHODCALLTYPE RegisterDll(REFGUID objectId, LPCWSTR path, IModuleLifetimeMgr* owner,
                                          DWORD flags) override;
    HRESULT STDMETHODCALLTYPE RegisterModule(REFGUID objectId, HMODULE module) override;
    HRESULT STDMETHODCALLTYPE RegisterDllPath(REFGUID objectId, LPCWSTR path) override;
    HRESULT STDMETHODCALLTYPE RegisterExport(REFGUID objectId, HMODULE module, LPCSTR exportName) override;
    HRESULT STDMETHODCALLTYPE RegisterExportByPath(REFGUID objectId, LPCWSTR path, LPCSTR exportName) override;
    HRESULT STDMETHODCALLTYPE RegisterCreator(REFGUID objectId, PFN_CreateObject creator) override;
    HRESULT STDMETHODCALLTYPE Unregister(REFGUID objectId) override;
    HRESULT STDMETHODCALLTYPE CreateInstance(REFGUID objectId, REFIID iid, void** object) override;
    bool STDMETHODCALLTYPE IsRegistered(REFGUID objectId) override;
    HRESULT STDMETHODCALLTYPE RegisterFromRepository(REFGUID objectId, IModuleLifetimeMgr* owner, DWORD flags) override;
    bool STDMETHODCALLTYPE IsRegisteredLocally(REFGUID objectId) override;

    ~qkTalInstanceFactoryImpl() override;

    // A new, empty factory with one reference, or null.
    static IInstanceFactory* Create();

protected:
    void* GetInterface(REFIID iid) override;

private:
    using Source = qkTalFactoryEntry::Source;

    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
    };
    struct Registration {
        Microsoft::WRL::ComPtr<qkTalFactoryEntry> entry;
        LONG count = 0;
    };

    qkTalInstanceFactoryImpl() = default;

    HRESULT Register(Source source, REFGUID objectId, PFN_CreateObject creator, HMODULE module, LPCWSTR path,
                     LPCSTR exportName, IModuleLifetimeMgr* owner, DWORD flags);
    // The DLL path the object repository names for the id, registered by path (no owner) or
    // through the owner.
    HRESULT RegisterDllFromRepository(REFGUID objectId, bool withOwner, IModuleLifetimeMgr* owner, DWORD flags);
    Microsoft::WRL::ComPtr<qkTalFactoryEntry> FindEntry(REFGUID objectId);

    std::map<GUID, Registration, GuidLess> m_entries;
    qkReadWriteLock m_lock;
};
