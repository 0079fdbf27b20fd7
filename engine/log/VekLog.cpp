#include "engine/log/VekLog.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace vek {
namespace {

// Until the configured line logger is wired in, lines go to the debugger output.
void Write(const wchar_t* level, const wchar_t* format, va_list args)
{
    wchar_t text[2048];
    std::vswprintf(text, sizeof(text) / sizeof(text[0]), format, args);
    std::wstring line = std::wstring(level) + L" " + text + L"\n";
    ::OutputDebugStringW(line.c_str());
}

} // namespace

void LogInfo(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(L"[I]", format, args);
    va_end(args);
}

void LogWarning(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(L"[W]", format, args);
    va_end(args);
}

void LogError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(L"[E]", format, args);
    va_end(args);
}

} // namespace vek
