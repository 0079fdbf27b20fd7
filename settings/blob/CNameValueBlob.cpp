#include "settings/blob/CNameValueBlob.h"

#include <cstring>
#include <new>

#include "common/base/qkTrace.h"

namespace qkSettings {

CNameValueBlob::CNameValueBlob() : m_key{0, 0, 0}, m_keyHash(0), m_ownerWords{}, m_totalSize(kHeaderSize), m_count(0) {}

CNameValueBlob::~CNameValueBlob() = default;

DWORD CNameValueBlob::BucketOf(const CountedString& name)
{
    DWORD h = 0;
    for (USHORT i = 0; i < name.Units(); ++i) {
        wchar_t c = name.text[i];
        wchar_t upper = c;
        if (::LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, &c, 1, &upper, 1) != 1)
            upper = c;
        h = h * 0x1003F + static_cast<DWORD>(upper);
    }
    return h % kBuckets;
}

DWORD CNameValueBlob::KeyHashOf(const DWORD key[3])
{
    BYTE bytes[12];
    std::memcpy(bytes, key, 12);
    DWORD h = 0;
    for (BYTE b : bytes) {
        h = (h << 4) + b;
        DWORD g = h & 0xF0000000;
        if (g != 0)
            h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

void CNameValueBlob::SetKey(const DWORD key[3])
{
    std::memcpy(m_key, key, sizeof(m_key));
    m_keyHash = KeyHashOf(m_key);
}

bool CNameValueBlob::IsSameKey(const DWORD key[3]) const
{
    return m_key[0] == key[0] && m_key[1] == key[1] && m_key[2] == key[2];
}

CNameValueBlob::Entry* CNameValueBlob::Find(const CountedString& name) const
{
    auto& bucket = const_cast<std::list<Entry>&>(m_buckets[BucketOf(name)]);
    for (auto& e : bucket) {
        if (!e.deleted && NamesEqual(e.name, name))
            return &e;
    }
    return nullptr;
}

NtStatus CNameValueBlob::SetValue(const CountedString& name, const BYTE* record24, BYTE** recordOut)
{
    if (record24 == nullptr || (name.length & 1) != 0)
        return status::kInvalidParameter;
    if (Entry* e = Find(name)) {
        std::memcpy(e->record, record24, kDescriptorSize);
        if (recordOut != nullptr)
            *recordOut = e->record;
        return status::kSuccess;
    }
    DWORD bucketIndex = BucketOf(name);
    auto& bucket = m_buckets[bucketIndex];
    try {
        bucket.emplace_back();
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    Entry& e = bucket.back();
    NtStatus st = e.owned.Assign(name);
    if (!NtSuccess(st)) {
        bucket.pop_back();
        return st == status::kBufferOverflow ? status::kNoMemory : st;
    }
    e.name = e.owned.Get();
    std::memcpy(e.record, record24, kRecordSize);
    USHORT length = name.length;
    USHORT bucket16 = static_cast<USHORT>(bucketIndex);
    std::memcpy(e.record + 20, &length, 2);
    std::memcpy(e.record + 22, &bucket16, 2);
    m_totalSize += kRecordSize + length;
    m_count += 1;
    if (recordOut != nullptr)
        *recordOut = e.record;
    return status::kSuccess;
}

NtStatus CNameValueBlob::RemoveValue(const CountedString& name)
{
    if (Entry* e = Find(name)) {
        e->deleted = true;
        m_totalSize -= kRecordSize + e->name.length;
        m_count -= 1;
    }
    return status::kSuccess;
}

NtStatus CNameValueBlob::FindValue(const CountedString& name, BYTE** record) const
{
    Entry* e = Find(name);
    if (record != nullptr)
        *record = e ? e->record : nullptr;
    return e ? status::kSuccess : status::kNotFound;
}

NtStatus CNameValueBlob::CopyValue(const CountedString& name, BYTE* record24) const
{
    Entry* e = Find(name);
    if (e == nullptr)
        return status::kNotFound;
    std::memcpy(record24, e->record, kRecordSize);
    return status::kSuccess;
}

NtStatus CNameValueBlob::CollectRecords(CByteBuffer& out) const
{
    if (!out.Allocate(m_count * kRecordSize))
        return status::kNoMemory;
    DWORD at = 0;
    ForEach([&](const CountedString&, const BYTE* record) {
        if (at + kRecordSize > out.Size())
            return false;
        std::memcpy(out.Data() + at, record, kRecordSize);
        at += kRecordSize;
        return true;
    });
    return status::kSuccess;
}

NtStatus CNameValueBlob::Serialize(BYTE* buffer, DWORD* size) const
{
    if (size == nullptr)
        return status::kInvalidParameter;
    if (buffer == nullptr || *size < m_totalSize) {
        *size = m_totalSize;
        return status::kBufferTooSmall;
    }
    DWORD header[4] = {kMagic, 0, m_count, m_totalSize};
    std::memcpy(buffer, header, kHeaderSize);
    DWORD at = kHeaderSize;
    bool overflow = false;
    ForEach([&](const CountedString& name, const BYTE* record) {
        if (at + kRecordSize + name.length > m_totalSize) {
            overflow = true;
            return false;
        }
        std::memcpy(buffer + at, record, kRecordSize);
        std::memcpy(buffer + at + kRecordSize, name.text, name.length);
        at += kRecordSize + name.length;
        return true;
    });
    if (overflow) {
        QK_TRACE(L"entries exceed the total size %lu", m_totalSize);
        return status::kUnsuccessful;
    }
    *size = at;
    return status::kSuccess;
}

NtStatus CNameValueBlob::SerializeToOwnBuffer(CByteBuffer& buffer) const
{
    if (buffer.Size() < m_totalSize && !buffer.Allocate(m_totalSize))
        return status::kNoMemory;
    DWORD size = buffer.Size();
    return Serialize(buffer.Data(), &size);
}

NtStatus CNameValueBlob::Parse(const BYTE* buffer, DWORD size)
{
    if (buffer == nullptr || size < kHeaderSize)
        return status::kInvalidParameter;
    if (m_totalSize > kHeaderSize || m_count > 0)
        Clear();
    DWORD header[4];
    std::memcpy(header, buffer, kHeaderSize);
    if (header[0] != kMagic)
        return status::kFileCorrupt;
    DWORD total = header[3];
    if (total > size || total < kHeaderSize)
        return status::kFileCorrupt;
    m_totalSize = total;
    m_count = header[2];

    DWORD at = kHeaderSize;
    DWORD sum = kHeaderSize;
    for (DWORD i = 0; i < header[2]; ++i) {
        if (size - at < kRecordSize)
            return status::kFileCorrupt;
        const BYTE* rec = buffer + at;
        USHORT length, bucketIndex;
        std::memcpy(&length, rec + 20, 2);
        std::memcpy(&bucketIndex, rec + 22, 2);
        if (bucketIndex >= kBuckets || (length & 1) != 0)
            return status::kFileCorrupt;
        if (size - at - kRecordSize < length)
            return status::kFileCorrupt;
        auto& bucket = m_buckets[bucketIndex];
        try {
            bucket.emplace_back();
        } catch (const std::bad_alloc&) {
            return status::kNoMemory;
        }
        Entry& e = bucket.back();
        e.name.length = length;
        e.name.capacity = length;
        e.name.text = reinterpret_cast<wchar_t*>(const_cast<BYTE*>(rec + kRecordSize));
        std::memcpy(e.record, rec, kRecordSize);
        at += kRecordSize + length;
        sum += kRecordSize + length;
    }
    // Entries that do not add up to the stated total would make a later serialise of this
    // collection write past a buffer of the stated size.
    if (sum != total)
        return status::kFileCorrupt;
    return status::kSuccess;
}

NtStatus CNameValueBlob::Clone(CNameValueBlob& target) const
{
    target.Clear();
    target.SetKey(m_key);
    CByteBuffer buffer;
    NtStatus st = SerializeToOwnBuffer(buffer);
    if (!NtSuccess(st))
        return st;
    st = target.Parse(buffer.Data(), m_totalSize);
    target.m_buffer = std::move(buffer);
    if (!NtSuccess(st))
        return st;
    std::memcpy(target.m_ownerWords, m_ownerWords, sizeof(m_ownerWords));
    return status::kSuccess;
}

void CNameValueBlob::Clear()
{
    for (auto& bucket : m_buckets)
        bucket.clear();
    m_buffer.Free();
    m_totalSize = kHeaderSize;
    m_count = 0;
}

} // namespace qkSettings
