#include "common/base/qkTrace.h"

#include "common/base/qkWideFormat.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace qkLib {

void Trace(const wchar_t* format, ...)
{
    // A fixed buffer: tracing must work when memory is short.
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    int n = FormatWideV(text, 1022, format, args);
    va_end(args);
    if (n < 0) {
        n = 1021;
    }
    text[n] = L'\n';
    text[n + 1] = L'\0';
    ::OutputDebugStringW(text);
}

} // namespace qkLib
