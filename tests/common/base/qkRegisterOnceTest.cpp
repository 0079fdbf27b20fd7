#include "common/base/qkRegisterOnce.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

int g_values[16];

TEST(qkRegisterOnce, OnlyTheFirstCallCounts)
{
    struct Case {
        int* first;
        HRESULT firstResult;
        int* stored;
    } cases[] = {{&g_values[0], S_OK, &g_values[0]}, {nullptr, E_INVALIDARG, nullptr}};
    for (const Case& c : cases) {
        qkRegisterOnce<int*> slot;
        EXPECT_EQ(nullptr, slot.Get());
        EXPECT_EQ(c.firstResult, slot.Register(c.first));
        EXPECT_EQ(E_UNEXPECTED, slot.Register(&g_values[1]));
        EXPECT_EQ(E_UNEXPECTED, slot.Register(nullptr));
        EXPECT_EQ(c.stored, slot.Get());
        // Forgetting drops the value and leaves the registration used.
        slot.Forget();
        EXPECT_EQ(nullptr, slot.Get());
        EXPECT_EQ(E_UNEXPECTED, slot.Register(&g_values[2]));
        EXPECT_EQ(nullptr, slot.Get());
    }
}

// Threads that register at the same moment: exactly one of them is told S_OK, and its value is
// the one stored.
TEST(qkRegisterOnce, OneWinnerAmongRacingThreads)
{
    for (int round = 0; round < 200; ++round) {
        qkRegisterOnce<int*> slot;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        HRESULT results[16] = {};
        std::vector<std::thread> threads;
        for (int i = 0; i < 16; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                // Waiting threads give up their time slice: with more threads than cores, a
                // pure spin kept the threads still to start off the processors for whole slices.
                while (!go.load())
                    std::this_thread::yield();
                results[i] = slot.Register(&g_values[i]);
            });
        }
        while (ready.load() < 16)
            std::this_thread::yield();
        go = true;
        for (std::thread& thread : threads)
            thread.join();
        int winners = 0;
        for (int i = 0; i < 16; ++i) {
            if (results[i] == S_OK) {
                ++winners;
                EXPECT_EQ(&g_values[i], slot.Get());
            } else {
                EXPECT_EQ(E_UNEXPECTED, results[i]);
            }
        }
        ASSERT_EQ(1, winners) << "round " << round;
    }
}

} // namespace
