#pragma once
// The factory contract of component DLLs: "GetFactory" gives an IObjectFactory for an object id;
// a factory may also answer IObjectFactoryEx, which hands the new object an owner.
#include <windows.h>
#include <unknwn.h>

struct IModuleLifetimeMgr;

// {00000001-0000-0000-0000-000000000000}
inline constexpr GUID IID_IObjectFactory = {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
// {AE9A53F3-AF14-4C9D-A26E-77B5D287A9CF}
inline constexpr GUID IID_IObjectFactoryEx = {
    0xAE9A53F3, 0xAF14, 0x4C9D, {0xA2, 0x6E, 0x77, 0xB5, 0xD2, 0x87, 0xA9, 0xCF}};

struct IObjectFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) = 0;
};

struct IObjectFactoryEx : public IObjectFactory {
    // The DLL gives the new object the owner, which then keeps the DLL locked while it lives.
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceWithOwner(REFIID iid, void** object, IModuleLifetimeMgr* owner) = 0;
};

// The two exports every component DLL has, by these names.
typedef HRESULT(STDAPICALLTYPE* PFN_GetFactory)(REFGUID objectId, IObjectFactory** factory);
typedef LONG(STDAPICALLTYPE* PFN_GetObjectCount)();
inline constexpr char kGetFactoryExport[] = "GetFactory";
inline constexpr char kGetObjectCountExport[] = "GetObjectCount";
