#include "net/http/Jux_Trace.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace Jux {

void Trace(const wchar_t* format, ...)
{
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(line, 1021, format, args);
    va_end(args);
    if (n < 0) n = 1020;
    line[n] = L'\n';
    line[n + 1] = L'\0';
    OutputDebugStringW(line);
}

} // namespace Jux
