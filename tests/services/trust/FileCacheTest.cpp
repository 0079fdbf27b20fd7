// The verified-file cache: level rules, least-recently-used order, capacity and entry identity.
#include <gtest/gtest.h>

#include <string>

#include "services/trust/FileCache.h"

using qkVerifyTrust::FileCache;

namespace {

std::wstring PathOf(int i)
{
    return L"C:\\cache\\file" + std::to_wstring(i) + L".dll";
}

DWORD Lookup(FileCache& cache, const std::wstring& path, DWORD level, BYTE keep = 1, DWORD driver = 0,
             bool* conflict = nullptr, BYTE* extra = nullptr)
{
    bool c = false;
    BYTE e = 0;
    const DWORD r = cache.Lookup(path.c_str(), level, keep, driver, &e, &c);
    if (conflict)
        *conflict = c;
    if (extra)
        *extra = e;
    return r;
}

} // namespace

TEST(FileCacheTest, PathHashIsOneAtATimeOverLowerCasedUnits)
{
    EXPECT_EQ(FileCache::PathHash(L"a"), 0xca2e9442u);
    EXPECT_EQ(FileCache::PathHash(L"A"), 0xca2e9442u);
    EXPECT_EQ(FileCache::PathHash(L"C:\\Temp\\X.dll"), 0x279f9fcdu);
    EXPECT_EQ(FileCache::PathHash(L""), 0u);
}

TEST(FileCacheTest, LevelRules)
{
    struct Case {
        DWORD cached, requested, result;
        bool conflict;
    } cases[] = {
        {3, 3, 1, false}, {4, 4, 1, false}, {5, 5, 1, false}, {3, 4, 3, true},  {3, 5, 3, true},
        {4, 3, 3, true},  {5, 4, 3, true},  {3, 2, 1, false}, {3, 1, 1, false}, {2, 1, 1, false},
        {2, 2, 3, false}, {1, 2, 3, false}, {2, 3, 3, false}, {1, 4, 3, false},
    };
    for (const Case& c : cases) {
        FileCache cache;
        cache.Add(L"C:\\x.dll", c.cached, 1, 0, 0);
        bool conflict = false;
        EXPECT_EQ(Lookup(cache, L"C:\\x.dll", c.requested, 1, 0, &conflict), c.result)
            << c.cached << "->" << c.requested;
        EXPECT_EQ(conflict, c.conflict) << c.cached << "->" << c.requested;
    }
}

TEST(FileCacheTest, MissesAndInvalidArguments)
{
    FileCache cache;
    cache.Add(L"C:\\x.dll", 3, 1, 0, 0);
    EXPECT_EQ(Lookup(cache, L"C:\\y.dll", 3), 5u);
    EXPECT_EQ(Lookup(cache, L"", 3), 5u);
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 0), 5u);
    EXPECT_EQ(cache.Lookup(nullptr, 3, 1, 0, nullptr, nullptr), 5u);
    // Case differences share the entry; redirection and driver policy make separate ones.
    EXPECT_EQ(Lookup(cache, L"c:\\X.DLL", 3), 1u);
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 3, 0), 5u);
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 3, 1, 1), 5u);
    cache.Add(L"C:\\x.dll", 3, 0, 0, 0);
    EXPECT_EQ(cache.Size(), 2u);
}

TEST(FileCacheTest, PathsSharingAHashKeepEntriesOfTheirOwn)
{
    // Two different paths with one hash: neither is answered from the other's verdict.
    const std::wstring trusted = PathOf(104800);
    const std::wstring other = PathOf(118645);
    ASSERT_EQ(FileCache::PathHash(trusted.c_str()), FileCache::PathHash(other.c_str()));
    FileCache cache;
    cache.Add(trusted.c_str(), 3, 1, 0, 0);
    EXPECT_EQ(Lookup(cache, other, 3), 5u);
    EXPECT_EQ(Lookup(cache, other, 4), 5u) << "no conflict from another file's entry";
    EXPECT_EQ(cache.Remove(other.c_str()), 5u);
    cache.Add(other.c_str(), 4, 1, 0, 0);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(Lookup(cache, trusted, 3), 1u);
    EXPECT_EQ(Lookup(cache, other, 4), 1u);
    EXPECT_EQ(cache.Remove(other.c_str()), 1u);
    EXPECT_EQ(Lookup(cache, trusted, 3), 1u);
}

