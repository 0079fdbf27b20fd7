#pragma once
// The product's registry key under HKLM from which the HTTP client reads "USERAGENT", "PRODUCTID"
// and "Identifiers"\"MID". The common library's isolation path takes this place once it is there;
// until then the process sets it (an empty path: every value reads as missing).
#include <windows.h>

#include <string>

namespace Jux {

void SetProductRegistryKey(const std::wstring& path, REGSAM viewFlags);
std::wstring GetProductRegistryKey();
REGSAM GetProductRegistryViewFlags();

// A string value below HKLM\<product key>[\subkey]; false when the key or value is missing.
bool ReadProductString(const wchar_t* subkey, const wchar_t* name, std::wstring& value);

} // namespace Jux
