#include "settings/store/CStringBuffer.h"

#include <cstring>
#include <new>

namespace qkSettings {

CStringBuffer::CStringBuffer()
{
    m_inline[0] = 0;
    m_string.text = m_inline;
    m_string.length = 0;
    m_string.capacity = sizeof(m_inline);
}

CStringBuffer::~CStringBuffer()
{
    if (!IsInline())
        delete[] m_string.text;
}

NtStatus CStringBuffer::Grow(DWORD units)
{
    if (units > kMaxCountedUnits)
        return status::kBufferOverflow;
    if (m_units >= units + 1)
        return status::kSuccess;
    DWORD bytes = units * 2 + 2;
    wchar_t* block = new (std::nothrow) wchar_t[units + 1];
    if (block == nullptr)
        return status::kNoMemory;
    std::memcpy(block, m_string.text, m_string.length);
    block[m_string.length / 2] = 0;
    if (!IsInline())
        delete[] m_string.text;
    m_string.text = block;
    m_units = units + 1;
    m_string.capacity = static_cast<USHORT>(bytes > 0xFFFF ? 0xFFFF : bytes);
    return status::kSuccess;
}

void CStringBuffer::Terminate()
{
    if (m_string.length / 2u < m_units)
        m_string.text[m_string.length / 2] = 0;
}

NtStatus CStringBuffer::Append(const CountedString& source)
{
    // Room for the terminator too, so that the text stays terminated.
    DWORD sum = static_cast<DWORD>(m_string.length) + source.length;
    if (sum > 0xFFFF)
        return status::kIntegerOverflow;
    if (sum / 2 + 1 > m_units) {
        NtStatus st = Grow(sum / 2);
        if (!NtSuccess(st))
            return st;
    }
    NtStatus st = AppendCounted(m_string, source);
    if (!NtSuccess(st))
        return st;
    Terminate();
    return status::kSuccess;
}

NtStatus CStringBuffer::Append(const wchar_t* text)
{
    CountedString s;
    if (FAILED(MakeCountedString(text, s)))
        return status::kInvalidParameter;
    return Append(s);
}

NtStatus CStringBuffer::Assign(const CountedString& source)
{
    Clear();
    return Append(source);
}

NtStatus CStringBuffer::Assign(const wchar_t* text)
{
    Clear();
    return Append(text);
}

void CStringBuffer::Clear()
{
    m_string.length = 0;
    Terminate();
}

} // namespace qkSettings
