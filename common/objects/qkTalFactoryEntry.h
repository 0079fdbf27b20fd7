#pragma once
// One entry of the instance factory: knows how to make the objects of one object id. Kind 1
// calls a creator (registered directly or found as a DLL export), kind 2 asks a DLL's own
// factory, kind 3 asks a module lifetime manager to create from a DLL path with the DLL locked.
#include <string>
#include <windows.h>
#include <wrl/client.h>

#include "common/objects/IInstanceFactory.h"
#include "common/objects/IModuleLifetimeMgr.h"
#include "common/objects/IObjectFactory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/system/qkModule.h"

// The entry interface: IObjectFactory (answered under its id) and three more operations.
struct IInstanceFactoryEntry : public IObjectFactory {
    // Makes the entry ready (loads what it needs); called once, right after the entry is made.
    virtual HRESULT STDMETHODCALLTYPE Prepare() = 0;
    // Drops what Prepare loaded; also done when the last reference goes.
    virtual HRESULT STDMETHODCALLTYPE Unload() = 0;
    virtual DWORD STDMETHODCALLTYPE GetKind() = 0;
};

class qkTalFactoryEntry : public qkTalCountedObject, public IInstanceFactoryEntry {
public:
    // The registering operation the entry was made by.
    enum class Source { Creator, Export, ExportByPath, Module, DllPath, Dll };

    static constexpr DWORD kMaxPathChars = 260;

    QK_TAL_UNKNOWN_IMPL()

    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE Prepare() override;
    HRESULT STDMETHODCALLTYPE Unload() override;
    DWORD STDMETHODCALLTYPE GetKind() override;

    // A new entry with one reference, or null when out of memory. Arguments not used by the
    // source are ignored.
    static qkTalFactoryEntry* Create(Source source, REFGUID objectId, PFN_CreateObject creator, HMODULE module,
                                     LPCWSTR path, LPCSTR exportName, IModuleLifetimeMgr* owner, DWORD flags);
    // The kind a registering operation makes.
    static DWORD KindOf(Source source);

    // Whether a repeated registration is the same as this entry's (the kinds already match).
    bool IsSame(Source source, PFN_CreateObject creator, HMODULE module, LPCWSTR path, LPCSTR exportName,
                IModuleLifetimeMgr* owner);

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalFactoryEntry() = default;
    // The last reference unloads what Prepare loaded.
    ~qkTalFactoryEntry() override;

    HRESULT PrepareCreator();
    HRESULT PrepareExport();
    HRESULT PrepareFactory();
    // The entry's own load of the DLL named by m_path (or by the given module's file name).
    HRESULT LoadOwnCopy(HRESULT loadFailure);

    Source m_source = Source::Creator;
    GUID m_objectId = GUID_NULL;
    PFN_CreateObject m_creator = nullptr;
    HMODULE m_givenModule = nullptr; // the caller's handle, never freed here
    std::wstring m_path;             // at most kMaxPathChars characters
    std::string m_exportName;
    qkModule m_module; // the entry's own load of its DLL
    Microsoft::WRL::ComPtr<IObjectFactory> m_factory;
    Microsoft::WRL::ComPtr<IModuleLifetimeMgr> m_dllOwner;
    DWORD m_flags = 0;
};
