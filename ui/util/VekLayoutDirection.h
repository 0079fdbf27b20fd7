#pragma once
// The string table's layout entry decides the reading order of every window. The entry is "RTL"
// for the right-to-left languages and "LTR" otherwise; it is compared exactly, as the tables
// spell it (a differently cased entry reads left to right).
#include <string>

namespace vek {

inline bool IsRightToLeftLayout(const std::wstring& layoutText)
{
    return layoutText == L"RTL";
}

} // namespace vek
