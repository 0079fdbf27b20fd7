#include "common/system/qkResourceHolders.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <vector>

namespace {

std::vector<int> g_released;
void ReleaseInt(int value)
{
    g_released.push_back(value);
}
using Owned = qkUniqueResource<int, &ReleaseInt>;

// Every way a resource leaves its owner releases it exactly once, or not at all when given up.
TEST(qkUniqueResource, ReleasesEachResourceOnce)
{
    g_released.clear();
    {
        Owned a(1);
        a.Reset(2);            // 1 released, 2 held
        *a.Receive() = 3;      // 2 released before the out parameter is written
        Owned b(std::move(a)); // 3 moves, nothing released
        EXPECT_FALSE(a);
        Owned c(4);
        c = std::move(b); // 4 released, 3 held by c
        Owned d(5);
        EXPECT_EQ(d.Detach(), 5); // given up: never released
        Owned none;               // the zero value is no resource
        none.Reset();
    } // 3 released when c ends
    EXPECT_EQ(g_released, (std::vector<int>{1, 2, 4, 3}));
}

TEST(qkUniqueResource, HoldsRealWindowsResources)
{
    qkAllocatedSid sid;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, sid.Receive()));
    qkLocalPtr<wchar_t> text;
    ASSERT_TRUE(::ConvertSidToStringSidW(sid.Get(), text.Receive()));
    EXPECT_STREQ(text.Get(), L"S-1-5-18");

    qkRegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, key.Receive()), ERROR_SUCCESS);
    EXPECT_TRUE(key);
    qkRegKey moved(std::move(key));
    DWORD subkeys = 0;
    EXPECT_EQ(::RegQueryInfoKeyW(moved.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

} // namespace
