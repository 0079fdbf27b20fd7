#include "common/diag/qkContextCapture.h"

#include <cstring>

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

#ifdef _WIN64

__attribute__((noinline)) BOOL qkContextCapture::Capture(CONTEXT& context, unsigned skipFrames)
{
    const ULONG_PTR returnAddress = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    ::RtlCaptureContext(&context);
    // The context lies inside this function, whose frame is live: one unwind leads to the caller.
    if (!UnwindOneFrame(context) || context.Rip != returnAddress)
        return FALSE;
    for (unsigned i = 0; i < skipFrames; ++i)
        if (!UnwindOneFrame(context))
            return FALSE;
    return TRUE;
}

#else

namespace {

// The caller's registers as the entry code of Capture copies them, lowest address first.
struct CallerRegisters {
    DWORD segCs, segDs, segEs, segFs, segGs, segSs;
    DWORD eip, esp, ebp, ebx, esi, edi, eflags;
};

} // namespace

// Called by Capture's entry code with the copied registers (cdecl).
extern "C" __attribute__((used)) BOOL qkContextCaptureFinish(const CallerRegisters* registers, CONTEXT* context,
                                                              unsigned skipFrames)
{
    std::memset(context, 0, sizeof(*context));
    context->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
    context->SegCs = registers->segCs;
    context->SegDs = registers->segDs;
    context->SegEs = registers->segEs;
    context->SegFs = registers->segFs;
    context->SegGs = registers->segGs;
    context->SegSs = registers->segSs;
    context->Eip = registers->eip;
    context->Esp = registers->esp;
    context->Ebp = registers->ebp;
    context->Ebx = registers->ebx;
    context->Esi = registers->esi;
    context->Edi = registers->edi;
    context->EFlags = registers->eflags;
    for (unsigned i = 0; i < skipFrames; ++i)
        if (!qkContextCapture::UnwindOneFrame(*context))
            return FALSE;
    return TRUE;
}

// On entry [esp] is the return address, [esp + 4] the context and [esp + 8] skipFrames; ebx, esi,
// edi and ebp still hold the caller's values. They are copied, with the flags and the segment
// registers, into a CallerRegisters on the stack before anything else runs.
__attribute__((naked, noinline)) BOOL qkContextCapture::Capture(CONTEXT&, unsigned)
{
    asm("pushl %ebp\n\t"
        "movl %esp, %ebp\n\t"
        "pushfl\n\t"                 // eflags
        "pushl %edi\n\t"
        "pushl %esi\n\t"
        "pushl %ebx\n\t"
        "pushl (%ebp)\n\t"           // the caller's ebp
        "leal 8(%ebp), %eax\n\t"
        "pushl %eax\n\t"             // the caller's esp once the call has returned
        "pushl 4(%ebp)\n\t"          // the return address
        "xorl %eax, %eax\n\t"
        "movw %ss, %ax\n\t pushl %eax\n\t"
        "movw %gs, %ax\n\t pushl %eax\n\t"
        "movw %fs, %ax\n\t pushl %eax\n\t"
        "movw %es, %ax\n\t pushl %eax\n\t"
        "movw %ds, %ax\n\t pushl %eax\n\t"
        "movw %cs, %ax\n\t pushl %eax\n\t"
        "movl %esp, %eax\n\t"        // the CallerRegisters
        "andl $-16, %esp\n\t"
        "subl $4, %esp\n\t"
        "pushl 12(%ebp)\n\t"
        "pushl 8(%ebp)\n\t"
        "pushl %eax\n\t"
        "call _qkContextCaptureFinish\n\t"
        "leave\n\t"
        "ret");
}

#endif
