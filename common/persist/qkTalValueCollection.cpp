#include "common/persist/qkTalValueCollection.h"

#include <cstring>

#include <wrl/client.h>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/objects/qkTalResult.h"
#include "common/persist/qkTalValueCollectionConvert.h"

void qkTalValueCollection::AssignBase(const qkTalValueCollection& other)
{
    if (this == &other)
        return;
    qkScopedLock lock(GetLock());
    m_convert = other.m_convert;
    m_cloneObjects = other.m_cloneObjects;
    m_changed = other.m_changed;
    m_cachedSize = other.m_cachedSize;
}

bool qkTalValueCollection::CopyCollection(const qkTalValueCollection& other, bool lockOther)
{
    if (this == &other)
        return true;
    qkScopedLock lock(GetLock());
    // The lock is not part of the other's value: taking it does not change the collection.
    qkScopedLock otherLock(lockOther ? &const_cast<qkTalValueCollection&>(other).GetLock() : nullptr);
    if (lockOther)
        otherLock.Lock();
    qkExceptionInfo info;
    try {
        AssignEntries(other);
        AssignBase(other);
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in CopyFrom: %s", info.GetFullText());
    return false;
}

bool qkTalValueCollection::Exists(ULONG key)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return FindValue(key, &value, true);
}

ULONG qkTalValueCollection::GetValueSize(ULONG key)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return FindValue(key, &value, false) ? value->GetSize() : 0;
}

ULONG qkTalValueCollection::GetValueType(ULONG key)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return FindValue(key, &value, false) ? value->GetType() : qkTalValue::eEmpty;
}

bool qkTalValueCollection::GetConvertTypes()
{
    qkScopedLock lock(GetLock());
    return m_convert;
}

bool qkTalValueCollection::SetConvertTypes(bool on)
{
    qkScopedLock lock(GetLock());
    m_convert = on;
    return true;
}

bool qkTalValueCollection::GetCloneObjects()
{
    qkScopedLock lock(GetLock());
    return m_cloneObjects;
}

bool qkTalValueCollection::SetCloneObjects(bool on)
{
    qkScopedLock lock(GetLock());
    m_cloneObjects = on;
    return true;
}

bool qkTalValueCollection::GetValue(ULONG key, ULONG kind, qkTalValue** value)
{
    qkTalValue* stored = nullptr;
    if (!FindValue(key, &stored, false))
        return false;
    if (stored->GetType() == kind) {
        *value = stored;
        return true;
    }
    if (!m_convert || !stored->CanChangeType(kind))
        return false;
    // The stored value is never changed by a read.
    if (!m_scratch.Copy(*stored, false) || !m_scratch.ChangeType(kind))
        return false;
    *value = &m_scratch;
    return true;
}

bool qkTalValueCollection::SetValue(ULONG key, ULONG kind, qkTalValue** value)
{
    qkTalValue* prepared = nullptr;
    if (!PrepareValue(key, &prepared) || !prepared->SetType(kind))
        return false;
    *value = prepared;
    return true;
}

bool qkTalValueCollection::GetScalar(ULONG key, ULONG kind, void* out)
{
    if (!out)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, kind, &value))
        return false;
    std::memcpy(out, value->GetData(), qkTalValue::FixedSizeOf(kind));
    return true;
}

bool qkTalValueCollection::GetBool(ULONG key, bool* value)
{
    BYTE byte = 0;
    if (!value || !GetScalar(key, qkTalValue::eBool, &byte))
        return false;
    *value = byte != 0;
    return true;
}

bool qkTalValueCollection::StoreFixed(qkTalValue& value, const void* data)
{
    void* payload = value.GetData();
    if (!payload || !data)
        return false;
    std::memcpy(payload, data, qkTalValue::FixedSizeOf(value.GetType()));
    return true;
}

bool qkTalValueCollection::SetScalar(ULONG key, ULONG kind, const void* data)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return SetValue(key, kind, &value) && StoreFixed(*value, data);
}

bool qkTalValueCollection::SetBool(ULONG key, bool value)
{
    const BYTE byte = value ? 1 : 0;
    return SetScalar(key, qkTalValue::eBool, &byte);
}

bool qkTalValueCollection::GetStringEx(ULONG key, char* buffer, ULONG chars, ULONG* size)
{
    if (size)
        *size = 0;
    if (!buffer || chars == 0)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, qkTalValue::eString, &value))
        return false;
    DWORD needed = chars;
    const BOOL ok = qkStringConvert::CopyToBufferAnsi(*value->GetString(), buffer, &needed);
    if (size)
        *size = needed;
    return ok != FALSE;
}

