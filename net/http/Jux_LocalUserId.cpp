#include "net/http/Jux_LocalUserId.h"

#include "common/base/qkTrace.h"

#include <windows.h>
#include <sddl.h>

#include <memory>
#include <vector>

namespace Jux {

bool GetLocalUserId(std::wstring& sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        QK_TRACE(L"OpenProcessToken failed: %lu", GetLastError());
        return false;
    }
    std::unique_ptr<void, decltype(&CloseHandle)> tokenOwner(token, &CloseHandle);
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_TRACE(L"GetTokenInformation size failed: %lu", GetLastError());
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        QK_TRACE(L"GetTokenInformation failed: %lu", GetLastError());
        return false;
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    wchar_t* text = nullptr;
    if (!IsValidSid(user) || !ConvertSidToStringSidW(user, &text)) {
        QK_TRACE(L"SID conversion failed: %lu", GetLastError());
        return false;
    }
    sid = text;
    LocalFree(text);
    return true;
}

} // namespace Jux
