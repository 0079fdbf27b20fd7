#pragma once
// Owned, growable UTF-16 text in a counted string: the first 16 units live inline, longer
// text moves to an allocated block. The text is always terminated after an append.
#include "settings/store/CountedString.h"

namespace qkSettings {

class CStringBuffer {
public:
    CStringBuffer();
    ~CStringBuffer();
    CStringBuffer(const CStringBuffer&) = delete;
    CStringBuffer& operator=(const CStringBuffer&) = delete;

    // Room for n units (at most 32,767, else kBufferOverflow); a large enough capacity is kept.
    NtStatus Grow(DWORD units);
    NtStatus Append(const CountedString& source);
    NtStatus Append(const wchar_t* text);
    NtStatus Assign(const CountedString& source);
    NtStatus Assign(const wchar_t* text);
    void Clear();

    const CountedString& Get() const { return m_string; }
    const wchar_t* Text() const { return m_string.text; }
    USHORT Length() const { return m_string.length; }
    bool IsInline() const { return m_string.text == m_inline; }

private:
    void Terminate();

    CountedString m_string;
    // Units of the text's storage: the counted capacity stops at 0xFFFF bytes, one short of
    // the block that 32,767 units and their terminator need.
    DWORD m_units = 16;
    wchar_t m_inline[16];
};

} // namespace qkSettings
