#pragma once
// Conversions between the system's ANSI code page and UTF-16 for the narrow twins of the
// settings interfaces. Results are settings result codes.
#include <windows.h>

#include <string>

namespace qkSettings {

DWORD ToNarrow(const wchar_t* text, std::string& out);
DWORD ToWide(const char* text, std::wstring& out);

} // namespace qkSettings
