#include "common/errors/qkLog.h"

#include "common/base/qkStringConvert.h"

namespace qkLib {

namespace {

LONG ToDebugLevel(LogLevel level)
{
    switch (level) {
    case LogLevel::Warning:
        return qkDebugOutput::LevelWarning;
    case LogLevel::Error:
        return qkDebugOutput::LevelError;
    default:
        return qkDebugOutput::LevelInformation;
    }
}

} // namespace

qkConfiguredDebugOutput& ProcessLogger()
{
    // Built at its first use, so that a line logged during another file's static
    // initialisation finds it constructed.
    static qkConfiguredDebugOutput logger(L"VekLauncher");
    return logger;
}

std::wstring QualifiedName(const char* prettyFunction)
{
    if (prettyFunction == nullptr) {
        return {};
    }
    std::string s(prettyFunction);
    // Drop the parameter list, then the return type (the last blank before the name; template
    // arguments and operator names keep their own blanks only inside the parameter list).
    const auto paren = s.find('(');
    if (paren != std::string::npos) {
        s.erase(paren);
    }
    const auto space = s.rfind(' ');
    if (space != std::string::npos) {
        s.erase(0, space + 1);
    }
    return std::wstring(s.begin(), s.end());
}

void LogLineV(LogLevel level, const char* prettyFunction, int line, const wchar_t* format, va_list args)
{
    try {
        auto& logger = ProcessLogger();
        if (!logger.IsLevelEnabled(ToDebugLevel(level))) {
            return;
        }
        std::wstring text;
        qkStringConvert::Format(text, L"%ls(%d) : ", QualifiedName(prettyFunction).c_str(), line);
        qkStringConvert::AppendFormatV(text, format, args);
        LogText(level, L"%ls", text.c_str());
    } catch (...) {
        // Logging never ends the caller.
    }
}

void LogLine(LogLevel level, const char* prettyFunction, int line, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogLineV(level, prettyFunction, line, format, args);
    va_end(args);
}

void LogTextV(LogLevel level, const wchar_t* format, va_list args)
{
    try {
        auto& logger = ProcessLogger();
        if (logger.IsLevelEnabled(ToDebugLevel(level))) {
            logger.WriteV(ToDebugLevel(level), format, args);
        }
    } catch (...) {}
}

void LogText(LogLevel level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogTextV(level, format, args);
    va_end(args);
}

} // namespace qkLib
