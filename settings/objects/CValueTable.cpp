#include "settings/objects/CValueTable.h"

#include <cstring>
#include <new>

#include "settings/blob/CNameValueBlob.h"

namespace qkSettings {

CValueTable::Entry* CValueTable::FindEntry(const CountedString& name, bool includeDeleted) const
{
    auto& bucket = const_cast<std::list<Entry>&>(m_buckets[CNameValueBlob::BucketOf(name)]);
    for (auto& e : bucket)
        if ((includeDeleted || e.state != kDeleted) && NamesEqual(e.value.Name(), name))
            return &e;
    return nullptr;
}

const CStoredValue* CValueTable::Find(const CountedString& name) const
{
    Entry* e = FindEntry(name, false);
    return e ? &e->value : nullptr;
}

NtStatus CValueTable::Append(DWORD bucket, DWORD state, const CountedString& name, DWORD type, const void* data,
                             DWORD size)
{
    auto& list = m_buckets[bucket];
    try {
        list.emplace_back();
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    Entry& e = list.back();
    NtStatus st = e.value.SetName(name);
    if (NtSuccess(st))
        st = e.value.SetValue(type, data, size);
    if (!NtSuccess(st)) {
        list.pop_back();
        return st == status::kBufferOverflow ? status::kNoMemory : st;
    }
    e.state = state;
    m_live += 1;
    m_bytes += e.value.Size();
    return status::kSuccess;
}

NtStatus CValueTable::Set(DWORD type, const CountedString& name, const void* data, DWORD size)
{
    if ((data == nullptr && size != 0) || name.length == 0)
        return status::kInvalidParameter;
    if (Entry* e = FindEntry(name, true)) {
        CStoredValue replacement;
        NtStatus st = replacement.SetName(e->value.Name());
        if (NtSuccess(st))
            st = replacement.SetValue(type, data, size);
        if (!NtSuccess(st))
            return st;
        if (e->state == kDeleted)
            m_live += 1;
        else
            m_bytes -= e->value.Size();
        e->value.SetValue(replacement.Type(), replacement.Data(), replacement.Size());
        e->state = kChanged;
        m_bytes += e->value.Size();
        return status::kSuccess;
    }
    return Append(CNameValueBlob::BucketOf(name), kAdded, name, type, data, size);
}

NtStatus CValueTable::Get(DWORD type, const CountedString& name, void* buffer, DWORD* size) const
{
    const CStoredValue* v = Find(name);
    if (v == nullptr) {
        *size = 0;
        return status::kNotFound;
    }
    if (v->Type() != type)
        return status::kObjectTypeMismatch;
    if (buffer == nullptr || *size < v->Size()) {
        *size = v->Size();
        return status::kBufferTooSmall;
    }
    if (v->Size() > 0)
        std::memcpy(buffer, v->Data(), v->Size());
    *size = v->Size();
    return status::kSuccess;
}

void CValueTable::Delete(const CountedString& name)
{
    if (Entry* e = FindEntry(name, false)) {
        e->state = kDeleted;
        m_live -= 1;
        m_bytes -= e->value.Size();
    }
}

void CValueTable::DeleteAll()
{
    for (auto& bucket : m_buckets)
        for (auto& e : bucket)
            if (e.state != kDeleted) {
                e.state = kDeleted;
                m_live -= 1;
                m_bytes -= e.value.Size();
            }
}

void CValueTable::Clear()
{
    for (auto& bucket : m_buckets)
        bucket.clear();
    m_live = 0;
    m_bytes = 0;
}

NtStatus CValueTable::Merge(const CValueTable& changes)
{
    for (const auto& bucket : changes.m_buckets) {
        for (const auto& e : bucket) {
            NtStatus st = status::kSuccess;
            if (e.state == kAdded || e.state == kChanged)
                st = Set(e.value.Type(), e.value.Name(), e.value.Data(), e.value.Size());
            else if (e.state == kDeleted)
                Delete(e.value.Name());
            if (!NtSuccess(st))
                return st;
        }
    }
    return status::kSuccess;
}

void CValueTable::MarkSaved()
{
    for (auto& bucket : m_buckets) {
        for (auto it = bucket.begin(); it != bucket.end();) {
            if (it->state == kDeleted) {
                it = bucket.erase(it);
                continue;
            }
            it->state = kClean;
            ++it;
        }
    }
}

NtStatus CValueTable::CopyChanges(CValueTable& out) const
{
    out.Clear();
    for (DWORD bucket = 0; bucket < kBuckets; ++bucket) {
        for (const auto& e : m_buckets[bucket]) {
            if (e.state == kClean)
                continue;
            NtStatus st = out.Append(bucket, e.state, e.value.Name(), e.value.Type(), e.value.Data(), e.value.Size());
            if (!NtSuccess(st))
                return st;
            if (e.state == kDeleted) {
                out.m_live -= 1;
                out.m_bytes -= e.value.Size();
            }
        }
    }
    return status::kSuccess;
}

void CValueTable::MarkSaved(const CValueTable& saved)
{
    for (DWORD bucket = 0; bucket < kBuckets; ++bucket) {
        for (const auto& s : saved.m_buckets[bucket]) {
            auto& list = m_buckets[bucket];
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (!NamesEqual(it->value.Name(), s.value.Name()))
                    continue;
                if (s.state == kDeleted) {
                    if (it->state == kDeleted)
                        list.erase(it);
                } else if (it->state != kClean && it->state != kDeleted && it->value.Type() == s.value.Type() &&
                           it->value.Size() == s.value.Size() &&
                           (s.value.Size() == 0 || std::memcmp(it->value.Data(), s.value.Data(), s.value.Size()) == 0)) {
                    it->state = kClean;
                }
                break;
            }
        }
    }
}

DWORD CValueTable::ImageSize() const
{
    ULONGLONG total = kImageHeader;
    ForEachLive([&](const CStoredValue& v) { total += 2 + v.SerializedSize(); });
    return total > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<DWORD>(total);
}

NtStatus CValueTable::SaveImage(std::vector<BYTE>& out) const
{
    ULONGLONG total = kImageHeader;
    ForEachLive([&](const CStoredValue& v) { total += 2 + v.SerializedSize(); });
    if (total > 0xFFFFFFFF)
        return status::kIntegerOverflow;
    try {
        out.assign(static_cast<size_t>(total), 0);
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    DWORD count = 0, at = kImageHeader;
    NtStatus st = status::kSuccess;
    for (USHORT b = 0; b < kBuckets && NtSuccess(st); ++b) {
        for (const auto& e : m_buckets[b]) {
            if (e.state == kDeleted)
                continue;
            std::memcpy(out.data() + at, &b, 2);
            DWORD written = 0;
            st = e.value.Serialize(out.data() + at + 2, static_cast<DWORD>(out.size()) - at - 2, &written);
            if (!NtSuccess(st))
                break;
            at += 2 + written;
            ++count;
        }
    }
    if (!NtSuccess(st))
        return st;
    DWORD size32 = static_cast<DWORD>(total);
    std::memcpy(out.data(), &count, 4);
    std::memcpy(out.data() + 4, &size32, 4);
    return status::kSuccess;
}

NtStatus CValueTable::LoadImage(const BYTE* image, DWORD size)
{
    Clear();
    if (image == nullptr || size < kImageHeader)
        return status::kInvalidParameter;
    DWORD count, total;
    std::memcpy(&count, image, 4);
    std::memcpy(&total, image + 4, 4);
    DWORD at = kImageHeader, read = 0;
    NtStatus st = status::kSuccess;
    while (read < count) {
        if (size - at < 2) {
            st = status::kInvalidParameter;
            break;
        }
        USHORT bucket;
        std::memcpy(&bucket, image + at, 2);
        if (bucket >= kBuckets) {
            st = status::kInvalidParameter;
            break;
        }
        DWORD type, n, used;
        CountedString name;
        const BYTE* data;
        st = CStoredValue::Parse(image + at + 2, size - at - 2, &type, &name, &data, &n, &used);
        if (!NtSuccess(st))
            break;
        st = Append(bucket, kClean, name, type, data, n);
        if (!NtSuccess(st))
            break;
        at += 2 + used;
        ++read;
    }
    if (NtSuccess(st) && (read != count || at != total))
        st = status::kInvalidParameter;
    if (!NtSuccess(st))
        Clear();
    return st;
}

void CValueTable::GetInfo(DWORD* longestName, DWORD* largestValue) const
{
    DWORD name = 0, value = 0;
    ForEachLive([&](const CStoredValue& v) {
        name = (std::max)(name, static_cast<DWORD>(v.Name().length / 2 + 1));
        value = (std::max)(value, v.Size());
    });
    if (longestName)
        *longestName = name;
    if (largestValue)
        *largestValue = value;
}

} // namespace qkSettings
