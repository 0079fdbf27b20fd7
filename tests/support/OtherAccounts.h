#pragma once
// What tests of the rules for other accounts need: this user's token without full rights, to run
// code on a thread that impersonates it, and a folder that every account may write.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <thread>

#include "common/system/qkHandle.h"

namespace others {

inline bool IsElevated(HANDLE token)
{
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) ||
           elevation.TokenIsElevated != 0;
}

inline bool IsAdministrator(HANDLE impersonationToken)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    BOOL member = TRUE;
    return !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) ||
           !::CheckTokenMembership(impersonationToken, sid, &member) || member;
}

// The token with Administrators for denying access only and no privileges but the least, as an
// impersonation token; null when it cannot be made or, read by the plain API, still has full
// rights.
inline HANDLE RestrictedImpersonationToken(HANDLE from)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
        return nullptr;
    SID_AND_ATTRIBUTES deny{sid, 0};
    HANDLE raw = nullptr;
    if (!::CreateRestrictedToken(from, DISABLE_MAX_PRIVILEGE, 1, &deny, 0, nullptr, 0, nullptr, &raw))
        return nullptr;
    qkHandle token(raw);
    TOKEN_TYPE type = TokenPrimary;
    if (!::GetTokenInformation(token.Get(), TokenType, &type, sizeof(type), &size))
        return nullptr;
    // A linked token is an impersonation token already, at a level it cannot be raised from.
    if (type == TokenPrimary) {
        if (!::DuplicateTokenEx(token.Get(), TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityImpersonation,
                                TokenImpersonation, &raw))
            return nullptr;
        token.Attach(raw);
    }
    if (IsElevated(token.Get()) || IsAdministrator(token.Get()))
        return nullptr;
    return token.Detach();
}

// This user's token without full rights: made from the process's token or, where that one still
// reads as elevated (Wine reports every token it makes from an elevated one so), from its linked
// limited token. Null when neither gives one.
inline HANDLE TokenWithoutFullRights()
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw))
        return nullptr;
    qkHandle process(raw);
    if (HANDLE token = RestrictedImpersonationToken(process.Get()))
        return token;
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!::GetTokenInformation(process.Get(), TokenLinkedToken, &linked, sizeof(linked), &size))
        return nullptr;
    qkHandle limited(linked.LinkedToken);
    return RestrictedImpersonationToken(limited.Get());
}

// Runs the work on a thread of its own that impersonates the token; false when it could not.
inline bool RunAs(HANDLE token, const std::function<void()>& work)
{
    bool ran = false;
    std::thread([&] {
        if (!::SetThreadToken(nullptr, token))
            return;
        work();
        ran = true;
        ::RevertToSelf();
    }).join();
    return ran;
}

// Access lists for a test's folders, kept from what lies above: every account may create, delete
// and rename entries; or only the administrators, SYSTEM and the owner may, others only read.
inline constexpr wchar_t kEveryoneWrites[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)(A;OICI;0x1301bf;;;WD)";
inline constexpr wchar_t kOnlyTrustedWrite[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)(A;OICI;0x1200a9;;;WD)";

// Gives the folder one of those access lists; the Win32 error, or ERROR_SUCCESS. Wine keeps an
// access list as mode bits and only ever adds bits: a folder to be closed is made before the
// folder above it opens (a new folder takes the bits it inherits).
inline DWORD SetAccess(const std::wstring& folder, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return ::GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring path = folder;
    const DWORD error = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
    return error;
}

} // namespace others
