#pragma once
// Time stamps of the HTTP client library.
#include <windows.h>

#include <ctime>
#include <string>

namespace Jux {

// "YYYY-MM-DDThh:mm:ss.mmmZ" from the SYSTEMTIME's fields (callers pass UTC from GetSystemTime).
HRESULT FormatIso8601Time(const SYSTEMTIME& time, std::wstring& out);

// Local calendar fields of a 64-bit time value; out when converted, null when the run-time library
// cannot convert it (out unchanged). A null out throws std::invalid_argument.
std::tm* GetLocalTm(__time64_t time, std::tm* out);

} // namespace Jux
