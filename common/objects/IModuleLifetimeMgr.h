#pragma once
// The owner interface of the object model: an object that has an owner keeps the owner's lock on
// the module that holds the object's code for as long as it lives. Implemented by
// qkTalModuleLifetimeMgrImpl.
#include <windows.h>
#include <unknwn.h>

// {8F7C6659-5B5E-4905-AF2C-30633FD62B1A}
inline constexpr GUID IID_IModuleLifetimeMgr = {
    0x8F7C6659, 0x5B5E, 0x4905, {0xAF, 0x2C, 0x30, 0x63, 0x3F, 0xD6, 0x2B, 0x1A}};

struct IModuleLifetimeMgr : public IUnknown {
    // flags: bit 0 verify the DLL file, bit 1 trust level.
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, DWORD flags,
                                                               void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid,
                                                               void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                             void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                              void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid,
                                                             void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid,
                                                              void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnlockModule(HMODULE module) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockModule(HMODULE module) = 0;
};
