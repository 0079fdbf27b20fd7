#include "common/base/qkExceptionInfo.h"

#include "common/base/qkException.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"

#include <comdef.h>

#include <cstdarg>
#include <cwchar>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

// Null texts print as the printf family prints a null string pointer.
const wchar_t* OrNull(const wchar_t* text)
{
    return text != nullptr ? text : L"(null)";
}

int FullTextLength(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int count = qkLib::FormattedWideLengthV(format, args);
    va_end(args);
    return count;
}

} // namespace

void qkExceptionInfo::SetMessageA(const char* text) noexcept
{
    try {
        if (text == nullptr || *text == '\0') {
            m_message.clear();
            return;
        }
        const int count = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (count <= 0) {
            return;
        }
        std::wstring converted(static_cast<size_t>(count), L'\0');
        if (::MultiByteToWideChar(CP_ACP, 0, text, -1, converted.data(), count) <= 0) {
            return;
        }
        converted.resize(static_cast<size_t>(count) - 1);
        m_message.swap(converted);
    } catch (...) {
        // the message stays as it was
    }
}

void qkExceptionInfo::SetMessage(const wchar_t* text) noexcept
{
    try {
        m_message.assign(text != nullptr ? text : L"");
    } catch (...) {}
}

const wchar_t* qkExceptionInfo::GetFullText() noexcept
{
    try {
        m_fullText.clear();
        const wchar_t* const format = L"%s, %s, %s, %s(%ld)";
        const int count = FullTextLength(format, OrNull(m_typeName), m_message.c_str(), OrNull(m_context),
                                         OrNull(m_sourceFile), static_cast<long>(m_line));
        if (count < 0) {
            return L"";
        }
        m_fullText.resize(static_cast<size_t>(count) + 1);
        qkLib::FormatWide(m_fullText.data(), m_fullText.size(), format, OrNull(m_typeName), m_message.c_str(),
                          OrNull(m_context), OrNull(m_sourceFile), static_cast<long>(m_line));
        m_fullText.resize(static_cast<size_t>(count));
        return m_fullText.c_str();
    } catch (...) {
        m_fullText.clear();
        return L"";
    }
}

void qkExceptionInfo::Record(ULONG kind, const wchar_t* typeName, const wchar_t* sourceFile, LONG line)
{
    m_kind = kind;
    m_typeName = typeName;
    m_sourceFile = sourceFile;
    m_line = line;
    qkLib::Trace(L"exception caught : %s : %s : %s(%ld)", typeName, m_message.c_str(), OrNull(sourceFile),
                 static_cast<long>(line));
}

void qkExceptionInfo::RecordFormat(ULONG kind, const wchar_t* typeName, const wchar_t* sourceFile, LONG line,
                                   const wchar_t* format, ...)
{
    wchar_t text[64];
    va_list args;
    va_start(args, format);
    qkLib::FormatWideV(text, 64, format, args);
    va_end(args);
    SetMessage(text);
    Record(kind, typeName, sourceFile, line);
}

void qkExceptionInfo::CatchCurrent(const wchar_t* sourceFile, LONG line) noexcept
{
    try {
        try {
            throw;
        } catch (const _com_error& e) {
            SetMessage(e.ErrorMessage());
            Record(KindComError, L"_com_error", sourceFile, line);
        } catch (const qkException& e) {
            RecordFormat(KindLibrary, L"CAtlException", sourceFile, line, L"0x%08X", static_cast<unsigned>(e.m_hr));
        } catch (const std::bad_cast& e) {
            SetMessageA(e.what());
            Record(KindBadCast, L"std::bad_cast", sourceFile, line);
        } catch (const std::bad_typeid& e) {
            SetMessageA(e.what());
            Record(KindBadTypeid, L"std::bad_typeid", sourceFile, line);
        } catch (const std::bad_alloc& e) {
            SetMessageA(e.what());
            Record(KindBadAlloc, L"std::bad_alloc", sourceFile, line);
        } catch (const std::bad_exception& e) {
            SetMessageA(e.what());
            Record(KindBadException, L"std::bad_exception", sourceFile, line);
        } catch (const std::exception& e) {
            SetMessageA(e.what());
            Record(KindStdException, L"std::exception", sourceFile, line);
        } catch (char value) {
            RecordFormat(KindChar, L"char", sourceFile, line, L"%c", value);
        } catch (unsigned char value) {
            RecordFormat(KindUnsignedChar, L"unsigned char", sourceFile, line, L"%u", value);
        } catch (short value) {
            RecordFormat(KindShort, L"short", sourceFile, line, L"%d", value);
        } catch (unsigned short value) {
            RecordFormat(KindUnsignedShort, L"unsigned short", sourceFile, line, L"%u", value);
        } catch (int value) {
            RecordFormat(KindInt, L"int", sourceFile, line, L"%d", value);
        } catch (unsigned int value) {
            RecordFormat(KindUnsignedInt, L"unsigned int", sourceFile, line, L"%u", value);
        } catch (long value) {
            RecordFormat(KindLong, L"long", sourceFile, line, L"%ld", value);
        } catch (unsigned long value) {
            RecordFormat(KindUnsignedLong, L"unsigned long", sourceFile, line, L"%lu", value);
        } catch (const char* text) {
            SetMessageA(text);
            Record(KindAnsiText, L"LPCSTR", sourceFile, line);
        } catch (const wchar_t* text) {
            SetMessage(text);
            Record(KindWideText, L"LPCWSTR", sourceFile, line);
        } catch (...) {
            SetMessage(L"Unknown");
            Record(KindUnknown, L"...", sourceFile, line);
        }
    } catch (...) {
        // Recording failed (only tracing can throw here, and it does not): keep what is set.
        if (m_kind == KindNone) {
            m_kind = KindUnknown;
        }
    }
}
