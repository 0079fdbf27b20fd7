#include "settings/store/qkSettingsText.h"

#include <cstring>
#include <new>

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

DWORD ToNarrow(const wchar_t* text, std::string& out)
{
    if (text == nullptr)
        return result::kInvalidArg;
    out.clear();
    if (*text == 0)
        return result::kOk;
    int need = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0)
        return MapWin32ToResult(::GetLastError());
    try {
        out.resize(static_cast<size_t>(need));
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    int got = ::WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), need, nullptr, nullptr);
    if (got <= 0)
        return MapWin32ToResult(::GetLastError());
    out.resize(static_cast<size_t>(got - 1));
    return result::kOk;
}

DWORD ToWide(const char* text, std::wstring& out)
{
    if (text == nullptr)
        return result::kInvalidArg;
    out.clear();
    if (*text == 0)
        return result::kOk;
    int need = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (need <= 0)
        return MapWin32ToResult(::GetLastError());
    try {
        out.resize(static_cast<size_t>(need));
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    int got = ::MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), need);
    if (got <= 0)
        return MapWin32ToResult(::GetLastError());
    out.resize(static_cast<size_t>(got - 1));
    return result::kOk;
}

} // namespace qkSettings

namespace qkSettings {

bool BadBufferArgs(const void* buffer, const DWORD* size)
{
    return size == nullptr || (buffer == nullptr && *size != 0);
}

DWORD CopyBytesOut(const void* data, DWORD length, void* buffer, DWORD* size)
{
    if (BadBufferArgs(buffer, size))
        return result::kInvalidArg;
    if (*size < length) {
        *size = length;
        return result::kBufferTooSmall;
    }
    if (length > 0)
        std::memcpy(buffer, data, length);
    *size = length;
    return result::kOk;
}

DWORD CopyTextOut(std::wstring_view text, LPWSTR buffer, DWORD* size)
{
    if (BadBufferArgs(buffer, size))
        return result::kInvalidArg;
    // The terminator counts, so even an empty text needs room: a size of 0 only asks.
    DWORD need = static_cast<DWORD>(text.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return result::kBufferTooSmall;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
    buffer[text.size()] = 0;
    *size = need;
    return result::kOk;
}

DWORD CopyNarrowTextOut(std::wstring_view text, LPSTR buffer, DWORD* size)
{
    if (BadBufferArgs(buffer, size))
        return result::kInvalidArg;
    std::string narrow;
    DWORD converted;
    try {
        converted = ToNarrow(std::wstring(text).c_str(), narrow);
    } catch (const std::bad_alloc&) {
        converted = result::kOutOfMemory;
    }
    if (!Succeeded(converted))
        return converted;
    DWORD need = static_cast<DWORD>(narrow.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return result::kBufferTooSmall;
    }
    std::memcpy(buffer, narrow.c_str(), need);
    *size = need;
    return result::kOk;
}

} // namespace qkSettings
