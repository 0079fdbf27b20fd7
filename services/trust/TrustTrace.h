#pragma once
// Diagnostic trace of the trust code: the library's trace, keeping the caller's last error,
// which the trust code reads after tracing. Its lines go to the debugger output, never to the
// launcher's log.
#include <windows.h>

#include "common/base/qkTrace.h"

#define TRUST_TRACE(...)                            \
    do {                                            \
        const DWORD traceError_ = ::GetLastError(); \
        QK_TRACE(__VA_ARGS__);                      \
        ::SetLastError(traceError_);                \
    } while (0)
