#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "TestSupport.h"
#include "support/OtherAccounts.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <thread>
#include <vector>

namespace {

// ERROR_REPARSE_POINT_ENCOUNTERED
constexpr HRESULT kLink = HRESULT_FROM_WIN32(4395);

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
    qkHandle token(others::TokenWithoutFullRights());
    if (!token.IsValid())
        GTEST_SKIP() << "no token without full rights could be made here";
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    qkHandle process(raw);
    if (!others::IsElevated(process.Get()))
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

// A folder is open to other accounts when its owner or an entry of its access list lets another
// account change its entries; a path may be redirected when any folder on the way is, or is a
// link. The drive root is not weighed, and neither is the last entry itself.
TEST(qkFolderTrust, FoldersThatOtherAccountsMayWrite)
{
    systest::ScratchDir scratch(L"foldertrust-open");
    const std::wstring closed = scratch / L"closed";
    const std::wstring open = scratch / L"open";
    const std::wstring below = scratch / L"open\\below";
    ASSERT_TRUE(::CreateDirectoryW(closed.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(open.c_str(), nullptr));
    // Made before the folder above opens: Wine gives a new folder the mode bits it inherits and
    // never takes bits away again.
    ASSERT_TRUE(::CreateDirectoryW(below.c_str(), nullptr));
    ASSERT_EQ(others::SetAccess(below, others::kOnlyTrustedWrite), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(others::SetAccess(open, others::kEveryoneWrites), static_cast<DWORD>(ERROR_SUCCESS));

    struct Case {
        std::wstring path;
        bool foreign; // needs the fixture's owner to be another account
        bool canWrite;
        bool canRedirect;
    } cases[] = {
        {closed, false, false, false},
        {closed + L"\\file.txt", false, false, false},
        {open, false, true, false},          // only the folders on the way count
        {open + L"\\file.txt", false, true, true},
        {below, false, false, true},         // a folder above it is open
        {below + L"\\file.txt", false, false, true},
        {untrusted::Path(L"linked") + L"\\file.txt", false, false, true},
        {untrusted::Path(L"foreign"), true, true, false},
        {untrusted::Path(L"foreign") + L"\\file.txt", true, true, true},
    };
    // The fixture's folders lie in the build tree: where a folder above the checkout is open to
    // other accounts (a checkout under /tmp), every path through them may be redirected.
    std::wstring fixtureRoot = untrusted::Path(L"");
    fixtureRoot.pop_back(); // the separator Path adds
    const bool fixtureAboveOpen = qkFolderTrust::OthersCanRedirect(fixtureRoot + L"\\entry");
    if (fixtureAboveOpen)
        std::printf("[   NOTE   ] a folder above %ls is open to other accounts: its rows expect a path that may "
                    "be redirected\n",
                    fixtureRoot.c_str());
    bool notGivenAway = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.path).string());
        const bool inFixture = c.path.rfind(fixtureRoot, 0) == 0;
        if (c.foreign && !untrusted::IsForeign(c.path.substr(0, c.path.rfind(L"\\file.txt")))) {
            notGivenAway = true;
            continue;
        }
        if (c.path.find(L"file.txt") == std::wstring::npos) {
            EXPECT_EQ(qkFolderTrust::OthersCanWrite(c.path), c.canWrite);
        }
        EXPECT_EQ(qkFolderTrust::OthersCanRedirect(c.path), c.canRedirect || (inFixture && fixtureAboveOpen));
    }
    if (notGivenAway)
        GTEST_SKIP() << untrusted::kNotGivenAway;
}
