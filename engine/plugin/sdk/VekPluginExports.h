#pragma once
// What a plug-in DLL exports, by these undecorated names (see VekPlugin.def):
//   HRESULT __stdcall GetFactory(REFGUID classId, IObjectFactory** factory);
//   LONG    __stdcall GetObjectCount();
// GetFactory gives a factory for the class id (E_NOINTERFACE or CLASS_E_CLASSNOTAVAILABLE for a class
// the DLL does not serve); the launcher calls its CreateInstance with the interface id and releases
// it. GetObjectCount gives the number of live objects, so that the DLL is not unloaded under them.
#include <windows.h>
#include <unknwn.h>

#ifndef VEK_PLUGIN_HOST
// {00000001-0000-0000-0000-000000000000}
inline constexpr GUID IID_IObjectFactory = {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};

struct IObjectFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) = 0;
};
#endif

extern "C" {
HRESULT STDAPICALLTYPE GetFactory(REFGUID classId, IObjectFactory** factory);
LONG STDAPICALLTYPE GetObjectCount();
}
