#pragma once
// Everyday text operations on wide (UTF-16) and ANSI strings that let no exception escape:
// each turns an allocation failure into FALSE (or an HRESULT), so that code that keeps to
// result codes can use std::wstring and std::string safely. Formats are printf-style with
// the platform's wide conventions (%s is wide text, %S narrow text).
#include <windows.h>

#include <cstdarg>
#include <string>

class qkStringConvert {
public:
    // out = text (null gives the empty string).
    static BOOL Copy(const wchar_t* text, std::wstring& out);
    static BOOL CopyAnsi(const char* text, std::string& out);
    // Conversions through the ANSI code page; null gives the empty string.
    static BOOL WideToAnsi(const wchar_t* text, std::string& out);
    static BOOL AnsiToWide(const char* text, std::wstring& out);
    // UTF-8 without a terminator counted: S_OK, E_INVALIDARG for null, E_OUTOFMEMORY, or the
    // conversion's Win32 error as an HRESULT.
    static HRESULT WideToUtf8(const wchar_t* text, std::string& out);
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, 38 characters. S_OK, or
    // E_OUTOFMEMORY when the string could not be stored.
    static HRESULT GuidToString(const GUID& guid, std::wstring& out);

    static BOOL Append(std::wstring& out, const wchar_t* text);
    // Joins with exactly one backslash: trailing backslashes of out and leading ones of the
    // part collapse. An empty out becomes "\" + part.
    static BOOL AppendPath(std::wstring& out, const wchar_t* part);

    static BOOL Format(std::wstring& out, const wchar_t* format, ...);
    static BOOL FormatV(std::wstring& out, const wchar_t* format, va_list args);
    static BOOL AppendFormat(std::wstring& out, const wchar_t* format, ...);
    static BOOL AppendFormatV(std::wstring& out, const wchar_t* format, va_list args);
    // out = base (trailing backslashes removed) + "\" + formatted text (leading backslashes
    // removed); an empty base gives ".\" + text.
    static BOOL FormatPath(std::wstring& out, const wchar_t* base, const wchar_t* format, ...);
    static BOOL FormatPathV(std::wstring& out, const wchar_t* base, const wchar_t* format, va_list args);

    // Copies text and terminator into the caller's buffer. size: in bytes for wide text, in
    // characters for ANSI text; it receives the needed size (0 for a null buffer). FALSE
    // without writing when the buffer is null or too small.
    static BOOL CopyToBuffer(const std::wstring& text, wchar_t* buffer, DWORD* size);
    static BOOL CopyToBufferAnsi(const std::string& text, char* buffer, DWORD* size);

private:
    // Appends the formatted text; throws on allocation failure or a bad format.
    static void AppendFormatted(std::wstring& out, const wchar_t* format, va_list args);
};
