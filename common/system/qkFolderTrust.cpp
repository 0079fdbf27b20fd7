#include "common/system/qkFolderTrust.h"

#include <aclapi.h>

#include <sddl.h>

#include <vector>

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

// NT SERVICE\TrustedInstaller, which owns and writes the system's own folders.
bool IsInstallerService(PSID sid)
{
    static const std::vector<BYTE> installer = [] {
        qkLocalPtr<void> made;
        std::vector<BYTE> bytes;
        if (::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                     reinterpret_cast<PSID*>(made.Receive())))
            bytes.assign(static_cast<const BYTE*>(made.Get()),
                         static_cast<const BYTE*>(made.Get()) + ::GetLengthSid(made.Get()));
        return bytes;
    }();
    return !installer.empty() && ::IsValidSid(sid) && ::EqualSid(sid, const_cast<BYTE*>(installer.data()));
}

// An allowing entry for this SID gives no other account a way in: a trusted account, or CREATOR
// OWNER and OWNER RIGHTS, which stand for the owner (checked on its own) on the folder itself.
bool IsHarmlessTrustee(PSID sid)
{
    return IsTrusted(sid) || IsInstallerService(sid) || ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
           ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// Rights on a folder that change what its names lead to, or who may change that; on a file the
// same bits write and append its data.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The owner and the access list of an entry let another account write it: see OthersCanWrite.
bool OthersCanWrite(PSID owner, PACL dacl)
{
    // The owner may always rewrite the access list.
    if (!IsTrusted(owner) && !IsInstallerService(owner))
        return true;
    if (dacl == nullptr)
        return true;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, index, reinterpret_cast<void**>(&header)))
            return true;
        // Entries that only pass on to what a folder holds do not apply to the entry itself.
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            continue;
        // Both allowing kinds start with the mask and the SID.
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        PSID trustee = const_cast<DWORD*>(&ace->SidStart);
        if ((ace->Mask & kWriteRights) != 0 && !IsHarmlessTrustee(trustee))
            return true;
    }
    return false;
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

bool OthersCanWrite(const std::wstring& path)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    qkLocalPtr<void> descriptor;
    return ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS ||
           OthersCanWrite(owner, dacl);
}

bool OthersCanWriteOpened(HANDLE entry)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    qkLocalPtr<void> descriptor;
    return ::GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                             nullptr, &dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS ||
           OthersCanWrite(owner, dacl);
}

bool OthersCanRedirect(const std::wstring& path)
{
    const size_t root = RootLength(path);
    size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos || last < root)
        return false;
    for (size_t end = root; end <= last; ++end) {
        if (path[end] != L'\\' && path[end] != L'/')
            continue;
        if (end <= root)
            continue;
        const std::wstring folder = path.substr(0, end);
        if (IsReparsePoint(folder) || OthersCanWrite(folder))
            return true;
    }
    return false;
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
