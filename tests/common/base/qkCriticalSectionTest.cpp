#include "common/base/qkCriticalSection.h"
#include "common/base/qkScopedLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

TEST(qkCriticalSection, ExcludesOtherThreadsAndIsRecursive)
{
    qkCriticalSection cs;
    ASSERT_TRUE(cs.IsInitialized());
    EXPECT_EQ(nullptr, cs.GetHandle());
    // Recursive for the owner.
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(cs.Unlock());

    // Many threads incrementing a plain counter under the lock lose no update.
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                qkScopedLock lock(cs);
                counter = counter + 1;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(8 * 20000, counter);
}

TEST(qkCriticalSection, TimeoutDoesNotApply)
{
    qkCriticalSection cs;
    ASSERT_TRUE(cs.Lock());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        cs.Lock(100, FALSE);
        entered = true;
        cs.Unlock();
    });
    // Well past the timeout the other thread still waits for the section.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(entered.load());
    cs.Unlock();
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(qkCriticalSection, DeletedSectionRefuses)
{
    qkCriticalSection cs;
    cs.Delete();
    EXPECT_FALSE(cs.Lock());
    EXPECT_FALSE(cs.Unlock());
    EXPECT_FALSE(cs.Enter());
    EXPECT_TRUE(cs.Initialize());
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.Unlock());
}

// A lockable object whose Unlock fails a given number of times.
class FlakyObject : public qkSyncObject {
public:
    BOOL Lock(DWORD, BOOL) override
    {
        ++locks;
        return lockResult;
    }
    BOOL Unlock() override
    {
        ++unlocks;
        return failUnlocks-- > 0 ? FALSE : TRUE;
    }
    HANDLE GetHandle() override { return nullptr; }
    BOOL lockResult = TRUE;
    int failUnlocks = 0;
    int locks = 0;
    int unlocks = 0;
};

TEST(qkScopedLock, FailedUnlockKeepsFlagAndDestructorRetries)
{
    FlakyObject object;
    object.failUnlocks = 1;
    {
        qkScopedLock lock(object);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(lock.Unlock());
        EXPECT_TRUE(lock.IsLocked());
    }
    EXPECT_EQ(2, object.unlocks);
}

TEST(qkScopedLock, DeferredAndExplicitUnlock)
{
    FlakyObject object;
    {
        qkScopedLock lock(&object);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(0, object.locks);
        EXPECT_TRUE(lock.Unlock()); // not locked: nothing to do
        EXPECT_TRUE(lock.Lock());
        EXPECT_TRUE(lock.Unlock());
        EXPECT_FALSE(lock.IsLocked());
    }
    EXPECT_EQ(1, object.unlocks); // the destructor does not unlock again

    object.lockResult = FALSE;
    {
        qkScopedLock lock(object);
        EXPECT_FALSE(lock.IsLocked());
    }
    EXPECT_EQ(1, object.unlocks);
}

} // namespace
