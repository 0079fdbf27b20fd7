#pragma once
// Texts built from the string table's FormatMessage patterns ("%1!d!", "%2!s!"), shared by the
// main dialog and the job windows.
#include <windows.h>

#include <string>

namespace vek {

// The pattern with its inserts taken from the argument array; the system allocates the result,
// so no number or text can overflow a buffer. Empty on failure.
std::wstring FormatInserts(const std::wstring& pattern, const DWORD_PTR* arguments);

// A duration in whole seconds: s <= 60 string 142 (seconds); s <= 3600 string 143 (minutes,
// seconds); s <= 86400 string 144 (hours, minutes); beyond, string 145 (days, hours), the days
// clipped to what the 32-bit insert shows. Empty for a negative duration.
std::wstring DurationText(long long seconds);

} // namespace vek
