#pragma once
// The process-wide keeper of component DLLs loaded by path: loads each DLL once (optionally after
// a trust check of the file), creates objects through its factory, counts the objects that hold
// it and frees DLLs idle for ten minutes when asked to. qkTalDllLifetimeMgr is the public face:
// its operations forward to the one qkTalDllLifetimeMgrLocal of the process, made on first use.
#include <windows.h>

#include "common/objects/IModuleLifetimeMgr.h"

class qkTalDllLifetimeMgr {
public:
    qkTalDllLifetimeMgr() = default;
    virtual ~qkTalDllLifetimeMgr() = default;

    // Creates an object from a DLL the caller already loaded; the DLL is not recorded.
    virtual HRESULT CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, BYTE verify, BYTE trustLevel,
                                             IModuleLifetimeMgr* owner, void** object);
    // Loads the DLL once per path (verify: trust check first) and creates an object through it.
    virtual HRESULT CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, BYTE verify, BYTE trustLevel,
                                           IModuleLifetimeMgr* owner, void** object);
    virtual HRESULT UnlockModule(HMODULE module);
    virtual HRESULT LockModule(HMODULE module);
    // Frees every DLL idle for more than ten minutes except keep; QK_S_FALSE when none was freed.
    virtual HRESULT UnloadUnusedModules(HMODULE keep);

    // True when the process-wide manager exists (it is made on the first call).
    static bool GetDllLifetimeMgr();

    // The millisecond clock of the idle rule; GetTickCount unless a test sets another (null
    // restores it).
    typedef DWORD(WINAPI* TickSource)();
    static void SetTickSource(TickSource source);

    static constexpr DWORD kIdleMilliseconds = 600000; // ten minutes
};
