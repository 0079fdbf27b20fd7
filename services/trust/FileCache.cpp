#include "services/trust/FileCache.h"

#include "common/base/qkScopedLock.h"
#include "common/objects/IVerifyTrust.h"

namespace qkVerifyTrust {

namespace {
bool IsIdentityLevel(DWORD level)
{
    return level >= 3 && level <= 5;
}
bool Empty(const wchar_t* path)
{
    return path == nullptr || *path == L'\0';
}
} // namespace

FileCache& FileCache::Instance()
{
    static FileCache cache;
    return cache;
}

uint32_t FileCache::PathHash(const wchar_t* path)
{
    uint32_t h = 0;
    if (path == nullptr)
        return 0;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        // Lower-case one UTF-16 unit the way the system does, independent of the locale.
        wchar_t c = *p;
        CharLowerBuffW(&c, 1);
        h = (h + static_cast<uint16_t>(c)) * 1025u;
        h ^= h >> 6;
    }
    if (*path == L'\0')
        return 0;
    h *= 9u;
    h ^= h >> 11;
    h *= 32769u;
    return h;
}

std::wstring FileCache::LowerPath(const wchar_t* path)
{
    std::wstring lower(path);
    // The system's lower-casing of each UTF-16 unit, the same as the hash uses.
    CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
    return lower;
}

bool FileCache::Covers(DWORD cached, DWORD requested, bool* conflict)
{
    *conflict = false;
    if (IsIdentityLevel(requested)) {
        if (cached == requested)
            return true;
        *conflict = IsIdentityLevel(cached);
        return false;
    }
    return cached > requested;
}

DWORD FileCache::Lookup(const wchar_t* path, DWORD level, BYTE keepRedirection, DWORD driverPolicy, BYTE* extraFlag,
                        bool* conflict)
{
    bool ignoredConflict = false;
    if (conflict == nullptr)
        conflict = &ignoredConflict;
    *conflict = false;
    if (Empty(path) || level == 0)
        return VT_INVALID_ARGUMENT;
    const uint32_t hash = PathHash(path);
    const std::wstring lower = LowerPath(path);
    qkScopedLock guard(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->pathHash != hash || it->keepRedirection != keepRedirection || it->driverPolicy != driverPolicy ||
            it->lowerPath != lower)
            continue;
        const DWORD cachedLevel = it->level;
        const BYTE cachedExtra = it->extraFlag;
        if (m_capacity != 0) {
            // The entry becomes the most recently used.
            Entry entry = std::move(*it);
            m_entries.erase(it);
            m_entries.push_back(std::move(entry));
        }
        if (Covers(cachedLevel, level, conflict)) {
            if (extraFlag)
                *extraFlag = cachedExtra;
            return VT_TRUSTED;
        }
        if (extraFlag)
            *extraFlag = 0;
        return VT_NOT_TRUSTED;
    }
    return VT_INVALID_ARGUMENT;
}

void FileCache::Add(const wchar_t* path, DWORD level, BYTE keepRedirection, BYTE extraFlag, DWORD driverPolicy)
{
    if (Empty(path) || level == 0)
        return;
    const uint32_t hash = PathHash(path);
    std::wstring lower = LowerPath(path);
    qkScopedLock guard(m_lock);
    for (Entry& entry : m_entries) {
        if (entry.pathHash != hash || entry.keepRedirection != keepRedirection || entry.driverPolicy != driverPolicy ||
            entry.lowerPath != lower)
            continue;
        bool conflict = false;
        // A level below 3 is widened to the new one; an identity level is never replaced.
        if (!Covers(entry.level, level, &conflict) && entry.level < 3)
            entry.level = level;
        if (extraFlag && !entry.extraFlag)
            entry.extraFlag = 1;
        return;
    }
    m_entries.push_back(
        Entry{std::move(lower), hash, level, keepRedirection, extraFlag ? BYTE{1} : BYTE{0}, driverPolicy});
    if (m_capacity != 0 && m_entries.size() > m_capacity)
        m_entries.pop_front();
}

DWORD FileCache::Remove(const wchar_t* path)
{
    if (Empty(path))
        return VT_INVALID_ARGUMENT;
    const uint32_t hash = PathHash(path);
    const std::wstring lower = LowerPath(path);
    qkScopedLock guard(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->pathHash == hash && it->lowerPath == lower) {
            m_entries.erase(it);
            return VT_TRUSTED;
        }
    }
    return VT_INVALID_ARGUMENT;
}

void FileCache::SetCapacity(DWORD capacity)
{
    qkScopedLock guard(m_lock);
    m_capacity = capacity;
    if (capacity != 0) {
        while (m_entries.size() > capacity)
            m_entries.pop_front();
    }
}

DWORD FileCache::GetCapacity()
{
    qkScopedLock guard(m_lock);
    return m_capacity;
}

void FileCache::Clear()
{
    qkScopedLock guard(m_lock);
    std::deque<Entry>().swap(m_entries); // frees the storage too
}

size_t FileCache::Size()
{
    qkScopedLock guard(m_lock);
    return m_entries.size();
}

} // namespace qkVerifyTrust
