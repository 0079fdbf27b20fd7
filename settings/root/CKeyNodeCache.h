#pragma once
// Decoded key nodes of one store by the id of their node record: a hash table of 13 buckets
// (the id's low 32 bits modulo 13) and a recency list bounded to 20 nodes, the least recently
// used evicted first. It holds committed nodes only; every lookup, insert, removal and
// clearing runs under its own critical section, so that readers of one store may share it.
#include <windows.h>

#include <list>
#include <vector>

#include "common/base/qkCriticalSection.h"
#include "settings/root/KeyRef.h"

namespace qkSettings {

class CKeyNodeCache {
public:
    static constexpr DWORD kBuckets = 13;
    static constexpr size_t kCapacity = 20;

    CKeyNodeCache() = default;
    CKeyNodeCache(const CKeyNodeCache&) = delete;
    CKeyNodeCache& operator=(const CKeyNodeCache&) = delete;

    // The node cached for ref when its values id and flags still match (a hit, moved to the
    // front); otherwise null (a miss; a stale node is dropped).
    Node Find(const KeyRef& ref);
    // Caches node under the id its owner words name, replacing an older copy.
    void Put(const Node& node);
    void Remove(ULONGLONG nodeId);
    void Clear();

    DWORD Hits() const;
    DWORD Misses() const;

private:
    struct Entry {
        ULONGLONG id;
        Node node;
    };
    using Iterator = std::list<Entry>::iterator;

    static DWORD BucketOf(ULONGLONG id) { return static_cast<DWORD>(id) % kBuckets; }
    // Under the lock.
    bool Lookup(ULONGLONG id, Iterator& at);
    void Unlink(Iterator at);

    mutable qkCriticalSection m_lock;
    std::list<Entry> m_recent; // most recent first
    std::vector<Iterator> m_buckets[kBuckets];
    DWORD m_hits = 0;
    DWORD m_misses = 0;
};

} // namespace qkSettings
