#include "common/base/qkReadWriteLock.h"
#include "common/base/qkScopedReadLock.h"
#include "common/base/qkScopedWriteLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Counters {
    DWORD writers, readers, holders;
};

Counters State(qkReadWriteLock& lock)
{
    Counters c{};
    lock.GetState(&c.writers, &c.readers, &c.holders);
    return c;
}

// Waits (bounded) until the lock's counters satisfy the condition: how the tests know that a
// thread has reached its wait, without sleeping for it.
template <typename Pred>
bool WaitForState(qkReadWriteLock& lock, Pred pred)
{
    for (int i = 0; i < 20000; ++i) {
        if (pred(State(lock))) {
            return true;
        }
        std::this_thread::yield();
        ::Sleep(1);
    }
    return false;
}

// A thread that takes one side of the lock, records the moment, and holds it until released.
class Holder {
public:
    Holder(qkReadWriteLock& lock, bool exclusive, std::vector<std::string>* order = nullptr, const char* name = "")
        : m_release(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, &lock, exclusive, order, name] {
            const bool ok = exclusive ? lock.LockExclusive() : lock.LockShared();
            if (order != nullptr) {
                std::lock_guard<std::mutex> g(s_orderMutex);
                order->push_back(name);
            }
            m_acquired = ok;
            ::WaitForSingleObject(m_release, INFINITE);
            if (exclusive) {
                lock.UnlockExclusive();
            } else {
                lock.UnlockShared();
            }
        });
    }
    ~Holder()
    {
        Release();
        ::CloseHandle(m_release);
    }
    bool Acquired() const { return m_acquired.load(); }
    bool WaitAcquired()
    {
        for (int i = 0; i < 20000 && !m_acquired.load(); ++i) {
            ::Sleep(1);
        }
        return m_acquired.load();
    }
    void Release()
    {
        ::SetEvent(m_release);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    static std::mutex s_orderMutex;

private:
    HANDLE m_release;
    std::atomic<bool> m_acquired{false};
    std::thread m_thread;
};
std::mutex Holder::s_orderMutex;

TEST(qkReadWriteLock, ReadersShareAndWriterWaitsForBoth)
{
    qkReadWriteLock lock;
    Holder r1(lock, false);
    Holder r2(lock, false);
    ASSERT_TRUE(r1.WaitAcquired());
    ASSERT_TRUE(r2.WaitAcquired());
    EXPECT_EQ(2u, State(lock).holders);

    Holder w(lock, true);
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.writers == 1; }));
    EXPECT_FALSE(w.Acquired());
    r1.Release();
    EXPECT_FALSE(w.Acquired());
    r2.Release();
    ASSERT_TRUE(w.WaitAcquired());
    EXPECT_EQ(0x10000u, State(lock).holders);
    w.Release();
    EXPECT_EQ(0u, State(lock).holders);
}

TEST(qkReadWriteLock, NewReaderQueuesBehindWaitingWriter)
{
    qkReadWriteLock lock;
    std::vector<std::string> order;
    Holder r1(lock, false, &order, "r1");
    ASSERT_TRUE(r1.WaitAcquired());
    Holder w(lock, true, &order, "w");
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.writers == 1; }));
    // Held only shared, but a writer waits: the new reader waits too.
    Holder r2(lock, false, &order, "r2");
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.readers == 1; }));
    EXPECT_FALSE(r2.Acquired());
    r1.Release();
    ASSERT_TRUE(w.WaitAcquired());
    EXPECT_FALSE(r2.Acquired());
    w.Release();
    ASSERT_TRUE(r2.WaitAcquired());
    r2.Release();
    EXPECT_EQ((std::vector<std::string>{"r1", "w", "r2"}), order);
    Counters end = State(lock);
    EXPECT_EQ(0u, end.holders);
    EXPECT_EQ(0u, end.readers);
    EXPECT_EQ(0u, end.writers);
}

TEST(qkReadWriteLock, ExclusiveReleaseHandsToWriterBeforeReaders)
{
    qkReadWriteLock lock;
    std::vector<std::string> order;
    Holder w1(lock, true, &order, "w1");
    ASSERT_TRUE(w1.WaitAcquired());
    Holder r1(lock, false, &order, "r1");
    Holder r2(lock, false, &order, "r2");
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.readers == 2; }));
    Holder w2(lock, true, &order, "w2");
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.writers == 1; }));

    // A finite timeout does not apply: the waiters above are still waiting well after it.
    std::atomic<bool> timedReader{false};
    std::thread t([&] {
        lock.LockShared(100, FALSE);
        timedReader = true;
        lock.UnlockShared();
    });
    ASSERT_TRUE(WaitForState(lock, [](Counters c) { return c.readers == 3; }));
    ::Sleep(300);
    EXPECT_FALSE(timedReader.load());

    w1.Release();
    ASSERT_TRUE(w2.WaitAcquired());
    EXPECT_FALSE(r1.Acquired());
    EXPECT_FALSE(r2.Acquired());
    w2.Release();
    ASSERT_TRUE(r1.WaitAcquired());
    ASSERT_TRUE(r2.WaitAcquired());
    t.join();
    EXPECT_TRUE(timedReader.load());
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ("w1", order[0]);
    EXPECT_EQ("w2", order[1]);
}

TEST(qkReadWriteLock, GuardsReleaseOnceOnly)
{
    qkReadWriteLock lock;
    {
        qkScopedReadLock reader(lock);
        EXPECT_TRUE(reader.IsLocked());
        EXPECT_EQ(1u, State(lock).holders);
        EXPECT_TRUE(reader.Unlock());
        EXPECT_FALSE(reader.IsLocked());
        // The lock is free: exclusive use is granted at once.
        EXPECT_TRUE(lock.LockExclusive());
    }
    // The guard's destructor did not release the shared side again.
    EXPECT_EQ(0x10000u, State(lock).holders);
    lock.UnlockExclusive();
    {
        qkScopedWriteLock writer(lock);
        EXPECT_EQ(0x10000u, State(lock).holders);
    }
    EXPECT_EQ(0u, State(lock).holders);
}

TEST(qkReadWriteLock, ManyThreadsKeepExclusion)
{
    qkReadWriteLock lock;
    std::atomic<int> activeReaders{0};
    std::atomic<int> activeWriters{0};
    std::atomic<int> violations{0};
    long shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                if ((i + t) % 4 == 0) {
                    qkScopedWriteLock w(lock);
                    if (++activeWriters != 1 || activeReaders.load() != 0) {
                        ++violations;
                    }
                    shared = shared + 1;
                    --activeWriters;
                } else {
                    qkScopedReadLock r(lock);
                    ++activeReaders;
                    if (activeWriters.load() != 0) {
                        ++violations;
                    }
                    --activeReaders;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(0, violations.load());
    EXPECT_EQ(8 * 250, shared);
    Counters end = State(lock);
    EXPECT_EQ(0u, end.holders);
    EXPECT_EQ(0u, end.readers);
    EXPECT_EQ(0u, end.writers);
}

} // namespace
