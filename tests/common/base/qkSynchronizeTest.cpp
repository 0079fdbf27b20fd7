#include "common/base/qkEvent.h"
#include "common/base/qkMultiLock.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkSemaphore.h"
#include "common/base/qkSynchronize.h"
#include "common/system/CIsolation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(qkSynchronize, RemainingTime)
{
    struct Case {
        DWORD start, now, timeout;
        BOOL ok;
        DWORD remaining;
    } cases[] = {
        {0xFFFFFF00u, 0x100u, 1000, TRUE, 488}, // 512 ms elapsed across the wrap
        {1000, 1000, 1000, TRUE, 1000},
        {1000, 1999, 1000, TRUE, 1},
        {1000, 2000, 1000, FALSE, 0},
        {1000, 900000, 1000, FALSE, 0},
        {5, 0x7FFFFFFFu, INFINITE, TRUE, INFINITE},
        {5, 0x7FFFFFFFu, 0, TRUE, 0},
    };
    for (const auto& c : cases) {
        DWORD remaining = 12345;
        EXPECT_EQ(c.ok, qkSynchronize::GetRemainingTime(c.start, c.now, c.timeout, &remaining))
            << c.start << " " << c.now;
        EXPECT_EQ(c.remaining, remaining) << c.start << " " << c.now;
    }
}

TEST(qkSynchronize, SignaledIndex)
{
    struct Case {
        DWORD result, index;
    } cases[] = {
        {WAIT_OBJECT_0, 0}, {WAIT_OBJECT_0 + 63, 63}, {130, 2}, {WAIT_ABANDONED_0, 0}, {WAIT_TIMEOUT, 0},
        {WAIT_FAILED, 0},   {WAIT_IO_COMPLETION, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.index, qkSynchronize::GetSignaledIndex(c.result)) << c.result;
    }
}

// Runs first in this program: the silo is process-wide and set once.
TEST(qkSynchronize, ObjectNames)
{
    std::wstring name;
    EXPECT_TRUE(qkSynchronize::GetObjectName(L"VekTestEvent", name, TRUE, FALSE));
    EXPECT_EQ(L"Global\\VekTestEvent", name);
    EXPECT_TRUE(qkSynchronize::GetObjectName(L"VekTestEvent", name, FALSE, FALSE));
    EXPECT_EQ(L"VekTestEvent", name);

    if (CIsolation::GetSiloID() == nullptr) {
        EXPECT_FALSE(qkSynchronize::GetObjectName(L"VekTestEvent", name, FALSE, TRUE));
        qkEvent event;
        EXPECT_FALSE(event.Create(nullptr, TRUE, FALSE, L"VekTestNoSilo", FALSE, TRUE));
        EXPECT_EQ(nullptr, event.GetHandle());
        ASSERT_TRUE(CIsolation::SetSiloID(L"{0B5E7A11-1118-4E57-A0E1-5A1E0B5E7A11}"));
    }
    const std::wstring silo = CIsolation::GetSiloID();
    EXPECT_TRUE(qkSynchronize::GetObjectName(L"VekTestEvent", name, TRUE, TRUE));
    EXPECT_EQ(L"Global\\VekTestEvent" + silo, name);

    // A named event with the suffix is the same kernel object as the fully named one.
    qkEvent created;
    ASSERT_TRUE(created.Create(nullptr, TRUE, FALSE, L"VekTestSuffixed", FALSE, TRUE));
    qkEvent opened;
    ASSERT_TRUE(opened.Open(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (L"VekTestSuffixed" + silo).c_str()));
    EXPECT_TRUE(opened.Set());
    EXPECT_TRUE(created.Lock(0));
}

