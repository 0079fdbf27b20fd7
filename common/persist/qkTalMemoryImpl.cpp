#include "common/persist/qkTalMemoryImpl.h"

#include <wrl/client.h>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/persist/CPersist.h"

IMemoryObject* qkTalMemoryImpl::Create()
{
    qkExceptionInfo info;
    try {
        IMemoryObject* object = new qkTalMemoryImpl();
        object->AddRef();
        return object;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return nullptr;
}

IUnknown* STDAPICALLTYPE qkTalMemoryImpl::CreateObject()
{
    return Create();
}

void* qkTalMemoryImpl::GetInterface(REFIID iid)
{
    if (iid == GUID_NULL || iid == CLSID_qkTalMemory || iid == IID_IUnknown)
        return static_cast<IMemoryObject*>(this);
    if (iid == IID_ISerializable)
        return static_cast<ISerializable*>(this);
    if (iid == IID_ICloneable)
        return static_cast<ICloneable*>(this);
    return nullptr;
}

void* STDMETHODCALLTYPE qkTalMemoryImpl::Allocate(ULONG size)
{
    qkScopedLock lock(GetLock());
    m_changed = true;
    return m_Memory.Allocate(qkMemory::KindCrtHeap, size);
}

void* STDMETHODCALLTYPE qkTalMemoryImpl::Resize(ULONG size)
{
    qkScopedLock lock(GetLock());
    m_changed = true;
    if (m_Memory.GetSize() == 0)
        return m_Memory.Allocate(qkMemory::KindCrtHeap, size);
    return m_Memory.Resize(size);
}

void STDMETHODCALLTYPE qkTalMemoryImpl::Free()
{
    qkScopedLock lock(GetLock());
    m_Memory.Free();
    m_changed = false;
}

ULONG STDMETHODCALLTYPE qkTalMemoryImpl::GetSize()
{
    qkScopedLock lock(GetLock());
    return m_Memory.GetSize();
}

void* STDMETHODCALLTYPE qkTalMemoryImpl::GetData()
{
    qkScopedLock lock(GetLock());
    return m_Memory.GetData();
}

void* STDMETHODCALLTYPE qkTalMemoryImpl::SetData(const void* data, ULONG size)
{
    qkScopedLock lock(GetLock());
    Free();
    m_changed = true;
    if (size == 0)
        return nullptr;
    if (!data || !m_Memory.Assign(data, size)) {
        QK_TRACE(L"copy of %lu bytes failed", size);
        return nullptr;
    }
    return m_Memory.GetData();
}

bool STDMETHODCALLTYPE qkTalMemoryImpl::GetClassId(GUID* id)
{
    if (!id)
        return false;
    *id = CLSID_qkTalMemory;
    return true;
}

bool STDMETHODCALLTYPE qkTalMemoryImpl::CopyFrom(IUnknown* source)
{
    qkScopedLock lock(GetLock());
    Microsoft::WRL::ComPtr<IMemoryObject> other;
    if (!source ||
        QkFailed(source->QueryInterface(CLSID_qkTalMemory, reinterpret_cast<void**>(other.GetAddressOf())))) {
        QK_TRACE(L"not a memory object");
        return false;
    }
    if (other.Get() == static_cast<IMemoryObject*>(this))
        return true;
    const ULONG size = other->GetSize();
    SetData(other->GetData(), size);
    return m_Memory.GetSize() == size;
}

bool STDMETHODCALLTYPE qkTalMemoryImpl::Clone(IUnknown** clone)
{
    if (!clone)
        return false;
    if (*clone) {
        (*clone)->Release();
        *clone = nullptr;
    }
    qkScopedLock lock(GetLock());
    qkExceptionInfo info;
    try {
        auto* copy = new qkTalMemoryImpl();
        IMemoryObject* itf = copy;
        itf->AddRef();
        if (m_Memory.GetSize() && !copy->m_Memory.Copy(m_Memory)) {
            itf->Release();
            return false;
        }
        *clone = itf;
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return false;
}

bool qkTalMemoryImpl::Save(qkLib::CArchive& archive)
{
    if (!archive.WriteLong(Version)) {
        QK_TRACE(L"Archive.Write(CMemoryImpl::CSerializeImpl::Version) == FALSE");
        return false;
    }
    if (!CPersist::Write(m_Memory, &archive)) {
        QK_TRACE(L"CPersist::Write(m_pMemory->m_Memory) == false");
        return false;
    }
    return true;
}

bool qkTalMemoryImpl::Load(qkLib::CArchive& archive)
{
    LONG version = 0;
    if (!archive.ReadLong(&version)) {
        QK_TRACE(L"Archive.Read(nVersion) == FALSE");
        return false;
    }
    if (version != Version) {
        QK_TRACE(L"switch(default) : version %ld", version);
        return false;
    }
    if (!CPersist::Read(m_Memory, &archive)) {
        QK_TRACE(L"CPersist::Read(m_pMemory->m_Memory) == false");
        return false;
    }
    return true;
}
