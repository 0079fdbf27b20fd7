#include "common/diag/qkContextCapture.h"

namespace {

constexpr ULONG_PTR kCookie = 0x716B4378;

// Where the handler copies the context; lives on the raising thread's stack.
struct CaptureTarget {
    CONTEXT* context;
    DWORD threadId;
    bool taken;
};

LONG CALLBACK CopyContext(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    if (!record || !pointers->ContextRecord || record->ExceptionCode != qkContextCapture::kCaptureCode ||
        record->NumberParameters != 2 || record->ExceptionInformation[0] != kCookie)
        return EXCEPTION_CONTINUE_SEARCH;
    auto* target = reinterpret_cast<CaptureTarget*>(record->ExceptionInformation[1]);
    if (!target || target->taken || target->threadId != ::GetCurrentThreadId())
        return EXCEPTION_CONTINUE_SEARCH;
    *target->context = *pointers->ContextRecord;
    // Only the parts a plain CONTEXT holds: no extended state lies behind this copy.
    target->context->ContextFlags &= CONTEXT_ALL;
    target->taken = true;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Owns one vectored exception handler registration.
class VectoredHandler {
public:
    explicit VectoredHandler(PVECTORED_EXCEPTION_HANDLER handler) : m_handle(::AddVectoredExceptionHandler(1, handler))
    {}
    ~VectoredHandler()
    {
        if (m_handle)
            ::RemoveVectoredExceptionHandler(m_handle);
    }
    VectoredHandler(const VectoredHandler&) = delete;
    VectoredHandler& operator=(const VectoredHandler&) = delete;
    explicit operator bool() const { return m_handle != nullptr; }

private:
    PVOID m_handle;
};

} // namespace

BOOL qkContextCapture::UnwindOneFrame(CONTEXT& context)
{
#ifdef _WIN64
    if (context.Rip == 0 || context.Rsp == 0)
        return FALSE;
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (!function) {
        // A leaf function has no unwind data: its return address is on top of the stack.
        context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
        context.Rsp += sizeof(DWORD64);
        return context.Rip != 0;
    }
    PVOID handlerData = nullptr;
    DWORD64 establisher = 0;
    ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData, &establisher,
                       nullptr);
    return context.Rip != 0;
#else
    // A frame-pointer frame: [ebp] the caller's ebp, [ebp + 4] the return address.
    if (context.Ebp == 0)
        return FALSE;
    const DWORD* frame = reinterpret_cast<const DWORD*>(static_cast<ULONG_PTR>(context.Ebp));
    context.Eip = frame[1];
    context.Esp = context.Ebp + 2 * sizeof(DWORD);
    context.Ebp = frame[0];
    return context.Eip != 0;
#endif
}

__attribute__((noinline)) BOOL qkContextCapture::Capture(CONTEXT& context, unsigned skipFrames)
{
    const ULONG_PTR returnAddress = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
#ifndef _WIN64
    void* const* const ownFrame = static_cast<void* const*>(__builtin_frame_address(0));
#endif
    CaptureTarget target{&context, ::GetCurrentThreadId(), false};
    {
        VectoredHandler handler(&CopyContext);
        if (!handler)
            return FALSE;
        const ULONG_PTR arguments[2] = {kCookie, reinterpret_cast<ULONG_PTR>(&target)};
        ::RaiseException(kCaptureCode, 0, 2, arguments);
    }
    if (!target.taken)
        return FALSE;
#ifdef _WIN64
    // Up through the system's raising code and this function, to the caller.
    for (int i = 0; i < 16 && context.Rip != returnAddress; ++i)
        if (!UnwindOneFrame(context))
            return FALSE;
    if (context.Rip != returnAddress)
        return FALSE;
#else
    // This function's own frame names the caller: a frame that does not is no frame-pointer frame.
    if (reinterpret_cast<ULONG_PTR>(ownFrame[1]) != returnAddress)
        return FALSE;
    context.Eip = static_cast<DWORD>(returnAddress);
    context.Esp = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(ownFrame + 2));
    context.Ebp = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(ownFrame[0]));
#endif
    for (unsigned i = 0; i < skipFrames; ++i)
        if (!UnwindOneFrame(context))
            return FALSE;
    return TRUE;
}
