#pragma once
#include <windows.h>

#include <string>

namespace Quv {

// Ordinal comparison without regard to case, as the stamp file's names and values are compared.
inline bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

} // namespace Quv
