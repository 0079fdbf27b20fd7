#include "common/base/qkStringConvert.h"

#include "common/base/qkException.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// TRUE when the guarded section caught nothing (the record has traced what it caught).
BOOL Result(qkExceptionInfo& info)
{
    return info.HasError() ? FALSE : TRUE;
}

void TrimTrailingBackslashes(std::wstring& text)
{
    const size_t end = text.find_last_not_of(L'\\');
    text.erase(end == std::wstring::npos ? 0 : end + 1);
}

const wchar_t* SkipLeadingBackslashes(const wchar_t* text)
{
    while (*text == L'\\') {
        ++text;
    }
    return text;
}

// Copies the text and its terminator into the buffer when *size (bytes) is enough; *size gets
// the bytes needed either way (0 for a null buffer).
template <class Char>
BOOL CopyWithTerminator(const std::basic_string<Char>& text, Char* buffer, DWORD* size)
{
    if (size == nullptr) {
        QK_TRACE(L"null size");
        return FALSE;
    }
    if (buffer == nullptr) {
        QK_TRACE(L"null buffer");
        *size = 0;
        return FALSE;
    }
    const DWORD given = *size;
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(Char));
    *size = needed;
    if (given < needed) {
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), needed);
    return TRUE;
}

} // namespace

BOOL qkStringConvert::Copy(const wchar_t* text, std::wstring& out)
{
    qkExceptionInfo info;
    try {
        out.assign(text != nullptr ? text : L"");
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::CopyAnsi(const char* text, std::string& out)
{
    qkExceptionInfo info;
    try {
        out.assign(text != nullptr ? text : "");
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::WideToAnsi(const wchar_t* text, std::string& out)
{
    qkExceptionInfo info;
    try {
        out.clear();
        if (text != nullptr && *text != L'\0') {
            const int length = static_cast<int>(std::wcslen(text));
            const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
            if (bytes <= 0) {
                qkException::ThrowLastError();
            }
            out.resize(static_cast<size_t>(bytes));
            if (::WideCharToMultiByte(CP_ACP, 0, text, length, out.data(), bytes, nullptr, nullptr) <= 0) {
                qkException::ThrowLastError();
            }
        }
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::AnsiToWide(const char* text, std::wstring& out)
{
    qkExceptionInfo info;
    try {
        out.clear();
        if (text != nullptr && *text != '\0') {
            const int length = static_cast<int>(std::strlen(text));
            const int chars = ::MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
            if (chars <= 0) {
                qkException::ThrowLastError();
            }
            out.resize(static_cast<size_t>(chars));
            if (::MultiByteToWideChar(CP_ACP, 0, text, length, out.data(), chars) <= 0) {
                qkException::ThrowLastError();
            }
        }
    }
    QK_CATCH(info)
    return Result(info);
}

HRESULT qkStringConvert::WideToUtf8(const wchar_t* text, std::string& out)
{
    if (text == nullptr) {
        QK_TRACE(L"null text");
        return E_INVALIDARG;
    }
    qkExceptionInfo info;
    HRESULT hr = S_OK;
    try {
        const int length = static_cast<int>(std::wcslen(text));
        if (length == 0) {
            out.clear();
            return S_OK;
        }
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
        if (bytes == 0) {
            hr = HRESULT_FROM_WIN32(::GetLastError());
        } else {
            out.resize(static_cast<size_t>(bytes));
            if (::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr) == 0) {
                hr = HRESULT_FROM_WIN32(::GetLastError());
            }
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        QK_TRACE(L"conversion failed : 0x%08X", static_cast<unsigned>(hr));
    }
    return hr;
}

HRESULT qkStringConvert::GuidToString(const GUID& guid, std::wstring& out)
{
    wchar_t text[40];
    qkLib::FormatWide(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Copy(text, out) ? S_OK : E_OUTOFMEMORY;
}

BOOL qkStringConvert::Append(std::wstring& out, const wchar_t* text)
{
    qkExceptionInfo info;
    try {
        if (text != nullptr) {
            out.append(text);
        }
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::AppendPath(std::wstring& out, const wchar_t* part)
{
    qkExceptionInfo info;
    try {
        TrimTrailingBackslashes(out);
        out.push_back(L'\\');
        out.append(SkipLeadingBackslashes(part != nullptr ? part : L""));
    }
    QK_CATCH(info)
    return Result(info);
}

void qkStringConvert::AppendFormatted(std::wstring& out, const wchar_t* format, va_list args)
{
    if (format == nullptr) {
        qkException::Throw(E_INVALIDARG);
    }
    va_list counting;
    va_copy(counting, args);
    const int count = qkLib::FormattedWideLengthV(format, counting);
    va_end(counting);
    if (count < 0) {
        qkException::Throw(E_INVALIDARG);
    }
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(count) + 1);
    qkLib::FormatWideV(out.data() + start, static_cast<size_t>(count) + 1, format, args);
    out.resize(start + static_cast<size_t>(count));
}

BOOL qkStringConvert::Format(std::wstring& out, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const BOOL result = FormatV(out, format, args);
    va_end(args);
    return result;
}

BOOL qkStringConvert::FormatV(std::wstring& out, const wchar_t* format, va_list args)
{
    out.clear();
    return AppendFormatV(out, format, args);
}

BOOL qkStringConvert::AppendFormat(std::wstring& out, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const BOOL result = AppendFormatV(out, format, args);
    va_end(args);
    return result;
}

BOOL qkStringConvert::AppendFormatV(std::wstring& out, const wchar_t* format, va_list args)
{
    qkExceptionInfo info;
    try {
        AppendFormatted(out, format, args);
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::FormatPath(std::wstring& out, const wchar_t* base, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const BOOL result = FormatPathV(out, base, format, args);
    va_end(args);
    return result;
}

BOOL qkStringConvert::FormatPathV(std::wstring& out, const wchar_t* base, const wchar_t* format, va_list args)
{
    qkExceptionInfo info;
    try {
        std::wstring text;
        AppendFormatted(text, format, args);
        text.erase(0, std::min(text.find_first_not_of(L'\\'), text.size()));
        out.assign(base != nullptr ? base : L"");
        TrimTrailingBackslashes(out);
        if (out.empty()) {
            out.assign(L".\\");
        } else {
            out.push_back(L'\\');
        }
        out.append(text);
    }
    QK_CATCH(info)
    return Result(info);
}

BOOL qkStringConvert::CopyToBuffer(const std::wstring& text, wchar_t* buffer, DWORD* size)
{
    return CopyWithTerminator(text, buffer, size);
}

BOOL qkStringConvert::CopyToBufferAnsi(const std::string& text, char* buffer, DWORD* size)
{
    return CopyWithTerminator(text, buffer, size);
}
