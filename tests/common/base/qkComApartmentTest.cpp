#include "common/base/qkComApartment.h"
#include "common/base/qkEvent.h"
#include "common/base/qkEventResetGuard.h"
#include "common/base/qkWaitableTimer.h"

#include <objbase.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

namespace {

// Each case runs on a fresh thread, so that apartments do not carry over.
void OnNewThread(const std::function<void()>& body)
{
    std::thread t(body);
    t.join();
}

// The apartment the calling thread is in, told by what a second CoInitializeEx answers
// (balanced at once when it entered).
const char* ApartmentOfThisThread()
{
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE) {
        return "sta";
    }
    ::CoUninitialize();
    return hr == S_OK ? "none" : "mta";
}

TEST(qkComApartment, Modes)
{
    OnNewThread([] {
        qkComApartment none;
        EXPECT_EQ(S_OK, none.Initialize(3));
        EXPECT_STREQ("none", ApartmentOfThisThread());
    });
    OnNewThread([] {
        {
            qkComApartment guard;
            EXPECT_EQ(3u, guard.GetMode());
            EXPECT_EQ(S_OK, guard.Initialize(0));
            EXPECT_EQ(::GetCurrentThreadId(), guard.GetOwningThread());
            EXPECT_STREQ("mta", ApartmentOfThisThread());
        }
        EXPECT_STREQ("none", ApartmentOfThisThread());
    });
    OnNewThread([] {
        qkComApartment guard;
        EXPECT_EQ(S_OK, guard.Initialize(2));
        EXPECT_STREQ("sta", ApartmentOfThisThread());
        guard.Uninitialize();
        EXPECT_EQ(3u, guard.GetMode());
        EXPECT_STREQ("none", ApartmentOfThisThread());
    });
    OnNewThread([] {
        qkComApartment guard;
        EXPECT_EQ(E_FAIL, guard.Initialize(7));
        EXPECT_EQ(3u, guard.GetMode());
    });
}

TEST(qkComApartment, OtherApartmentKindFails)
{
    OnNewThread([] {
        qkComApartment mta;
        ASSERT_EQ(S_OK, mta.Initialize(1));
        qkComApartment sta;
        EXPECT_EQ(RPC_E_CHANGED_MODE, sta.Initialize(2));
        EXPECT_EQ(3u, sta.GetMode());
        // A compatible second entry succeeds with S_FALSE and is balanced by its own guard.
        qkComApartment again;
        EXPECT_EQ(S_FALSE, again.Initialize(1));
    });
}

TEST(qkComApartment, DestroyedOnAnotherThreadLeavesComAsItIs)
{
    OnNewThread([] {
        auto guard = std::make_unique<qkComApartment>();
        ASSERT_EQ(S_OK, guard->Initialize(1));
        OnNewThread([&] { guard.reset(); });
        EXPECT_STREQ("mta", ApartmentOfThisThread());
        ::CoUninitialize(); // the entry the guard could not leave
        EXPECT_STREQ("none", ApartmentOfThisThread());
    });
}

TEST(qkWaitableTimer, CancelAndClose)
{
    qkWaitableTimer empty;
    EXPECT_TRUE(empty.Cancel());
    EXPECT_TRUE(empty.Close());

    HANDLE raw = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, raw);
    qkWaitableTimer timer(raw);
    LARGE_INTEGER due;
    due.QuadPart = -1; // 100 ns from now
    ASSERT_TRUE(::SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(timer.Get(), 10000));
    due.QuadPart = -10LL * 1000 * 1000 * 3600; // an hour from now
    ASSERT_TRUE(::SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE));
    EXPECT_TRUE(timer.Cancel());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(timer.Get(), 0));
    EXPECT_TRUE(timer.Close());
    EXPECT_FALSE(timer.IsValid());
    EXPECT_FALSE(timer.IsArmed());
}

TEST(qkEventResetGuard, ResetsWhenScopeEnds)
{
    qkEvent event(true);
    event.Set();
    {
        qkEventResetGuard guard(&event);
        EXPECT_TRUE(event.Lock(0));
    }
    EXPECT_FALSE(event.Lock(0));
    {
        qkEventResetGuard nothing(nullptr);
    }
}

} // namespace