TEST(qkEvent, CreateOpenSetReset)
{
    qkEvent none;
    EXPECT_EQ(nullptr, none.GetHandle());
    EXPECT_FALSE(none.Set());
    EXPECT_FALSE(none.SetState(false));
    EXPECT_FALSE(none.Lock(0));

    qkEvent unnamed(true);
    ASSERT_NE(nullptr, unnamed.GetHandle());
    EXPECT_FALSE(unnamed.Lock(0));
    EXPECT_TRUE(unnamed.SetState(true));
    EXPECT_TRUE(unnamed.Lock(0));
    EXPECT_TRUE(unnamed.Lock(0)); // manual reset: stays signalled
    EXPECT_TRUE(unnamed.SetState(false));
    EXPECT_FALSE(unnamed.Lock(0));

    // An existing named event counts as created.
    qkEvent first;
    ASSERT_TRUE(first.Create(nullptr, FALSE, FALSE, L"VekTestNamedEvent"));
    qkEvent second;
    ASSERT_TRUE(second.Create(nullptr, FALSE, FALSE, L"VekTestNamedEvent"));
    EXPECT_EQ(ERROR_ALREADY_EXISTS, ::GetLastError());
    EXPECT_TRUE(second.Set());
    EXPECT_TRUE(first.Lock(0));
    EXPECT_FALSE(first.Lock(0)); // auto reset

    qkEvent missing;
    EXPECT_FALSE(missing.Open(SYNCHRONIZE, FALSE, L"VekTestNoSuchEvent"));
    EXPECT_EQ(nullptr, missing.GetHandle());
}

TEST(qkEvent, ScopedLockOverEventUnlocks)
{
    qkEvent event(true);
    event.Set();
    qkScopedLock lock(event, 0);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(lock.IsLocked());
}

TEST(qkSemaphore, ObtainAndRelease)
{
    qkSemaphore gate;
    ASSERT_NE(nullptr, gate.GetHandle());
    EXPECT_FALSE(gate.Lock(0));
    EXPECT_TRUE(gate.Unlock());
    EXPECT_FALSE(gate.Unlock()); // maximum count 1
    EXPECT_TRUE(gate.Lock(0));
    EXPECT_FALSE(gate.Lock(0));

    // A release wakes a waiting thread.
    std::atomic<bool> got{false};
    std::thread waiter([&] { got = gate.Lock(INFINITE) != FALSE; });
    EXPECT_TRUE(gate.Unlock());
    waiter.join();
    EXPECT_TRUE(got.load());
}

TEST(qkMultiLock, HoldsTheSignalledObject)
{
    qkEvent a(true);
    qkEvent b(true);
    qkSyncObject* objects[] = {&a, &b};
    qkMultiLock lock(objects, 2);
    b.Set();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, lock.Lock());
    EXPECT_FALSE(lock.IsHeld(0));
    EXPECT_TRUE(lock.IsHeld(1));
    lock.Unlock();
    EXPECT_FALSE(lock.IsHeld(1));

    qkSemaphore s1;
    qkSemaphore s2;
    qkSyncObject* gates[] = {&s1, &s2};
    qkMultiLock gateLock(gates, 2);
    s1.Unlock();
    EXPECT_EQ(WAIT_OBJECT_0, gateLock.Lock());
    EXPECT_TRUE(gateLock.IsHeld(0));
    gateLock.Unlock(); // releases s1 again
    EXPECT_TRUE(s1.Lock(0));
}

// A window on the waiting thread; its procedure records what it was given.
struct WindowState {
    std::atomic<int> appMessages{0};
    std::atomic<int> sentMessages{0};
    HANDLE ack = nullptr;
};
WindowState* g_window = nullptr;

LRESULT CALLBACK TestWndProcW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_APP) {
        ++g_window->appMessages;
        ::SetEvent(g_window->ack);
        return 0;
    }
    if (msg == WM_APP + 1) {
        ++g_window->sentMessages;
        return 42;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TestWndProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_APP || msg == WM_APP + 1) {
        return TestWndProcW(hwnd, msg, wp, lp);
    }
    return ::DefWindowProcA(hwnd, msg, wp, lp);
}

