#pragma once
// The calling thread's processor context, as the caller of Capture sees it right after the call
// returns: its instruction, stack and frame pointers, so that a stack walk or a minidump starts
// in the caller and goes back through the caller's callers.
//
// GCC has no structured exception handling, and RtlCaptureContext cannot serve on x86: there it
// reads the caller's frame through EBP, which code built without frame pointers does not keep.
// The context is taken instead by raising a private, continuable exception that a vectored
// exception handler copies and dismisses. The handler is added for that one raise and removed
// after it; the copy's target travels in the exception's own parameters together with the id of
// the raising thread, so a capture on another thread, or any other exception, never writes it.
// Nothing is allocated: a capture works inside an allocation failure too.
//
// The copied context describes the raising code inside the system; it is then moved to the
// caller: on x64 by unwinding with the images' unwind data (every register the caller keeps is
// restored), on x86 through Capture's own frame-pointer frame. A walk beyond the caller follows
// the callers' frame pointers on x86, which is why the 32-bit build keeps them.
#include <windows.h>

class qkContextCapture {
public:
    // The code of the raised exception: an application code of this library's own.
    static constexpr DWORD kCaptureCode = 0xE0716B43;

    // Fills context with the state of the code that called Capture, moved up by skipFrames more
    // frames (1: the caller's caller). FALSE when no context could be taken; the context is then
    // undefined.
    static BOOL Capture(CONTEXT& context, unsigned skipFrames = 0);
    // Moves a context up one frame: the frame's caller at its return address. FALSE when that
    // frame cannot be unwound.
    static BOOL UnwindOneFrame(CONTEXT& context);
};
