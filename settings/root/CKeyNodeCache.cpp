#include "settings/root/CKeyNodeCache.h"

#include <algorithm>

#include "common/base/qkScopedLock.h"

namespace qkSettings {

bool CKeyNodeCache::Lookup(ULONGLONG id, Iterator& at)
{
    for (Iterator it : m_buckets[BucketOf(id)])
        if (it->id == id) {
            at = it;
            return true;
        }
    return false;
}

void CKeyNodeCache::Unlink(Iterator at)
{
    auto& bucket = m_buckets[BucketOf(at->id)];
    bucket.erase(std::find(bucket.begin(), bucket.end(), at));
    m_recent.erase(at);
}

Node CKeyNodeCache::Find(const KeyRef& ref)
{
    qkScopedLock guard(m_lock);
    Iterator at;
    if (Lookup(ref.node, at)) {
        KeyRef cached = NodeRef(*at->node);
        if (cached.values == ref.values && cached.flags == ref.flags) {
            m_recent.splice(m_recent.begin(), m_recent, at);
            ++m_hits;
            return at->node;
        }
        Unlink(at);
    }
    ++m_misses;
    return nullptr;
}

void CKeyNodeCache::Put(const Node& node)
{
    ULONGLONG id = NodeRef(*node).node;
    qkScopedLock guard(m_lock);
    Iterator at;
    if (Lookup(id, at))
        Unlink(at);
    while (m_recent.size() >= kCapacity)
        Unlink(std::prev(m_recent.end()));
    m_recent.push_front(Entry{id, node});
    m_buckets[BucketOf(id)].push_back(m_recent.begin());
}

void CKeyNodeCache::Remove(ULONGLONG nodeId)
{
    qkScopedLock guard(m_lock);
    Iterator at;
    if (Lookup(nodeId, at))
        Unlink(at);
}

void CKeyNodeCache::Clear()
{
    qkScopedLock guard(m_lock);
    m_recent.clear();
    for (auto& bucket : m_buckets)
        bucket.clear();
}

DWORD CKeyNodeCache::Hits() const
{
    qkScopedLock guard(m_lock);
    return m_hits;
}

DWORD CKeyNodeCache::Misses() const
{
    qkScopedLock guard(m_lock);
    return m_misses;
}

} // namespace qkSettings