HWND MakeWindow(bool unicode)
{
    if (unicode) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = TestWndProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VekTestWaitWindowW";
        ::RegisterClassW(&wc);
        return ::CreateWindowW(L"VekTestWaitWindowW", L"wait", WS_OVERLAPPED, 0, 0, 10, 10, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    }
    WNDCLASSA wc = {};
    wc.lpfnWndProc = TestWndProcA;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = "VekTestWaitWindowA";
    ::RegisterClassA(&wc);
    return ::CreateWindowA("VekTestWaitWindowA", "wait", WS_OVERLAPPED, 0, 0, 10, 10, HWND_MESSAGE, nullptr,
                           wc.hInstance, nullptr);
}

TEST(qkSynchronize, PumpingWaitKeepsWindowMessagesFlowing)
{
    for (bool unicode : {true, false}) {
        SCOPED_TRACE(unicode ? "unicode window" : "ansi window");
        WindowState state;
        state.ack = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        g_window = &state;
        HWND hwnd = MakeWindow(unicode);
        ASSERT_NE(nullptr, hwnd);
        EXPECT_EQ(unicode, ::IsWindowUnicode(hwnd) != FALSE);

        qkEvent done(true);
        std::atomic<LRESULT> sendResult{0};
        std::atomic<bool> acked{false};
        // The worker's sent message and posted message are both handled only if the waiting
        // thread dispatches them; the worker signals the event after both.
        std::thread worker([&] {
            sendResult = ::SendMessageW(hwnd, WM_APP + 1, 0, 0);
            ::PostMessageW(hwnd, WM_APP, 0, 0);
            acked = ::WaitForSingleObject(state.ack, 10000) == WAIT_OBJECT_0;
            done.Set();
        });
        EXPECT_TRUE(done.Lock(20000, TRUE));
        worker.join();
        EXPECT_EQ(42, sendResult.load());
        EXPECT_TRUE(acked.load());
        EXPECT_EQ(1, state.appMessages.load());
        EXPECT_EQ(1, state.sentMessages.load());
        ::DestroyWindow(hwnd);
        ::CloseHandle(state.ack);
        g_window = nullptr;
    }
}

TEST(qkSynchronize, WaitWithoutPumpLeavesMessagesQueued)
{
    WindowState state;
    state.ack = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_window = &state;
    HWND hwnd = MakeWindow(true);
    ASSERT_TRUE(::PostMessageW(hwnd, WM_APP, 0, 0));
    qkEvent event(true);
    event.Set();
    EXPECT_TRUE(event.Lock(1000, FALSE));
    EXPECT_EQ(0, state.appMessages.load());
    // A pumping wait with a short timeout dispatches it and then times out.
    qkEvent never(true);
    qkSynchronize waiter(TRUE);
    HANDLE h = never.GetHandle();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waiter.WaitForSingleObject(h, 50));
    EXPECT_EQ(1, state.appMessages.load());
    ::DestroyWindow(hwnd);
    ::CloseHandle(state.ack);
    g_window = nullptr;
}

TEST(qkSynchronize, QuitMessageWhileWaiting)
{
    qkEvent never(true);
    HANDLE h = never.GetHandle();
    MSG msg;

    // Stop-on-quit: the wait ends at once and WM_QUIT stays queued.
    ::PostQuitMessage(3);
    qkSynchronize stopping(TRUE);
    stopping.SetStopOnQuit(TRUE);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, stopping.MsgWaitForMultipleObjects(1, &h, 10000));
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
    EXPECT_EQ(3u, msg.wParam);

    // Without it the wait goes on, and the quit is posted again afterwards.
    ::PostQuitMessage(7);
    qkSynchronize pumping(TRUE);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), pumping.MsgWaitForMultipleObjects(1, &h, 50));
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
    EXPECT_EQ(7u, msg.wParam);
}

TEST(qkSynchronize, PumpingWaitReturnsSignalledIndex)
{
    qkEvent a(true);
    qkEvent b(true);
    HANDLE handles[] = {a.GetHandle(), b.GetHandle()};
    std::thread setter([&] { b.Set(); });
    qkSynchronize waiter(TRUE);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, waiter.WaitForMultipleObjects(2, handles, 20000));
    setter.join();
    qkSynchronize plain(FALSE);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, plain.WaitForMultipleObjects(2, handles, 0));
}

} // namespace
