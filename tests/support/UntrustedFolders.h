#pragma once
// The planted folders and files that tests/support/make_untrusted_folders.sh makes in the folder
// named by VEK_UNTRUSTED (a Unix path), as Windows paths; and whether one of them really belongs
// to another account here (only a fixture run as root can give it away).
#include <windows.h>

#include <aclapi.h>

#include <cstdlib>
#include <string>

namespace untrusted {

// "Z:<folder with backslashes>\<relative>".
inline std::wstring Path(const wchar_t* relative)
{
    const char* dir = std::getenv("VEK_UNTRUSTED");
    std::wstring path = L"Z:";
    for (const char* c = dir ? dir : ""; *c; ++c)
        path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    return path + L"\\" + relative;
}

// The owner of path is a valid SID other than this process's user (read with the plain API,
// not through the code under test).
inline bool IsForeign(const std::wstring& path)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool foreign = false;
    HANDLE token = nullptr;
    if (owner != nullptr && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size))
            foreign = !::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, owner);
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return foreign;
}

// The planted data folders that hold nothing of ours: one behind a link, one of another account;
// where their entries really lie, and the refusal a check of them answers.
struct RefusedFolder {
    const wchar_t* folder;
    const wchar_t* contentFolder;
    HRESULT refusal;
};
inline const RefusedFolder kRefusedDataFolders[] = {
    {L"linked", L"target", HRESULT_FROM_WIN32(4395)}, // ERROR_REPARSE_POINT_ENCOUNTERED
    {L"foreign", L"foreign", E_ACCESSDENIED},
};

// The lock name whose lock file the fixture planted ("_<id>G" in lock-file-linked and
// lockfile-foreign).
inline constexpr wchar_t kLockId[] = L"{5A1E-LOCK}";

// Why a test that needs a file of another account skips.
inline constexpr char kNotGivenAway[] = "this system did not give the fixture's files to another account";

} // namespace untrusted
