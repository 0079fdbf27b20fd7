#pragma once
// The process-wide cache of files that the trust object found trusted, and at which level, so that
// a repeated check of the same file answers without a new signature verification.
#include <windows.h>
#include <cstdint>
#include <deque>
#include <string>

#include "common/base/qkCriticalSection.h"

namespace qkVerifyTrust {

class FileCache {
public:
    static constexpr DWORD kDefaultCapacity = 100;

    // The one cache of the process, shared by every trust object.
    static FileCache& Instance();

    // Lookup, Add and Remove copy the path and may throw std::bad_alloc.

    // 1 when a matching entry covers the level (its extra flag is copied out), 3 when a matching
    // entry does not (conflict set when the cached level is another of 3, 4, 5: answer 3 without
    // verifying), 5 when nothing matches or the arguments are empty.
    DWORD Lookup(const wchar_t* path, DWORD level, BYTE keepRedirection, DWORD driverPolicy, BYTE* extraFlag,
                 bool* conflict);
    void Add(const wchar_t* path, DWORD level, BYTE keepRedirection, BYTE extraFlag, DWORD driverPolicy);
    // 1 when the path's entry was removed, else 5.
    DWORD Remove(const wchar_t* path);

    void SetCapacity(DWORD capacity); // 0: no limit, and lookups never reorder
    DWORD GetCapacity();
    void Clear();
    size_t Size();

    // Jenkins's one-at-a-time hash of the path, each UTF-16 unit lower-cased first.
    static uint32_t PathHash(const wchar_t* path);

private:
    // An entry is found by its path, compared without regard to case; the hash only skips entries
    // quickly, since two different paths may share one.
    struct Entry {
        std::wstring lowerPath;
        uint32_t pathHash;
        DWORD level;
        BYTE keepRedirection;
        BYTE extraFlag;
        DWORD driverPolicy;
    };
    // Whether a cached level answers a requested one; conflict for two different levels of 3, 4, 5.
    static bool Covers(DWORD cached, DWORD requested, bool* conflict);
    static std::wstring LowerPath(const wchar_t* path);

    qkCriticalSection m_lock;
    std::deque<Entry> m_entries; // oldest (least recently used) at the front
    DWORD m_capacity = kDefaultCapacity;
};

} // namespace qkVerifyTrust
