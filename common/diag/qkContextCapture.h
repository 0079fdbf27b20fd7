#pragma once
// The calling thread's processor context, as the caller of Capture sees it right after the call
// returns: its instruction, stack and frame pointers and every register that a call preserves
// (on x64 rbx, rbp, rsi, rdi, r12 to r15 and xmm6 to xmm15; on x86 ebx, esi, edi and ebp), so that
// a stack walk or a minidump starts in the caller and goes back through the caller's callers.
//
// On x64 the context is taken inside Capture by RtlCaptureContext and moved up one frame with
// Capture's own unwind data while that frame is still live: the unwind restores what Capture's
// prologue saved, so every preserved register is the caller's.
// On x86 RtlCaptureContext cannot serve: it reads its caller's caller through EBP and leaves the
// other registers as its caller changed them. Capture is written there in assembly that copies the
// registers on entry, before anything changes them. A walk beyond the caller follows the callers'
// frame pointers on x86, which is why the 32-bit build keeps them.
// Nothing is allocated and no exception is raised: a capture works inside an allocation failure
// and inside an exception handler too.
#include <windows.h>

class qkContextCapture {
public:
    // Fills context with the state of the code that called Capture, moved up by skipFrames more
    // frames (1: the caller's caller). Moving up restores every preserved register on x64; on x86,
    // where no unwind data exists, it restores the instruction, stack and frame pointers only. FALSE
    // when no context could be taken; the context is then undefined.
    static BOOL Capture(CONTEXT& context, unsigned skipFrames = 0);
    // Moves a context up one frame: the frame's caller at its return address. FALSE when that
    // frame cannot be unwound.
    static BOOL UnwindOneFrame(CONTEXT& context);
};
