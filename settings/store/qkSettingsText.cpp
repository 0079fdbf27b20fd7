#include "settings/store/qkSettingsText.h"

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
