#include "common/system/qkFolderTrust.h"

#include <aclapi.h>

#include "common/errors/qkLog.h"
#include "common/system/qkHandle.h"
#include "common/system/qkResourceHolders.h"

namespace qkFolderTrust {

namespace {

bool IsCurrentUser(PSID sid)
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    qkHandle token(raw);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size))
        return false;
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != FALSE;
}

bool IsTrusted(PSID owner)
{
    if (owner == nullptr)
        return false;
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid))
        return true;
    return IsCurrentUser(owner);
}

// ERROR_REPARSE_POINT_ENCOUNTERED
constexpr HRESULT kLink = HRESULT_FROM_WIN32(4395);

// Length of the root that no user can replace: "C:\", "\\server\share\", "\\?\C:\".
size_t RootLength(const std::wstring& path)
{
    size_t start = 0;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        start = 8;
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        start = 4;
    else if (path.rfind(L"\\\\", 0) == 0)
        start = 2;
    if (start == 0 || start == 4) {
        if (path.size() >= start + 2 && path[start + 1] == L':')
            return path.size() > start + 2 ? start + 3 : start + 2;
        return start;
    }
    // Server and share names.
    size_t end = path.find(L'\\', start);
    if (end != std::wstring::npos)
        end = path.find(L'\\', end + 1);
    return end == std::wstring::npos ? path.size() : end + 1;
}

} // namespace

bool IsReparsePoint(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool PathHasReparsePoint(const std::wstring& path)
{
    const size_t root = RootLength(path);
    for (size_t end = root; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != L'\\' && path[end] != L'/')
            continue;
        if (end > root && IsReparsePoint(path.substr(0, end)))
            return true;
    }
    return false;
}

bool HasTrustedOwner(const std::wstring& path)
{
    PSID owner = nullptr;
    qkLocalPtr<void> descriptor;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, descriptor.Receive()) != ERROR_SUCCESS)
        return false;
    return IsTrusted(owner);
}

bool HasFullRights()
{
    // A token that cannot be read counts as one with full rights: the stricter rules apply.
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) &&
        (::GetLastError() != ERROR_NO_TOKEN || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)))
        return true;
    qkHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) ||
        elevation.TokenIsElevated != 0)
        return true;
    // An enabled Administrators group counts even where the token does not read as elevated.
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    size = sizeof(administrators);
    BOOL member = FALSE;
    return !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
           !::CheckTokenMembership(nullptr, administrators, &member) || member != FALSE;
}

HRESULT Refuse(const std::wstring& path)
{
    if (PathHasReparsePoint(path)) {
        QK_LOG_ERROR(L"%s is or lies under a link, not using it", path.c_str());
        return kLink;
    }
    if (HasFullRights() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && !HasTrustedOwner(path)) {
        QK_LOG_ERROR(L"%s is owned by another account, not using it", path.c_str());
        return E_ACCESSDENIED;
    }
    return S_OK;
}

bool OthersMayWrite(HANDLE file)
{
    PACL dacl = nullptr;
    qkLocalPtr<void> descriptor;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          descriptor.Receive()) != ERROR_SUCCESS ||
        dacl == nullptr)
        return true; // no list: everyone may
    // Rights that change the file's bytes, remove or replace it, or hand such rights out.
    constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry))
            return true;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kWriting) == 0)
            continue;
        if (!IsTrusted(const_cast<DWORD*>(&allowed->SidStart)))
            return true;
    }
    return false;
}

HRESULT RefuseLink(const std::wstring& path)
{
    if (PathHasReparsePoint(path)) {
        QK_LOG_ERROR(L"%s is or lies under a link, not using it", path.c_str());
        return kLink;
    }
    return S_OK;
}

HRESULT OpenedRefusal(HANDLE file, const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION information{};
    // A link, or a file with another name anywhere on the volume (a hard link). A path that shows
    // a link while the handle shows none was opened on the link's target (Wine does).
    if (!::GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || information.nNumberOfLinks > 1 ||
        IsReparsePoint(path))
        return kLink;
    if (!HasFullRights())
        return S_OK;
    PSID owner = nullptr;
    qkLocalPtr<void> descriptor;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          descriptor.Receive()) != ERROR_SUCCESS ||
        !IsTrusted(owner))
        return E_ACCESSDENIED;
    return S_OK;
}

HRESULT RefuseOpened(HANDLE file, const std::wstring& path)
{
    const HRESULT refusal = OpenedRefusal(file, path);
    if (refusal == kLink)
        QK_LOG_ERROR(L"%s is or lies under a link, not using it", path.c_str());
    else if (FAILED(refusal))
        QK_LOG_ERROR(L"%s is owned by another account, not using it", path.c_str());
    return refusal;
}

} // namespace qkFolderTrust
