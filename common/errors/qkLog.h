#pragma once
// The one log facade of every subsystem: three printf-style levels (wide format, %s takes wide
// text) over the process's one line logger. Each macro writes the logging convention's prefix,
// the qualified name of the calling function and its source line, then " : " and the text:
//     QK_LOG_ERROR(L"Failed to open %s, hr 0x%08X", path, hr);
//     -> "vek::VekEngineBase::Start(160) : Failed to open C:\x, hr 0x80070002"
// The logger lives here, at the bottom of the layers, so that any subsystem may log; the
// launcher's start-up configures it (folder, file name, level) through ProcessLogger().
#include "common/errors/qkConfiguredDebugOutput.h"

#include <cstdarg>
#include <string>

namespace qkLib {

enum class LogLevel { Information, Warning, Error };

// The process-wide line logger, created at its first use with the module name "VekLauncher".
qkConfiguredDebugOutput& ProcessLogger();

// "HRESULT Tolk::CFilePackerEx::Open(const wchar_t*)" -> L"Tolk::CFilePackerEx::Open".
std::wstring QualifiedName(const char* prettyFunction);

// Writes "<qualified name>(<line>) : <formatted text>" at the level; never throws.
void LogLine(LogLevel level, const char* prettyFunction, int line, const wchar_t* format, ...);
void LogLineV(LogLevel level, const char* prettyFunction, int line, const wchar_t* format, va_list args);

// Writes the formatted text as it is, without the prefix (for the few lines the system writes
// bare); never throws.
void LogText(LogLevel level, const wchar_t* format, ...);
void LogTextV(LogLevel level, const wchar_t* format, va_list args);

} // namespace qkLib

#define QK_LOG_AT(level, format, ...) \
    ::qkLib::LogLine(level, __PRETTY_FUNCTION__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)
#define QK_LOG_INFO(format, ...) QK_LOG_AT(::qkLib::LogLevel::Information, format __VA_OPT__(, ) __VA_ARGS__)
#define QK_LOG_WARNING(format, ...) QK_LOG_AT(::qkLib::LogLevel::Warning, format __VA_OPT__(, ) __VA_ARGS__)
#define QK_LOG_ERROR(format, ...) QK_LOG_AT(::qkLib::LogLevel::Error, format __VA_OPT__(, ) __VA_ARGS__)
