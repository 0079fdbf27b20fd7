#pragma once
// The named, typed values of one section, as a settings object caches them and as a values
// record stores them. Each entry carries a state: 0 clean (as loaded), 1 added, 2 changed,
// 3 deleted (kept until the change is saved).
//
// Image (the values record and the cache's saved form): u32 count, u32 total size in bytes
// with this 8-byte header, then per live entry: u16 bucket (0..12), then the value record.
#include <windows.h>

#include <list>
#include <vector>

#include "settings/objects/CStoredValue.h"

namespace qkSettings {

class CValueTable {
public:
    enum State : DWORD { kClean = 0, kAdded = 1, kChanged = 2, kDeleted = 3 };
    static constexpr DWORD kBuckets = 13;
    static constexpr DWORD kImageHeader = 8;

    NtStatus Set(DWORD type, const CountedString& name, const void* data, DWORD size);
    // kNotFound (size 0), kObjectTypeMismatch, kBufferTooSmall (size = needed) or success.
    NtStatus Get(DWORD type, const CountedString& name, void* buffer, DWORD* size) const;
    // The live entry, or null.
    const CStoredValue* Find(const CountedString& name) const;
    void Delete(const CountedString& name);
    void DeleteAll();
    void Clear();

    // Puts the added, changed and deleted entries of changes into this table (clean ones are
    // left alone, so that values another writer stored meanwhile survive).
    NtStatus Merge(const CValueTable& changes);
    // After a successful save: added and changed become clean, deleted entries go.
    void MarkSaved();
    // The added, changed and deleted entries, copied into out: what a save wrote.
    NtStatus CopyChanges(CValueTable& out) const;
    // After a save whose changes became safe later (a transaction's commit): the entries that
    // still hold what was saved become clean, deleted ones go; entries changed since keep their
    // state, to be saved next time.
    void MarkSaved(const CValueTable& saved);

    DWORD ImageSize() const;
    NtStatus SaveImage(std::vector<BYTE>& out) const;
    NtStatus LoadImage(const BYTE* image, DWORD size);

    DWORD LiveCount() const { return m_live; }
    DWORD ByteTotal() const { return m_bytes; }
    void GetInfo(DWORD* longestName, DWORD* largestValue) const;

    template <typename Visitor>
    void ForEachLive(Visitor visit) const
    {
        for (const auto& bucket : m_buckets)
            for (const auto& e : bucket)
                if (e.state != kDeleted)
                    visit(e.value);
    }

private:
    struct Entry {
        DWORD state = kClean;
        CStoredValue value;
    };
    Entry* FindEntry(const CountedString& name, bool includeDeleted) const;
    NtStatus Append(DWORD bucket, DWORD state, const CountedString& name, DWORD type, const void* data, DWORD size);

    std::list<Entry> m_buckets[kBuckets];
    DWORD m_live = 0;
    DWORD m_bytes = 0;
};

} // namespace qkSettings
