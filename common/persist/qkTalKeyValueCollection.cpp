#include "common/persist/qkTalKeyValueCollection.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"

bool qkTalKeyValueCollection::FindValue(ULONG key, qkTalValue** value, bool quiet)
{
    *value = nullptr;
    const auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        if (!quiet)
            QK_TRACE(L"no value under key %lu", key);
        return false;
    }
    *value = &it->second;
    return true;
}

bool qkTalKeyValueCollection::PrepareValue(ULONG key, qkTalValue** value)
{
    *value = nullptr;
    qkExceptionInfo info;
    try {
        qkTalValue& entry = m_entries[key];
        entry.Clear();
        m_changed = true;
        *value = &entry;
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in PrepareValue: %s", info.GetFullText());
    return false;
}

ULONG qkTalKeyValueCollection::GetEntryCount()
{
    qkScopedLock lock(GetLock());
    return static_cast<ULONG>(m_entries.size());
}

bool qkTalKeyValueCollection::RemoveEntry(ULONG key)
{
    qkScopedLock lock(GetLock());
    if (m_entries.erase(key) == 0)
        return false;
    m_changed = true;
    return true;
}

bool qkTalKeyValueCollection::ClearEntries()
{
    qkScopedLock lock(GetLock());
    m_entries.clear();
    m_changed = true;
    return true;
}

bool qkTalKeyValueCollection::GetKeyAt(ULONG position, ULONG* key)
{
    qkScopedLock lock(GetLock());
    if (!key || position >= m_entries.size())
        return false;
    auto it = m_entries.begin();
    std::advance(it, position);
    *key = it->first;
    return true;
}

bool qkTalKeyValueCollection::Save(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    if (!SaveFrame(archive, kVersion, static_cast<ULONG>(m_entries.size()))) {
        QK_TRACE(L"entry list header not written");
        return false;
    }
    for (const auto& [key, value] : m_entries) {
        if (!archive.WriteUInt32(key) || !value.Save(archive)) {
            QK_TRACE(L"entry %lu not written", key);
            return false;
        }
    }
    return true;
}

bool qkTalKeyValueCollection::Load(qkLib::CArchive& archive)
{
    qkScopedLock lock(GetLock());
    m_entries.clear();
    LONG version = 0;
    ULONG count = 0;
    const bool ok = LoadFrame(archive, kVersion, &version, &count) && LoadEntries(archive, count);
    if (!ok) {
        QK_TRACE(L"key/value data refused (version %ld, %lu entries)", version, count);
        m_entries.clear();
        return false;
    }
    return true;
}

bool qkTalKeyValueCollection::CopyFrom(const qkTalKeyValueCollection& other)
{
    return CopyCollection(other, false);
}

void qkTalKeyValueCollection::AssignEntries(const qkTalValueCollection& other)
{
    auto copy = static_cast<const qkTalKeyValueCollection&>(other).m_entries;
    m_entries.swap(copy);
}

bool qkTalKeyValueCollection::CopyFromInterface(IKeyValueCollection* source)
{
    qkScopedLock lock(GetLock());
    m_entries.clear();
    const ULONG count = source->GetCount();
    for (ULONG i = 0; i < count; ++i) {
        ULONG key = 0;
        qkTalValue* value = nullptr;
        if (!source->GetKeyAt(i, &key) || !PrepareValue(key, &value) ||
            !CopyValueFrom(source, key, source->GetValueType(key), *value)) {
            QK_TRACE(L"entry %lu not copied", i);
            m_entries.clear();
            return false;
        }
    }
    m_changed = true;
    return true;
}
