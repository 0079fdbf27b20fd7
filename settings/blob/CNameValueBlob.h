#pragma once
// The in-memory collection of named entries that the settings database stores as one blob per
// key (a key's values and its subkeys). Each entry is a case-insensitive UTF-16 name and a
// 20-byte descriptor that belongs to the caller.
//
// Serialised form, little-endian, no gaps:
//   0  u32 magic 0x444E444E ("NDND")     4  u32 reserved (0)
//   8  u32 count of entries              12 u32 total size with this header (16 when empty)
//   16 entries: 20-byte descriptor, u16 name length in bytes, u16 bucket (0..12), name units.
// Entries go bucket by bucket, in list order, so that a parse and a serialise reproduce the
// same bytes. Parse refuses a bucket of 13 or more, anything that runs past the data, and
// entries that do not add up to the header's total size.
#include <windows.h>

#include <list>

#include "settings/store/CByteBuffer.h"
#include "settings/store/CStringBuffer.h"
#include "settings/store/CountedString.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

class CNameValueBlob {
public:
    static constexpr DWORD kMagic = 0x444E444E;
    static constexpr DWORD kHeaderSize = 16;
    static constexpr DWORD kRecordSize = 24;
    static constexpr DWORD kDescriptorSize = 20;
    static constexpr DWORD kBuckets = 13;

    CNameValueBlob();
    ~CNameValueBlob();
    CNameValueBlob(const CNameValueBlob&) = delete;
    CNameValueBlob& operator=(const CNameValueBlob&) = delete;

    // Overwrites the descriptor of a live entry of that name, or adds a new entry with the
    // caller's 24-byte record (its name length and bucket fields are set here).
    NtStatus SetValue(const CountedString& name, const BYTE* record24, BYTE** recordOut = nullptr);
    // Marks the entry deleted; a missing name is not an error.
    NtStatus RemoveValue(const CountedString& name);
    NtStatus FindValue(const CountedString& name, BYTE** record) const;
    NtStatus CopyValue(const CountedString& name, BYTE* record24) const;
    // count 24-byte records of the live entries, bucket by bucket.
    NtStatus CollectRecords(CByteBuffer& out) const;

    NtStatus Serialize(BYTE* buffer, DWORD* size) const;
    NtStatus SerializeToOwnBuffer(CByteBuffer& buffer) const;
    // Names of the parsed entries point into buffer; the caller keeps it alive (or hands it
    // over with AdoptBuffer).
    NtStatus Parse(const BYTE* buffer, DWORD size);
    void AdoptBuffer(CByteBuffer&& buffer) { m_buffer = std::move(buffer); }
    NtStatus Clone(CNameValueBlob& target) const;
    void Clear();

    void SetKey(const DWORD key[3]);
    bool IsSameKey(const DWORD key[3]) const;
    DWORD KeyHash() const { return m_keyHash; }
    const DWORD* Key() const { return m_key; }
    DWORD* OwnerWords() { return m_ownerWords; }
    const DWORD* OwnerWords() const { return m_ownerWords; }

    DWORD TotalSize() const { return m_totalSize; }
    DWORD Count() const { return m_count; }

    // Visits the live entries in serialised order; stops when the visitor returns false.
    template <typename Visitor>
    void ForEach(Visitor visit) const
    {
        for (const auto& bucket : m_buckets)
            for (const auto& e : bucket)
                if (!e.deleted && !visit(e.name, e.record))
                    return;
    }

    static DWORD BucketOf(const CountedString& name);
    static DWORD KeyHashOf(const DWORD key[3]);

private:
    struct Entry {
        CountedString name;
        CStringBuffer owned; // the name's copy, for entries made here
        BYTE record[kRecordSize];
        bool deleted = false;
    };

    Entry* Find(const CountedString& name) const;

    DWORD m_key[3];
    DWORD m_keyHash;
    CByteBuffer m_buffer;
    std::list<Entry> m_buckets[kBuckets];
    DWORD m_ownerWords[5];
    DWORD m_totalSize;
    DWORD m_count;
};

} // namespace qkSettings
