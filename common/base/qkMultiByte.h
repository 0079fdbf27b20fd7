#pragma once
// Conversions between UTF-16 and a multi-byte code page (CP_UTF8, CP_ACP), in one place.
#include <windows.h>

#include <string>
#include <string_view>

namespace qkLib {

// S_OK, or the conversion's Win32 error as an HRESULT (invalid input included, where the system
// refuses it). Empty input gives empty output.
HRESULT MultiByteToWide(UINT codePage, std::string_view text, std::wstring& out);
HRESULT WideToMultiByte(UINT codePage, std::wstring_view text, std::string& out);

// UTF-8 for code that carries no result: what the system cannot convert comes out empty. An
// allocation failure throws.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

} // namespace qkLib
