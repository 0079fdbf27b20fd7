// The captured context is the caller's: a stack walk from it finds the caller and goes back
// through the caller's callers, on this thread and on another.
#include <gtest/gtest.h>

#include <thread>

#include "StackWalkSupport.h"
#include "common/diag/qkContextCapture.h"

namespace {

ULONG_PTR ProgramCounter(const CONTEXT& context)
{
#ifdef _WIN64
    return context.Rip;
#else
    return context.Eip;
#endif
}

struct Captured {
    BOOL ok = FALSE;
    CONTEXT context{};
    ULONG_PTR site = 0;             // where CaptureBelow returns to in its caller
    std::vector<ULONG_PTR> frames;  // walked while CaptureBelow's frame was still alive
};

// Captures from a frame of its own, skipping the given number of frames above Capture's caller,
// and walks the stack from the context before this frame ends.
__attribute__((noinline)) Captured CaptureBelow(unsigned skip)
{
    Captured captured;
    captured.site = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    captured.ok = qkContextCapture::Capture(captured.context, skip);
    if (captured.ok)
        captured.frames = diagtest::WalkLive(captured.context);
    return captured;
}

TEST(ContextCapture, TheWalkFromTheContextFindsTheCaller)
{
    struct Case {
        unsigned skip;
        size_t siteFrame; // the frame of the walk that is this test at the call of CaptureBelow
    } cases[] = {{0, 1}, {1, 0}};
    for (const Case& c : cases) {
        const Captured captured = CaptureBelow(c.skip);
        ASSERT_TRUE(captured.ok) << c.skip;
        if (c.skip == 1) {
            EXPECT_EQ(captured.site, ProgramCounter(captured.context)) << "skipping one frame lands at the call";
        }
        ASSERT_GT(captured.frames.size(), c.siteFrame + 1) << c.skip;
        EXPECT_EQ(captured.site, captured.frames[c.siteFrame]) << c.skip;
    }
}

TEST(ContextCapture, WorksOnAnotherThreadToo)
{
    Captured captured;
    std::thread([&] { captured = CaptureBelow(0); }).join();
    ASSERT_TRUE(captured.ok);
    ASSERT_GT(captured.frames.size(), 1u);
    EXPECT_EQ(captured.site, captured.frames[1]);
}

} // namespace
