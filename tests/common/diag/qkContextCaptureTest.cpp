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

// What the caller of Capture holds in every register that a call preserves, right after the call
// returns, and the context Capture gave it. The registers are loaded with known values just before
// the call, in code that does nothing else.
struct CallerState {
    BOOL ok = FALSE;
    CONTEXT context{};
    ULONG_PTR pc = 0;    // the instruction after the call
    ULONG_PTR stack = 0; // the stack pointer after the call returned
    ULONG_PTR frame = 0; // the frame pointer
    ULONG_PTR kept[7]{}; // rbx rsi rdi r12 r13 r14 r15, or ebx esi edi
};
// Static, so that the code around the call addresses it with no register of its own.
CallerState g_state;

#ifdef _WIN64
constexpr ULONG_PTR kKnown[] = {0x1111111111110001ull, 0x2222222222220002ull, 0x3333333333330003ull,
                                0x4444444444440004ull, 0x5555555555550005ull, 0x6666666666660006ull,
                                0x7777777777770007ull};
constexpr ULONG_PTR kXmmBase = 0x0A0A0A0A0A0A0000ull; // xmm6 to xmm15 hold kXmmBase + 6 to + 15

__attribute__((noinline)) CallerState CaptureWithKnownRegisters()
{
    g_state = CallerState{};
    asm volatile(
        "movabsq %[k0], %%rbx\n\t"
        "movabsq %[k1], %%rsi\n\t"
        "movabsq %[k2], %%rdi\n\t"
        "movabsq %[k3], %%r12\n\t"
        "movabsq %[k4], %%r13\n\t"
        "movabsq %[k5], %%r14\n\t"
        "movabsq %[k6], %%r15\n\t"
        "movabsq %[x], %%rax\n\t"
        "addq $6, %%rax\n\t movq %%rax, %%xmm6\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm7\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm8\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm9\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm10\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm11\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm12\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm13\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm14\n\t"
        "incq %%rax\n\t movq %%rax, %%xmm15\n\t"
        "leaq %[context], %%rcx\n\t"
        "xorl %%edx, %%edx\n\t"
        "subq $32, %%rsp\n\t" // the callee's home area
        "call %P[capture]\n\t"
        "1:\n\t"
        "movq %%rsp, %[stack]\n\t"
        "addq $32, %%rsp\n\t"
        "leaq 1b(%%rip), %%rcx\n\t"
        "movq %%rcx, %[pc]\n\t"
        "movq %%rbp, %[frame]\n\t"
        "movq %%rbx, %[r0]\n\t movq %%rsi, %[r1]\n\t movq %%rdi, %[r2]\n\t movq %%r12, %[r3]\n\t"
        "movq %%r13, %[r4]\n\t movq %%r14, %[r5]\n\t movq %%r15, %[r6]\n\t"
        : "=a"(g_state.ok), [context] "=m"(g_state.context), [stack] "=m"(g_state.stack), [pc] "=m"(g_state.pc),
          [frame] "=m"(g_state.frame), [r0] "=m"(g_state.kept[0]), [r1] "=m"(g_state.kept[1]), [r2] "=m"(g_state.kept[2]),
          [r3] "=m"(g_state.kept[3]), [r4] "=m"(g_state.kept[4]), [r5] "=m"(g_state.kept[5]), [r6] "=m"(g_state.kept[6])
        : [capture] "i"(&qkContextCapture::Capture), [k0] "i"(kKnown[0]), [k1] "i"(kKnown[1]), [k2] "i"(kKnown[2]),
          [k3] "i"(kKnown[3]), [k4] "i"(kKnown[4]), [k5] "i"(kKnown[5]), [k6] "i"(kKnown[6]), [x] "i"(kXmmBase)
        : "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "xmm0", "xmm1",
          "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
          "xmm15", "cc", "memory");
    return g_state;
}
#else
constexpr ULONG_PTR kKnown[] = {0x11110001u, 0x22220002u, 0x33330003u};

__attribute__((noinline)) CallerState CaptureWithKnownRegisters()
{
    g_state = CallerState{};
    static CONTEXT* const context = &g_state.context;
    asm volatile(
        "pushl $0\n\t"
        "pushl %[context]\n\t"
        "movl %[k0], %%ebx\n\t"
        "movl %[k1], %%esi\n\t"
        "movl %[k2], %%edi\n\t"
        "call %P[capture]\n\t"
        "1:\n\t"
        "movl %%esp, %[stack]\n\t"
        "addl $8, %%esp\n\t"
        "movl $1b, %[pc]\n\t"
        "movl %%ebp, %[frame]\n\t"
        "movl %%ebx, %[r0]\n\t movl %%esi, %[r1]\n\t movl %%edi, %[r2]\n\t"
        : "=a"(g_state.ok), [stack] "=m"(g_state.stack), [pc] "=m"(g_state.pc), [frame] "=m"(g_state.frame),
          [r0] "=m"(g_state.kept[0]), [r1] "=m"(g_state.kept[1]), [r2] "=m"(g_state.kept[2])
        : [context] "m"(context), [capture] "i"(&qkContextCapture::Capture), [k0] "i"(kKnown[0]),
          [k1] "i"(kKnown[1]), [k2] "i"(kKnown[2])
        : "ebx", "ecx", "edx", "esi", "edi", "cc", "memory");
    return g_state;
}
#endif

// The context is the caller's right after the call: its instruction, stack and frame pointers and
// every register the call preserves hold what the caller holds there.
TEST(ContextCapture, EveryPreservedRegisterIsTheCallers)
{
    const CallerState state = CaptureWithKnownRegisters();
    ASSERT_TRUE(state.ok);
    const CONTEXT& c = state.context;
#ifdef _WIN64
    for (size_t i = 0; i < 7; ++i)
        ASSERT_EQ(kKnown[i], state.kept[i]) << "the call changed a preserved register: " << i;
    EXPECT_EQ(state.pc, c.Rip);
    EXPECT_EQ(state.stack, c.Rsp);
    EXPECT_EQ(state.frame, c.Rbp);
    const DWORD64 kept[] = {c.Rbx, c.Rsi, c.Rdi, c.R12, c.R13, c.R14, c.R15};
    const char* names[] = {"rbx", "rsi", "rdi", "r12", "r13", "r14", "r15"};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(kKnown[i], kept[i]) << names[i];
    ASSERT_TRUE((c.ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT);
    for (unsigned i = 6; i <= 15; ++i)
        EXPECT_EQ(kXmmBase + i, c.FltSave.XmmRegisters[i].Low) << "xmm" << i;
#else
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(kKnown[i], state.kept[i]) << "the call changed a preserved register: " << i;
    EXPECT_EQ(state.pc, c.Eip);
    EXPECT_EQ(state.stack, c.Esp);
    EXPECT_EQ(state.frame, c.Ebp);
    EXPECT_EQ(kKnown[0], c.Ebx);
    EXPECT_EQ(kKnown[1], c.Esi);
    EXPECT_EQ(kKnown[2], c.Edi);
#endif
    EXPECT_TRUE((c.ContextFlags & CONTEXT_CONTROL) == CONTEXT_CONTROL);
    EXPECT_TRUE((c.ContextFlags & CONTEXT_INTEGER) == CONTEXT_INTEGER);
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
