#include "common/objects/qkTalCountedObject.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {
// One counter per module: the library is linked statically into each module that uses it.
volatile LONG g_moduleObjectCount = 0;
} // namespace

qkTalCountedObject::qkTalCountedObject()
{
    InterlockedExchange(&m_refCount, 0);
    InterlockedIncrement(&g_moduleObjectCount);
}

qkTalCountedObject::~qkTalCountedObject()
{
    m_owner.Reset();
    InterlockedDecrement(&g_moduleObjectCount);
}

HRESULT qkTalCountedObject::FinalConstruct()
{
    return QK_S_OK;
}

void qkTalCountedObject::FinalRelease() {}

IModuleLifetimeMgr* qkTalCountedObject::GetOwner()
{
    return m_owner.Get();
}

void qkTalCountedObject::SetOwner(IModuleLifetimeMgr* owner)
{
    m_owner = owner;
}

HRESULT qkTalCountedObject::AttachOwner(IModuleLifetimeMgr* owner)
{
    if (owner) {
        const HRESULT hr = owner->LockModule(GetCodeModule());
        if (QkFailed(hr))
            return hr;
    }
    SetOwner(owner);
    return QK_S_OK;
}

ULONG qkTalCountedObject::InternalAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

ULONG qkTalCountedObject::InternalRelease()
{
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) {
        FinalRelease();
        // The owner outlives the object: it unlocks the module only after the object is gone.
        Microsoft::WRL::ComPtr<IModuleLifetimeMgr> owner = m_owner;
        delete this;
        if (owner)
            owner->UnlockModule(GetCodeModule());
    }
    return static_cast<ULONG>(count);
}

HRESULT qkTalCountedObject::InternalQueryInterface(REFIID iid, void** object)
{
    if (!object)
        return QK_E_INVALIDARG;
    void* itf = GetInterface(iid);
    if (!itf) {
        *object = nullptr;
        return QK_E_NOINTERFACE;
    }
    *object = itf;
    InternalAddRef();
    return QK_S_OK;
}

LONG qkTalCountedObject::GetModuleObjectCount()
{
    return InterlockedCompareExchange(&g_moduleObjectCount, 0, 0);
}

HMODULE qkTalCountedObject::GetCodeModule()
{
    return reinterpret_cast<HMODULE>(&__ImageBase);
}
