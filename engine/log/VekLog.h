#pragma once
// The launcher's log facade: three printf-style functions over the one global logger, the
// common library's process logger. They write the text as given; code that logs its own
// messages uses QK_LOG_INFO / QK_LOG_WARNING / QK_LOG_ERROR (common/errors/qkLog.h), which add
// the qualified method name and the source line.
//
// A line whose place the launcher fixes instead of the source line (the program entry's
// "wWinMain(645)" lines, which readers of the log know by that text) goes through the *At
// functions: they write "<place> : <text>", the same shape as the macros' lines.
#include <cstdarg>

namespace vek {

void LogInfo(const wchar_t* format, ...);
void LogWarning(const wchar_t* format, ...);
void LogError(const wchar_t* format, ...);

void LogInfoAt(const wchar_t* place, const wchar_t* format, ...);
void LogErrorAt(const wchar_t* place, const wchar_t* format, ...);

} // namespace vek
