#pragma once
// Conversions between the system's ANSI code page and UTF-16 for the narrow twins of the
// settings interfaces, and the size protocol by which values are copied out to a caller.
// Results are settings result codes.
#include <windows.h>

#include <string>
#include <string_view>

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

DWORD ToNarrow(const wchar_t* text, std::string& out);
DWORD ToWide(const char* text, std::wstring& out);

// A narrow twin's name (or path): converted from the ANSI code page and handed to call, the wide
// slot. A null name is an invalid argument; a failed conversion gives its mapped result.
template <typename Call>
HRESULT WithWideName(LPCSTR name, Call&& call)
{
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wide;
    DWORD converted = ToWide(name, wide);
    if (!Succeeded(converted))
        return ResultHr(converted);
    return call(wide.c_str());
}

// The size protocol of a value read into a caller's buffer. A null size, or a null buffer with a
// non-zero size, is an invalid argument; a buffer of fewer than the needed units gets the needed
// size and 0x80000200 (a null buffer with size 0 only asks for it); otherwise the value is copied
// and the size set to what it holds.
// A null size, or a null buffer with a non-zero size.
bool BadBufferArgs(const void* buffer, const DWORD* size);
// Bytes, size in bytes.
DWORD CopyBytesOut(const void* data, DWORD length, void* buffer, DWORD* size);
// Text, size in units with the terminator, which is written after the text.
DWORD CopyTextOut(std::wstring_view text, LPWSTR buffer, DWORD* size);
// Text converted to the ANSI code page, size in bytes with the terminator.
DWORD CopyNarrowTextOut(std::wstring_view text, LPSTR buffer, DWORD* size);

} // namespace qkSettings