bool qkTalValueCollection::GetWStringEx(ULONG key, wchar_t* buffer, ULONG byteSize, ULONG* size)
{
    if (size)
        *size = 0;
    if (!buffer || byteSize == 0)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, qkTalValue::eWString, &value))
        return false;
    DWORD needed = byteSize;
    const BOOL ok = qkStringConvert::CopyToBuffer(*value->GetWString(), buffer, &needed);
    if (size)
        *size = needed;
    return ok != FALSE;
}

bool qkTalValueCollection::GetBinaryEx(ULONG key, void* buffer, ULONG bufferSize, ULONG* size)
{
    if (size)
        *size = 0;
    if (!buffer || bufferSize == 0)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, qkTalValue::eBinary, &value))
        return false;
    const qkMemory& block = *value->GetBinary();
    if (size)
        *size = block.GetSize();
    if (bufferSize < block.GetSize())
        return false;
    if (block.GetSize())
        std::memcpy(buffer, block.GetData(), block.GetSize());
    return true;
}

bool qkTalValueCollection::SetString(ULONG key, const char* text)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return SetValue(key, qkTalValue::eString, &value) && qkStringConvert::CopyAnsi(text, *value->GetString());
}

bool qkTalValueCollection::SetWString(ULONG key, const wchar_t* text)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return SetValue(key, qkTalValue::eWString, &value) && qkStringConvert::Copy(text, *value->GetWString());
}

bool qkTalValueCollection::SetBinary(ULONG key, const void* data, ULONG size)
{
    if ((data != nullptr) != (size != 0)) {
        QK_TRACE(L"block pointer and size disagree (%lu bytes)", size);
        return false;
    }
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!SetValue(key, qkTalValue::eBinary, &value))
        return false;
    return size == 0 || value->GetBinary()->Assign(data, size);
}

bool qkTalValueCollection::GetVariant(ULONG key, VARIANT* out)
{
    if (!out)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, qkTalValue::eVariant, &value))
        return false;
    VariantClear(out);
    return SUCCEEDED(VariantCopyInd(out, value->GetVariant()));
}

bool qkTalValueCollection::SetVariant(ULONG key, const VARIANT* in)
{
    if (!in)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!SetValue(key, qkTalValue::eVariant, &value))
        return false;
    return SUCCEEDED(VariantCopyInd(value->GetVariant(), const_cast<VARIANT*>(in)));
}

bool qkTalValueCollection::GetObject(ULONG key, IUnknown** object)
{
    if (!object)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    if (!GetValue(key, qkTalValue::eObject, &value))
        return false;
    IUnknown* stored = *value->GetObjectHolder();
    if (!stored) {
        QK_TRACE(L"key %lu holds no object", key);
        return false;
    }
    return qkTalValue::CopyObject(stored, object, m_cloneObjects);
}

bool qkTalValueCollection::StoreObject(qkTalValue& value, IUnknown* object)
{
    return qkTalValue::CopyObject(object, value.GetObjectHolder(), m_cloneObjects);
}

bool qkTalValueCollection::SetObject(ULONG key, IUnknown* object)
{
    if (!object)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return SetValue(key, qkTalValue::eObject, &value) && StoreObject(*value, object);
}

bool qkTalValueCollection::CopyValueFrom(IValueCollection* source, ULONG key, ULONG kind, qkTalValue& out)
{
    if (!source || !out.SetType(kind))
        return false;
    m_changed = true;
    bool ok = false;
    switch (kind) {
    case qkTalValue::eEmpty:
        return true;
    case qkTalValue::eBool: {
        bool b = false;
        ok = source->GetBool(key, &b);
        static_cast<BYTE*>(out.GetData())[0] = b ? 1 : 0;
        break;
    }
    case qkTalValue::eInt8:
        ok = source->GetInt8(key, static_cast<signed char*>(out.GetData()));
        break;
    case qkTalValue::eUInt8:
        ok = source->GetUInt8(key, static_cast<BYTE*>(out.GetData()));
        break;
    case qkTalValue::eInt16:
        ok = source->GetInt16(key, static_cast<SHORT*>(out.GetData()));
        break;
    case qkTalValue::eUInt16:
        ok = source->GetUInt16(key, static_cast<USHORT*>(out.GetData()));
        break;
    case qkTalValue::eInt32:
        ok = source->GetInt32(key, static_cast<LONG*>(out.GetData()));
        break;
    case qkTalValue::eUInt32:
        ok = source->GetUInt32(key, static_cast<ULONG*>(out.GetData()));
        break;
    case qkTalValue::eInt64:
        ok = source->GetInt64(key, static_cast<LONGLONG*>(out.GetData()));
        break;
    case qkTalValue::eUInt64:
        ok = source->GetUInt64(key, static_cast<ULONGLONG*>(out.GetData()));
        break;
    case qkTalValue::eDouble:
        ok = source->GetDouble(key, static_cast<double*>(out.GetData()));
        break;
    case qkTalValue::eGuid:
        ok = source->GetGuid(key, static_cast<GUID*>(out.GetData()));
        break;
    case qkTalValue::eSystemTime:
        ok = source->GetSystemTime(key, static_cast<SYSTEMTIME*>(out.GetData()));
        break;
    case qkTalValue::eString:
        ok = qkTalValueCollectionConvert::GetStringValue(source, key, *out.GetString());
        break;
    case qkTalValue::eWString:
        ok = qkTalValueCollectionConvert::GetWStringValue(source, key, *out.GetWString());
        break;
    case qkTalValue::eBinary:
        // An empty block has nothing to fetch.
        ok = source->GetValueSize(key) == 0 ||
             qkTalValueCollectionConvert::GetBinaryValue(source, key, *out.GetBinary());
        break;
    case qkTalValue::eVariant:
        ok = source->GetVariant(key, out.GetVariant());
        break;
    case qkTalValue::eObject: {
        const bool clone = source->GetCloneObjects();
        Microsoft::WRL::ComPtr<IUnknown> object;
        ok = source->GetObject(key, object.GetAddressOf()) &&
             qkTalValue::CopyObject(object.Get(), out.GetObjectHolder(), clone);
        break;
    }
    default:
        break;
    }
    if (!ok) {
        QK_TRACE(L"value of kind %lu under key %lu not copied", kind, key);
        out.Clear();
    }
    return ok;
}

