#pragma once
// Comparisons of text without regard to case, one function per rule. Each caller keeps the rule
// that its names were always compared by, so that no key or value matches differently:
//   - ASCII: A-Z and a-z are the same letters, every other character compares exactly (the rule
//     of the C library's case-insensitive functions in the C locale);
//   - ordinal: every letter folded to its upper case, as the file system and the registry
//     compare names (CompareStringOrdinal);
//   - linguistic: the system locale's comparison without case (CompareStringW, NORM_IGNORECASE).
#include <windows.h>

#include <string_view>

namespace qkLib {

constexpr wchar_t AsciiLower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

constexpr bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

constexpr bool EqualsAsciiNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(static_cast<unsigned char>(a[i])) != AsciiLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

constexpr bool StartsWithAsciiNoCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && EqualsAsciiNoCase(text.substr(0, prefix.size()), prefix);
}

inline bool EqualsOrdinalNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    if (a.empty())
        return true;
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

inline bool EqualsLinguisticNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.empty() || b.empty())
        return a.empty() && b.empty();
    return ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

} // namespace qkLib
