#pragma once
// The library's event trace: a failure message with the place it came from, sent to the
// debugger output. The library shows nothing to a user and writes nothing to the log; the
// settings store and the HTTP client library report their failures here too. Lines meant for the
// launcher's log go through qkLog.h.

namespace qkLib {

// printf-style (wide, %s takes wide text) trace message; never throws.
void Trace(const wchar_t* format, ...);

} // namespace qkLib

// Traces with the calling function's name first.
#define QK_TRACE(format, ...) ::qkLib::Trace(L"%S : " format, __func__ __VA_OPT__(, ) __VA_ARGS__)