bool qkTalValueCollection::CreateObject(const GUID& objectId, IUnknown** object)
{
    if (!object)
        return false;
    if (*object) {
        (*object)->Release();
        *object = nullptr;
    }
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    if (!factory)
        return false;
    return QkSucceeded(factory->CreateInstance(objectId, GUID_NULL, reinterpret_cast<void**>(object)));
}

bool qkTalValueCollection::Save(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    const LONG version = m_sizeCaching ? 2 : 1;
    if (!archive.WriteLong(version) || !archive.WriteBool(m_convert) || !archive.WriteBool(m_cloneObjects)) {
        QK_TRACE(L"collection header not written");
        return false;
    }
    if (version == 2 && (!archive.WriteBool(1) || !archive.WriteUInt64(m_cachedSize))) {
        QK_TRACE(L"collection size record not written");
        return false;
    }
    return true;
}

bool qkTalValueCollection::SaveFrame(qkLib::CArchive& archive, LONG version, ULONG count)
{
    return qkTalValueCollection::Save(archive) && archive.WriteLong(version) && archive.WriteUInt32(count);
}

bool qkTalValueCollection::LoadFrame(qkLib::CArchive& archive, LONG expectedVersion, LONG* version, ULONG* count)
{
    return qkTalValueCollection::Load(archive) && archive.ReadLong(version) && *version == expectedVersion &&
           archive.ReadUInt32(count) && archive.Promise(static_cast<ULONGLONG>(kLeastEntryBytes) * *count);
}

bool qkTalValueCollection::LoadEntries(qkLib::CArchive& archive, ULONG count)
{
    ULONG read = 0;
    bool ok = true;
    while (ok && read < count) {
        archive.Redeem(kLeastEntryBytes); // this entry's own bytes are read now
        ++read;
        ULONG key = 0;
        qkTalValue* value = nullptr;
        ok = archive.ReadUInt32(&key) && PrepareValue(key, &value) && value->Load(this, archive);
    }
    archive.Redeem(static_cast<ULONGLONG>(kLeastEntryBytes) * (count - read));
    return ok;
}

bool qkTalValueCollection::Load(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    // Object values inside the data are made by the process-wide factory: make sure it still
    // knows the library's own persistent objects (the two collections, strings, memory).
    if (IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory()) {
        for (int i = 0; i < 4; ++i) {
            const qkInstanceFactory::BuiltIn& row = qkInstanceFactory::kBuiltIns[i];
            if (!row.creator || factory->IsRegisteredLocally(row.objectId))
                continue;
            if (QkFailed(factory->RegisterCreator(row.objectId, row.creator))) {
                QK_TRACE(L"creator of a library object not registered");
                return false;
            }
        }
    }
    LONG version = 0;
    BYTE convert = 0, clone = 0;
    if (!archive.ReadLong(&version) || version < 1 || version > kMaxVersion) {
        QK_TRACE(L"collection version %ld refused", version);
        return false;
    }
    if (!archive.ReadBool(&convert) || !archive.ReadBool(&clone))
        return false;
    m_convert = convert != 0;
    m_cloneObjects = clone != 0;
    if (version == 2) {
        BYTE caching = 0;
        ULONGLONG cached = 0;
        if (!archive.ReadBool(&caching) || !archive.ReadUInt64(&cached))
            return false;
        m_sizeCaching = caching != 0;
        m_cachedSize = cached;
    }
    return true;
}