TEST(FileCacheTest, AddWidensOnlyLowLevelsAndKeepsExtraFlag)
{
    FileCache cache;
    cache.Add(L"C:\\x.dll", 2, 1, 0, 0);
    cache.Add(L"C:\\x.dll", 4, 1, 1, 0); // level 2 is replaced, the extra flag set
    BYTE extra = 0;
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 4, 1, 0, nullptr, &extra), 1u);
    EXPECT_EQ(extra, 1);
    cache.Add(L"C:\\x.dll", 3, 1, 0, 0); // an identity level is never replaced
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 3), 3u);
    EXPECT_EQ(Lookup(cache, L"C:\\x.dll", 4, 1, 0, nullptr, &extra), 1u);
    EXPECT_EQ(extra, 1); // a later add without the flag does not clear it
    EXPECT_EQ(cache.Size(), 1u);
}

TEST(FileCacheTest, OldestEntryDropsAndLookupsRefresh)
{
    FileCache cache;
    ASSERT_EQ(cache.GetCapacity(), 100u);
    for (int i = 0; i < 100; ++i)
        cache.Add(PathOf(i).c_str(), 3, 1, 0, 0);
    EXPECT_EQ(Lookup(cache, PathOf(0), 3), 1u); // file 0 becomes the newest
    cache.Add(PathOf(100).c_str(), 3, 1, 0, 0); // the 101st drops the oldest: file 1
    EXPECT_EQ(cache.Size(), 100u);
    EXPECT_EQ(Lookup(cache, PathOf(0), 3), 1u);
    EXPECT_EQ(Lookup(cache, PathOf(1), 3), 5u);
    EXPECT_EQ(Lookup(cache, PathOf(2), 3), 1u);
    EXPECT_EQ(Lookup(cache, PathOf(100), 3), 1u);
}

TEST(FileCacheTest, CapacityZeroKeepsEverythingAndNeverReorders)
{
    FileCache cache;
    cache.SetCapacity(0);
    for (int i = 0; i < 250; ++i)
        cache.Add(PathOf(i).c_str(), 3, 1, 0, 0);
    EXPECT_EQ(cache.Size(), 250u);
    EXPECT_EQ(Lookup(cache, PathOf(0), 3), 1u);
    // Back to a limit of 2: the front entries go, and file 0 was not moved to the back.
    cache.SetCapacity(2);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(Lookup(cache, PathOf(0), 3), 5u);
    EXPECT_EQ(Lookup(cache, PathOf(248), 3), 1u);
    EXPECT_EQ(Lookup(cache, PathOf(249), 3), 1u);
}

TEST(FileCacheTest, RemoveAndClear)
{
    FileCache cache;
    cache.Add(L"C:\\x.dll", 3, 1, 0, 0);
    cache.Add(L"C:\\y.dll", 4, 0, 0, 1);
    EXPECT_EQ(cache.Remove(L"C:\\X.dll"), 1u);
    EXPECT_EQ(cache.Remove(L"C:\\x.dll"), 5u);
    EXPECT_EQ(cache.Remove(L""), 5u);
    EXPECT_EQ(cache.Remove(L"C:\\y.dll"), 1u); // whatever its level and flags
    cache.Add(L"C:\\z.dll", 3, 1, 0, 0);
    cache.Clear();
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_EQ(Lookup(cache, L"C:\\z.dll", 3), 5u);
}
