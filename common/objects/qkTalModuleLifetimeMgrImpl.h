#pragma once
// The library object behind IModuleLifetimeMgr: creates objects from a DLL by module handle or
// path with itself as their owner, so that each object keeps its DLL locked while it lives. All
// module state lies in the process-wide DLL lifetime manager, to which it forwards.
#include "common/objects/IModuleLifetimeMgr.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/objects/qkTalDllLifetimeMgr.h"

class qkTalModuleLifetimeMgrImpl : public qkTalCountedObject, public IModuleLifetimeMgr {
public:
    QK_TAL_UNKNOWN_IMPL()

    // flags: bit 0 verify the DLL file, bit 1 the trust level.
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, DWORD flags,
                                                       void** object) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid,
                                                       void** object) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                     void** object) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                      void** object) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE UnlockModule(HMODULE module) override;
    HRESULT STDMETHODCALLTYPE LockModule(HMODULE module) override;

    // A new object with one reference on its IModuleLifetimeMgr, or null.
    static IModuleLifetimeMgr* Create();

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalDllLifetimeMgr m_dlls;
};
