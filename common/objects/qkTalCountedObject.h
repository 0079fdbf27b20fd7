#pragma once
// The first base of every shareable library object: a reference count, an optional owner that
// keeps the object's module locked, and the module object count that tells whether the module
// holding library objects may be unloaded.
//
// A class derives from qkTalCountedObject and from its interfaces, answers its interface ids in
// GetInterface (the null id yields its first interface) and puts QK_TAL_UNKNOWN_IMPL() in its
// body for the three reference-counting operations.
#include <new>
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include "common/objects/IModuleLifetimeMgr.h"
#include "common/objects/qkTalResult.h"

class qkTalCountedObject {
public:
    qkTalCountedObject();
    qkTalCountedObject(const qkTalCountedObject&) = delete;
    qkTalCountedObject& operator=(const qkTalCountedObject&) = delete;
    virtual ~qkTalCountedObject();

    virtual HRESULT FinalConstruct();
    // Called by the last Release just before the object is destroyed.
    virtual void FinalRelease();
    // Borrowed owner pointer, or null.
    virtual IModuleLifetimeMgr* GetOwner();
    // Replaces the owner reference (adds one to the new owner, releases the old one).
    virtual void SetOwner(IModuleLifetimeMgr* owner);
    // Locks this object's module through the owner, then stores the owner.
    virtual HRESULT AttachOwner(IModuleLifetimeMgr* owner);

    ULONG InternalAddRef();
    ULONG InternalRelease();
    HRESULT InternalQueryInterface(REFIID iid, void** object);

    // Number of library objects alive in this module.
    static LONG GetModuleObjectCount();
    // The module (image) that holds this code.
    static HMODULE GetCodeModule();

protected:
    // The interface for an id, or null; the null id gives the first interface.
    virtual void* GetInterface(REFIID iid) = 0;

private:
    volatile LONG m_refCount;
    Microsoft::WRL::ComPtr<IModuleLifetimeMgr> m_owner;
};

// Object creators: build the object, add one reference through the returned interface.
// An allocation failure gives null, as creators never throw.
template <class T, class I>
I* qkTalCreateObject()
{
    try {
        T* object = new T();
        I* itf = static_cast<I*>(object);
        itf->AddRef();
        return itf;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

#define QK_TAL_UNKNOWN_IMPL()                                                    \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override \
    {                                                                            \
        return InternalQueryInterface(iid, object);                              \
    }                                                                            \
    ULONG STDMETHODCALLTYPE AddRef() override                                    \
    {                                                                            \
        return InternalAddRef();                                                 \
    }                                                                            \
    ULONG STDMETHODCALLTYPE Release() override                                   \
    {                                                                            \
        return InternalRelease();                                                \
    }
