#pragma once
// Helpers of the line logger tests: the bytes of a UTF-16LE log file, and the logger's
// variadic entry points as the launcher's facade calls them.
#include "common/base/qkDebugOutput.h"
#include "common/base/qkWideFormat.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <string>

namespace logtest {

// UTF-16LE bytes of a text, as the log file holds it.
inline std::string Utf16(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

inline std::wstring FromUtf16(const std::string& bytes)
{
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(static_cast<BYTE>(bytes[i]) | (static_cast<BYTE>(bytes[i + 1]) << 8)));
    }
    return text;
}

// The whole file; empty when it cannot be opened.
inline std::string ReadBytes(const std::wstring& path)
{
    // The logger keeps its file open with FILE_SHARE_READ only, so read without asking for more.
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
        bytes.append(buffer, got);
    }
    ::CloseHandle(h);
    return bytes;
}

// "0x%04X", as the logger writes a process or thread id.
inline std::wstring Hex4(DWORD value)
{
    wchar_t text[16];
    qkLib::FormatWide(text, 16, L"0x%04X", value);
    return text;
}

inline void Info(qkDebugOutput& log, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    log.LogInformation(format, args);
    va_end(args);
}
inline void Warn(qkDebugOutput& log, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    log.LogWarning(format, args);
    va_end(args);
}
inline void Error(qkDebugOutput& log, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    log.LogError(format, args);
    va_end(args);
}

} // namespace logtest
