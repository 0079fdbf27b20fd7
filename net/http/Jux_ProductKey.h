#pragma once
// The product's registry key under HKLM from which the HTTP client reads "USERAGENT", "PRODUCTID"
// and "Identifiers"\"MID": the isolation silo's registry path, opened in the silo's registry view.
// Without a silo (none set and no "isolate.ini") every value reads as missing.
#include <string>

namespace Jux {

// A string value below HKLM\<product key>[\subkey]; false when the key or value is missing.
bool ReadProductString(const wchar_t* subkey, const wchar_t* name, std::wstring& value);

} // namespace Jux
