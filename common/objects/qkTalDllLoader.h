#pragma once
// Loads one component DLL by path, binds its "GetFactory" and "GetObjectCount" exports and
// creates objects through its factory. The loader owns the module: it stays loaded until Unload
// or destruction. VerifyModule is asked before every load; this plain loader accepts every path.
// A thread with full rights takes the DLL's imports from its own folder only where no other
// account can write that folder or one above it, and otherwise from the system folder alone.
#include <string>
#include <windows.h>

#include "common/objects/IObjectFactory.h"

class qkTalDllLoader {
public:
    qkTalDllLoader() = default;
    qkTalDllLoader(const qkTalDllLoader&) = delete;
    qkTalDllLoader& operator=(const qkTalDllLoader&) = delete;
    virtual ~qkTalDllLoader();

    // Accepts or refuses the file before it is loaded.
    virtual HRESULT VerifyModule(LPCWSTR path);

    // Binds both exports of the module; QK_E_NOENTRYPOINT when either is missing.
    HRESULT BindExports(HMODULE module);
    // Verifies and loads the DLL and binds its exports. A loader that already holds a DLL answers
    // QK_S_OK for the same path and QK_E_INVALIDARG for a different one.
    HRESULT Load(LPCWSTR path);
    // Creates an object of the DLL by object id and interface id through its factory.
    HRESULT CreateObject(REFGUID objectId, REFIID iid, void** object);
    // Frees the module, if one is held, and forgets both exports.
    void Unload();

    HMODULE GetModule() const { return m_module; }
    bool IsBound() const { return m_getFactory && m_getObjectCount; }
    // The DLL's count of live objects; 0 when nothing is bound.
    LONG GetObjectCount() const { return m_getObjectCount ? m_getObjectCount() : 0; }

private:
    bool IsSamePath(LPCWSTR path) const;

    HMODULE m_module = nullptr;
    PFN_GetFactory m_getFactory = nullptr;
    PFN_GetObjectCount m_getObjectCount = nullptr;
    std::wstring m_path; // the path the held module was loaded from
};
