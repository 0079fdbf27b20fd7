#pragma once
// The instance factory's interface: object ids registered with a way to make their objects (an
// in-process creator, a DLL export, a DLL's factory, or a DLL served through a module lifetime
// manager), and objects created by object id, with the object repository as fall-back.
#include <windows.h>
#include <unknwn.h>

struct IModuleLifetimeMgr;

// {88E4C84C-092E-4A86-B8CA-4C3611B9A31E}
inline constexpr GUID IID_IInstanceFactory = {
    0x88E4C84C, 0x092E, 0x4A86, {0xB8, 0xCA, 0x4C, 0x36, 0x11, 0xB9, 0xA3, 0x1E}};
// {89A94F96-90E0-4B03-8DF2-1248E42CEE96}: an older id answered with the same interface.
inline constexpr GUID IID_IInstanceFactory2 = {
    0x89A94F96, 0x90E0, 0x4B03, {0x8D, 0xF2, 0x12, 0x48, 0xE4, 0x2C, 0xEE, 0x96}};

// A creator: the new object's first interface with one reference, or null.
typedef IUnknown*(STDAPICALLTYPE* PFN_CreateObject)();

struct IInstanceFactory : public IUnknown {
    // flags 0 to 3: bit 0 verify the DLL file, bit 1 the trust level (module lifetime manager).
    virtual HRESULT STDMETHODCALLTYPE RegisterDll(REFGUID objectId, LPCWSTR path, IModuleLifetimeMgr* owner,
                                                  DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterModule(REFGUID objectId, HMODULE module) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterDllPath(REFGUID objectId, LPCWSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterExport(REFGUID objectId, HMODULE module, LPCSTR exportName) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterExportByPath(REFGUID objectId, LPCWSTR path, LPCSTR exportName) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterCreator(REFGUID objectId, PFN_CreateObject creator) = 0;
    // Takes back one registration; the entry goes when its last registration does.
    virtual HRESULT STDMETHODCALLTYPE Unregister(REFGUID objectId) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(REFGUID objectId, REFIID iid, void** object) = 0;
    // Registered here, or known to the object repository.
    virtual bool STDMETHODCALLTYPE IsRegistered(REFGUID objectId) = 0;
    // Registers the DLL that the object repository names for the id, through the owner.
    virtual HRESULT STDMETHODCALLTYPE RegisterFromRepository(REFGUID objectId, IModuleLifetimeMgr* owner,
                                                             DWORD flags) = 0;
    virtual bool STDMETHODCALLTYPE IsRegisteredLocally(REFGUID objectId) = 0;
};
