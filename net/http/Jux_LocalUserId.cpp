#include "net/http/Jux_LocalUserId.h"

#include "common/base/qkTrace.h"
#include "common/system/qkHandle.h"
#include "common/system/qkResourceHolders.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

namespace Jux {

bool GetLocalUserId(std::wstring& sid)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        QK_TRACE(L"OpenProcessToken failed: %lu", GetLastError());
        return false;
    }
    const qkHandle token(raw);
    DWORD size = 0;
    if (GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_TRACE(L"GetTokenInformation size failed: %lu", GetLastError());
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
        QK_TRACE(L"GetTokenInformation failed: %lu", GetLastError());
        return false;
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    qkLocalPtr<wchar_t> text;
    if (!IsValidSid(user) || !ConvertSidToStringSidW(user, text.Receive())) {
        QK_TRACE(L"SID conversion failed: %lu", GetLastError());
        return false;
    }
    sid = text.Get();
    return true;
}

} // namespace Jux
