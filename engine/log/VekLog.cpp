#include "engine/log/VekLog.h"

#include "common/base/qkStringConvert.h"
#include "engine/log/VekDebugOutput.h"
#include "common/errors/qkLog.h"
#include "common/errors/qkTalDebugOptions.h"

#include <windows.h>

#include <string>

namespace vek {

// The launcher's logger is the process logger of the common library, so that every subsystem
// writes to the same file.
qkConfiguredDebugOutput& VekDebugOutput = qkLib::ProcessLogger();

BOOL ConfigureLogFile(qkConfiguredDebugOutput& logger, const wchar_t* folder, const wchar_t* baseName)
{
    logger.SetDebugType(qkDebugOutput::LevelInformation);
    logger.SetAppendNewLine(TRUE);
    logger.SetPrependType(TRUE);
    logger.SetPrependThreadId(TRUE);
    logger.SetPrependProcessId(FALSE);
    logger.SetPrependDateTime(TRUE);
    logger.SetPrependModuleName(FALSE);
    logger.SetOutputToFile(TRUE);
    logger.SetAppendProcessIdToFile(FALSE);
    if (!logger.SetDirectory(folder)) {
        return FALSE;
    }
    // The machine's module filter still holds over these switches: a module that the debug
    // options silence stays silent. It names the module as the machine knows it, before the
    // log's file name replaces the name below.
    qkTalDebugOptions options;
    if (options.Load() && options.IsModuleSilenced(logger.GetModuleName())) {
        logger.SetDebugType(0);
    }
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring name;
    if (!qkStringConvert::Format(name, L"%s-%04d-%02d-%02d-%02dh%02dm%02ds",
                                 (baseName != nullptr && baseName[0] != L'\0') ? baseName : L"VEK", now.wYear,
                                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond)) {
        return FALSE;
    }
    return logger.SetModuleName(name.c_str());
}

void LogInfo(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    qkLib::LogTextV(qkLib::LogLevel::Information, format, args);
    va_end(args);
}

void LogWarning(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    qkLib::LogTextV(qkLib::LogLevel::Warning, format, args);
    va_end(args);
}

void LogError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    qkLib::LogTextV(qkLib::LogLevel::Error, format, args);
    va_end(args);
}

namespace {

// "<place> : <text>". A fixed place is a name and a number, never a '%': it may join the format.
void LogAtV(qkLib::LogLevel level, const wchar_t* place, const wchar_t* format, va_list args)
{
    try {
        const std::wstring placed = std::wstring(place) + L" : " + format;
        qkLib::LogTextV(level, placed.c_str(), args);
    } catch (...) {
        // Logging never fails its caller.
    }
}

} // namespace

void LogInfoAt(const wchar_t* place, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogAtV(qkLib::LogLevel::Information, place, format, args);
    va_end(args);
}

void LogErrorAt(const wchar_t* place, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogAtV(qkLib::LogLevel::Error, place, format, args);
    va_end(args);
}

} // namespace vek
