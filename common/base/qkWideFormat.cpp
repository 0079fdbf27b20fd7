#include "common/base/qkWideFormat.h"

#include <cstdio>
#include <cwchar>

namespace qkLib {

int FormatWideV(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) noexcept
{
    if (buffer == nullptr || count == 0) {
        return -1;
    }
    buffer[0] = L'\0';
    if (format == nullptr) {
        return -1;
    }
    // The system's formatter: %s is wide text. It leaves the buffer unterminated when the text
    // fills it exactly, so it gets one character less than the buffer holds.
    const int written = _vsnwprintf(buffer, count - 1, format, args);
    if (written < 0) {
        buffer[count - 1] = L'\0';
        return -1;
    }
    buffer[written] = L'\0';
    return written;
}

int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int written = FormatWideV(buffer, count, format, args);
    va_end(args);
    return written;
}

int FormattedWideLengthV(const wchar_t* format, va_list args) noexcept
{
    return format != nullptr ? _vscwprintf(format, args) : -1;
}

} // namespace qkLib
