#pragma once
// The one wide printf-style formatter of the launcher. Its conversions have one meaning whatever
// the compiler's C99 settings make of the C library's wide functions: the system's own, where %s
// and %ls take wide text and %S and %hs narrow text. (mingw's swprintf and vswprintf follow C99,
// where %s takes narrow text: a wide argument comes out cut after its first character.) The log,
// qkStringConvert::Format and every fixed buffer format through these functions;
// tools/check_layers.py refuses the C library's and the system's wide printf functions elsewhere.
#include <cstdarg>
#include <cstddef>

namespace qkLib {

// Formats into buffer, which holds count characters with the terminator; text that does not fit
// is cut, and the buffer always ends with a terminator (count > 0). Returns the length of the
// text written, or -1 when it was cut, the format is bad or buffer is null. Allocates nothing.
int FormatWideV(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) noexcept;
int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...) noexcept;

// The length of the formatted text without its terminator; -1 for a bad format.
int FormattedWideLengthV(const wchar_t* format, va_list args) noexcept;

} // namespace qkLib
