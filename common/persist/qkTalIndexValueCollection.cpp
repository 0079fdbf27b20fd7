#include "common/persist/qkTalIndexValueCollection.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"

bool qkTalIndexValueCollection::FindValue(ULONG index, qkTalValue** value, bool quiet)
{
    *value = nullptr;
    if (index >= m_values.size()) {
        if (!quiet)
            QK_TRACE(L"no value at index %lu", index);
        return false;
    }
    *value = &m_values[index];
    return true;
}

bool qkTalIndexValueCollection::PrepareValue(ULONG index, qkTalValue** value)
{
    *value = nullptr;
    if (index >= m_values.size()) {
        QK_TRACE(L"index %lu beyond the end", index);
        return false;
    }
    m_values[index].Clear();
    m_changed = true;
    *value = &m_values[index];
    return true;
}

ULONG qkTalIndexValueCollection::GetEntryCount()
{
    qkScopedLock lock(GetLock());
    return static_cast<ULONG>(m_values.size());
}

bool qkTalIndexValueCollection::RemoveEntry(ULONG index)
{
    qkScopedLock lock(GetLock());
    if (index >= m_values.size())
        return false;
    m_values.erase(m_values.begin() + index);
    m_changed = true;
    return true;
}

bool qkTalIndexValueCollection::ClearEntries()
{
    qkScopedLock lock(GetLock());
    m_values.clear();
    m_changed = true;
    return true;
}

bool qkTalIndexValueCollection::AppendValue(ULONG kind, qkTalValue** value)
{
    *value = nullptr;
    qkExceptionInfo info;
    try {
        m_values.emplace_back();
        m_changed = true;
        *value = &m_values.back();
        return (*value)->SetType(kind);
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in AppendValue: %s", info.GetFullText());
    return false;
}

bool qkTalIndexValueCollection::AppendFixed(ULONG kind, const void* data)
{
    if (!data)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(kind, &value) && StoreFixed(*value, data);
}

bool qkTalIndexValueCollection::AppendString(const char* text)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(qkTalValue::eString, &value) && qkStringConvert::CopyAnsi(text, *value->GetString());
}

bool qkTalIndexValueCollection::AppendWString(const wchar_t* text)
{
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(qkTalValue::eWString, &value) && qkStringConvert::Copy(text, *value->GetWString());
}

bool qkTalIndexValueCollection::AppendBinary(const void* data, ULONG size)
{
    if ((data != nullptr) != (size != 0))
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(qkTalValue::eBinary, &value) && (size == 0 || value->GetBinary()->Assign(data, size));
}

bool qkTalIndexValueCollection::AppendVariant(const VARIANT* in)
{
    if (!in)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(qkTalValue::eVariant, &value) &&
           SUCCEEDED(VariantCopyInd(value->GetVariant(), const_cast<VARIANT*>(in)));
}

bool qkTalIndexValueCollection::AppendObject(IUnknown* object)
{
    if (!object)
        return false;
    qkScopedLock lock(GetLock());
    qkTalValue* value = nullptr;
    return AppendValue(qkTalValue::eObject, &value) && StoreObject(*value, object);
}

bool qkTalIndexValueCollection::Save(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    if (!SaveFrame(archive, kVersion, static_cast<ULONG>(m_values.size()))) {
        QK_TRACE(L"value list header not written");
        return false;
    }
    for (ULONG i = 0; i < m_values.size(); ++i) {
        if (!archive.WriteUInt32(i) || !m_values[i].Save(archive)) {
            QK_TRACE(L"value %lu not written", i);
            return false;
        }
    }
    return true;
}

bool qkTalIndexValueCollection::Load(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    m_values.clear();
    LONG version = 0;
    ULONG count = 0;
    // Positions are made before their values are read, since the indices may come in any order.
    bool ok = LoadFrame(archive, kVersion, &version, &count);
    if (ok) {
        qkExceptionInfo info;
        try {
            m_values.resize(count);
        }
        QK_CATCH(info)
        if (info.HasError()) {
            archive.Redeem(static_cast<ULONGLONG>(kLeastEntryBytes) * count);
            ok = false;
        } else {
            ok = LoadEntries(archive, count);
        }
    }
    if (!ok) {
        QK_TRACE(L"index/value data refused (version %ld, %lu values)", version, count);
        m_values.clear();
        return false;
    }
    return true;
}

bool qkTalIndexValueCollection::CopyFrom(const qkTalIndexValueCollection& other)
{
    return CopyCollection(other, false);
}

void qkTalIndexValueCollection::AssignEntries(const qkTalValueCollection& other)
{
    auto copy = static_cast<const qkTalIndexValueCollection&>(other).m_values;
    m_values.swap(copy);
}

bool qkTalIndexValueCollection::CopyFromInterface(IIndexValueCollection* source)
{
    qkScopedLock lock(GetLock());
    m_values.clear();
    const ULONG count = source->GetCount();
    qkExceptionInfo info;
    try {
        m_values.resize(count);
    }
    QK_CATCH(info)
    bool ok = !info.HasError();
    for (ULONG i = 0; ok && i < count; ++i) {
        qkTalValue* value = nullptr;
        ok = PrepareValue(i, &value) && CopyValueFrom(source, i, source->GetValueType(i), *value);
    }
    if (!ok) {
        QK_TRACE(L"values not copied");
        m_values.clear();
        return false;
    }
    m_changed = true;
    return true;
}
