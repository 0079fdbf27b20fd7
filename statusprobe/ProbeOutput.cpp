#include "statusprobe/ProbeOutput.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <algorithm>

namespace {

// Writes the text to the console in pieces the console accepts at once.
void WriteConsoleText(HANDLE console, const std::wstring& text)
{
    constexpr size_t kPiece = 8192;
    for (size_t done = 0; done < text.size();) {
        const DWORD count = static_cast<DWORD>(std::min(kPiece, text.size() - done));
        DWORD written = 0;
        if (!::WriteConsoleW(console, text.data() + done, count, &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

// Whether the handle is a console, asked once per handle: the question costs a round trip to the
// console host, and the tool prints many short lines.
bool IsConsole(HANDLE out)
{
    static HANDLE known = nullptr;
    static bool console = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (out != known) {
        DWORD mode = 0;
        console = ::GetConsoleMode(out, &mode) != FALSE;
        known = out;
    }
    return console;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

} // namespace

std::wstring ProbeFormatV(const wchar_t* format, va_list args)
{
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        // The system's formatter; it leaves no terminator when the text fills the buffer.
        const int length = _vsnwprintf(text.data(), text.size() - 1, format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<size_t>(length) < text.size() - 1) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
        // Too small (or a format that cannot be applied): grow up to a limit, then give up.
        if (text.size() >= (1u << 20)) {
            return {};
        }
        text.resize(text.size() * 4);
    }
}

std::wstring ProbeFormat(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = ProbeFormatV(format, args);
    va_end(args);
    return text;
}

void ProbePrintV(const wchar_t* format, va_list args)
{
    const std::wstring text = ProbeFormatV(format, args);
    if (text.empty()) {
        return;
    }
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (IsConsole(out)) {
        // What the C runtime still buffers goes first, so that the order stays.
        std::fflush(stdout);
        WriteConsoleText(out, text);
        return;
    }
    const std::string bytes = ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void ProbePrint(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    ProbePrintV(format, args);
    va_end(args);
}
