#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "TestSupport.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// ERROR_REPARSE_POINT_ENCOUNTERED
constexpr HRESULT kLink = HRESULT_FROM_WIN32(4395);

bool IsElevated(HANDLE token)
{
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) ||
           elevation.TokenIsElevated != 0;
}

bool IsAdministrator(HANDLE impersonationToken)
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
HANDLE RestrictedImpersonationToken(HANDLE from)
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
// limited token.
HANDLE TokenWithoutFullRights()
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

struct Case {
    const wchar_t* entry; // a planted entry of tests/support/make_untrusted_folders.sh, or
                          // "hardlink.txt": a second name of a file in a scratch folder
    bool foreign;         // needs the fixture's owner to be another account
    bool opened;          // checked through a handle (RefuseOpened), else by path (Refuse)
    HRESULT withFullRights;
    HRESULT withoutFullRights;
};

} // namespace

// A link is refused to every process; a folder or file of another account only to one with full
// rights: a standard user's launcher must be able to use the data folder that another standard
// user made first. The thread's impersonation token decides, not the process's.
TEST(qkFolderTrust, OwnerRefusedOnlyWithFullRightsLinksAlways)
{
    qkHandle token(TokenWithoutFullRights());
    if (!token.IsValid())
        GTEST_SKIP() << "no token without full rights could be made here";
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    qkHandle process(raw);
    if (!IsElevated(process.Get()))
        GTEST_SKIP() << "the test process has no full rights";

    systest::ScratchDir scratch(L"foldertrust");
    systest::WriteBytes(scratch / L"own.txt", "own\n");
    ASSERT_TRUE(::CreateHardLinkW((scratch / L"hardlink.txt").c_str(), (scratch / L"own.txt").c_str(), nullptr))
        << ::GetLastError();

    const Case cases[] = {
        {L"plain", false, false, S_OK, S_OK},
        {L"linked", false, false, kLink, kLink},
        {L"linked\\below", false, false, kLink, kLink},
        {L"hardlink.txt", false, true, kLink, kLink},
        {L"foreign", true, false, E_ACCESSDENIED, S_OK},
        {L"foreign-1.txt", true, false, E_ACCESSDENIED, S_OK},
        {L"foreign-1.txt", true, true, E_ACCESSDENIED, S_OK},
    };
    bool notGivenAway = false;
    for (const Case& c : cases) {
        const std::wstring entry = c.entry;
        SCOPED_TRACE(std::filesystem::path(entry).string() + (c.opened ? " opened" : ""));
        const std::wstring path = entry == L"hardlink.txt" ? scratch / entry : untrusted::Path(c.entry);
        if (c.foreign && !untrusted::IsForeign(path)) {
            notGivenAway = true;
            continue;
        }
        qkHandle file;
        if (c.opened) {
            file.Reset(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr));
            ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        }
        const auto refuse = [&] {
            return c.opened ? qkFolderTrust::RefuseOpened(file.Get(), path) : qkFolderTrust::Refuse(path);
        };
        EXPECT_TRUE(qkFolderTrust::HasFullRights());
        EXPECT_EQ(refuse(), c.withFullRights);

        bool fullRights = true;
        HRESULT without = E_UNEXPECTED;
        std::thread([&] {
            if (!::SetThreadToken(nullptr, token.Get()))
                return;
            fullRights = qkFolderTrust::HasFullRights();
            without = refuse();
            ::RevertToSelf();
        }).join();
        EXPECT_FALSE(fullRights);
        EXPECT_EQ(without, c.withoutFullRights);
    }
    if (notGivenAway)
        GTEST_SKIP() << untrusted::kNotGivenAway;
}
