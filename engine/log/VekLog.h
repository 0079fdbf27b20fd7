#pragma once
// The launcher's log facade: three printf-style functions over the one global logger.
// Every own message starts with the qualified method name and the source line, then " : ".
#include <cstdarg>

namespace vek {

void LogInfo(const wchar_t* format, ...);
void LogWarning(const wchar_t* format, ...);
void LogError(const wchar_t* format, ...);

} // namespace vek
