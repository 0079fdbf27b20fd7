// Folder trees deleted with read-only, in-use and linked entries; the system's folders refused.
#include <gtest/gtest.h>

#include <windows.h>
#include <cstdlib>

#include <string>
#include <vector>

#include "services/session/LogCapture.h"
#include "services/toolbox/Tolk_CUtils.h"
#include "support/OtherAccounts.h"
#include "support/PendingRenames.h"

namespace {

std::wstring TempRoot()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    return std::wstring(temp) + L"vek-toolbox-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

void WriteFile(const std::wstring& path, const char* text = "x")
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The tree with links made by the test set-up, as a Windows path.
std::wstring LinkFixture(const wchar_t* relative)
{
    const char* dir = std::getenv("VEK_TOOLBOX_LINKS");
    std::wstring path = L"Z:";
    for (char c : std::string(dir ? dir : ""))
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path + L"\\" + relative;
}

} // namespace

TEST(ToolboxFolderTest, SystemFoldersAreRefused)
{
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring lower = programFiles;
    for (auto& c : lower)
        c = towlower(c);
    const std::wstring refused[] = {L"C:\\", L"c:",           L"C:", programFiles, std::wstring(programFiles) + L"\\",
                                    lower,   lower + L"\\\\", system};
    vek::test::LogCapture log;
    for (const std::wstring& path : refused) {
        EXPECT_TRUE(Tolk::CUtils::IsProtectedFolder(path.c_str()));
        EXPECT_EQ(Tolk::CUtils::DeleteFolder(path.c_str()), E_INVALIDARG);
        EXPECT_TRUE(log.Contains(L"invalid path: " + path));
    }
    EXPECT_TRUE(log.Contains(L"!!!!Found known folder do not DELETE!!!: "));
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(nullptr), E_INVALIDARG);
    EXPECT_TRUE(Exists(programFiles));

    // Below a protected folder is fair game.
    const std::wstring below = std::wstring(programFiles) + L"\\vek-toolbox-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(below.c_str(), nullptr));
    WriteFile(below + L"\\a.txt");
    EXPECT_FALSE(Tolk::CUtils::IsProtectedFolder(below.c_str()));
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(below.c_str()), S_OK);
    EXPECT_FALSE(Exists(below));
}

TEST(ToolboxFolderTest, MissingEmptyAndReadOnlyTrees)
{
    const std::wstring root = TempRoot();
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), S_OK); // missing: nothing to do

    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), S_OK); // empty
    EXPECT_FALSE(Exists(root));

    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\sub\\deeper").c_str(), nullptr));
    WriteFile(root + L"\\top.txt");
    WriteFile(root + L"\\sub\\readonly.txt");
    WriteFile(root + L"\\sub\\deeper\\hidden.txt");
    SetFileAttributesW((root + L"\\sub\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\sub\\deeper\\hidden.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW((root + L"\\sub").c_str(), FILE_ATTRIBUTE_READONLY);
    vek::test::LogCapture log;
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), S_OK);
    EXPECT_FALSE(Exists(root));
    EXPECT_TRUE(log.Contains(L"DeleteFile: " + root + L"\\sub\\readonly.txt"));
}

TEST(ToolboxFolderTest, InUseFileIsScheduledAndReported)
{
    pending::PendingRenames pending;
    const std::wstring root = TempRoot();
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    WriteFile(root + L"\\free.txt");
    WriteFile(root + L"\\busy.txt");
    HANDLE busy =
        CreateFileW((root + L"\\busy.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);

    vek::test::LogCapture log;
    // The folder stays: that is no success, and what waits for the restart is named.
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED));
    EXPECT_TRUE(Exists(root + L"\\busy.txt"));
    EXPECT_FALSE(Exists(root + L"\\free.txt"));
    EXPECT_TRUE(log.Contains(L"delete on reboot: " + root + L"\\busy.txt"));
    EXPECT_TRUE(pending.HasDeletionOf(root + L"\\busy.txt"));
    EXPECT_TRUE(pending.HasDeletionOf(root));

    CloseHandle(busy);
    EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), S_OK);
    EXPECT_FALSE(Exists(root));
}

// The restart deletes by path, when nothing holds the folders any more: a user who keeps a file
// open in a folder that users may write, and turns the folder into a link before the restart,
// would have the link's target deleted. With full rights an entry is scheduled only where no
// other account can write a folder on its way; elsewhere it is left and named. Without full
// rights the scheduling stays as it was (the system then decides whether it may).
TEST(ToolboxFolderTest, RestartDeletionOnlyWhereNoOtherAccountWrites)
{
    qkHandle limited(others::TokenWithoutFullRights());
    struct Case {
        const char* name;
        const wchar_t* access; // of the folder that holds the file in use
        bool fullRights;
        bool scheduled;
    } cases[] = {
        {"a folder only trusted accounts write", others::kOnlyTrustedWrite, true, true},
        {"a folder other accounts write", others::kEveryoneWrites, true, false},
        {"without full rights", others::kEveryoneWrites, false, true},
    };
    bool skipped = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pending::PendingRenames pending;
        const std::wstring root = TempRoot();
        const std::wstring busyPath = root + L"\\inner\\busy.txt";
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((root + L"\\inner").c_str(), nullptr));
        ASSERT_EQ(others::SetAccess(root, c.access), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(others::SetAccess(root + L"\\inner", others::kOnlyTrustedWrite), static_cast<DWORD>(ERROR_SUCCESS));
        WriteFile(busyPath);
        HANDLE busy = CreateFileW(busyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(busy, INVALID_HANDLE_VALUE);

        vek::test::LogCapture log;
        HRESULT result = E_UNEXPECTED;
        const auto remove = [&] { result = Tolk::CUtils::DeleteFolder(root.c_str()); };
        if (c.fullRights) {
            remove();
        } else if (!limited.IsValid() || !others::RunAs(limited.Get(), remove)) {
            skipped = true;
        }
        CloseHandle(busy);
        if (result != E_UNEXPECTED) {
            EXPECT_TRUE(Exists(busyPath));
            // Whether the system let a thread without full rights write the pending renames is
            // its own business: the attempt is what shows.
            EXPECT_EQ(log.Contains(L"delete on reboot: " + busyPath), c.scheduled);
            if (c.fullRights) {
                EXPECT_EQ(pending.HasDeletionOf(busyPath), c.scheduled);
                EXPECT_EQ(pending.HasDeletionOf(root), c.scheduled);
                EXPECT_EQ(result, c.scheduled ? HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED)
                                              : HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY));
            }
            EXPECT_EQ(log.Contains(L"left in place, not scheduled for deletion at restart: other accounts may "
                                   L"redirect " +
                                   busyPath),
                      !c.scheduled);
        }
        EXPECT_EQ(Tolk::CUtils::DeleteFolder(root.c_str()), S_OK);
    }
    if (skipped)
        GTEST_SKIP() << "no token without full rights could be made here";
}

TEST(ToolboxFolderTest, LinksAreUnlinkedNotFollowed)
{
    const std::wstring target = LinkFixture(L"target");
    const std::wstring tree = LinkFixture(L"tree");
    const std::wstring top = LinkFixture(L"top");
    ASSERT_NE(GetFileAttributesW((tree + L"\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    ASSERT_TRUE(Exists(tree + L"\\link\\inner\\deep.txt"));

    vek::test::LogCapture log;
    const HRESULT treeResult = Tolk::CUtils::DeleteFolder(tree.c_str());
    const HRESULT topResult = Tolk::CUtils::DeleteFolder(top.c_str());
    EXPECT_TRUE(log.Contains(L"Remove link: " + tree + L"\\link"));
    EXPECT_FALSE(log.Contains(L"delete on reboot"));
    EXPECT_FALSE(Exists(tree + L"\\own.txt"));

    // The target is untouched, whatever became of the links.
    EXPECT_TRUE(Exists(target + L"\\keep.txt"));
    EXPECT_TRUE(Exists(target + L"\\inner\\deep.txt"));

    if (log.Contains(L"opens as its target, left in place")) {
        // Wine opens a link's target even when asked for the link itself: the links stay, and the
        // folder that still holds them is reported, not taken for deleted.
        EXPECT_EQ(treeResult, HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY));
        EXPECT_TRUE(log.Contains(L"failed to delete folder: " + tree));
        EXPECT_EQ(topResult, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
        EXPECT_TRUE(Exists(top));
    } else {
        // A link removed as a link; a top folder that is a link only unlinked.
        EXPECT_EQ(treeResult, S_OK);
        EXPECT_FALSE(Exists(tree));
        EXPECT_EQ(topResult, S_OK);
        EXPECT_FALSE(Exists(top));
    }
}

namespace {

// Swaps the folder above the tree, between the tree's listing and the walk into its second
// folder (the first time a file of either folder is handled), for one where both folders are
// links to a folder outside. A system that refuses to rename a folder while one below it is
// open keeps the tree in place.
struct SwapAfterListing {
    static inline std::wstring above;
    static inline std::wstring decoy;
    static inline std::wstring swapped; // the folder not walked yet, now a link
    static inline bool tried = false;
    static bool Handler(const wchar_t* folder, const WIN32_FIND_DATAW& entry, DWORD* flags)
    {
        const std::wstring in(folder);
        const std::wstring tree = above + L"\\race";
        if (!tried && (in == tree + L"\\x" || in == tree + L"\\y")) {
            tried = true;
            if (MoveFileW(above.c_str(), (above + L"-old").c_str()) && MoveFileW(decoy.c_str(), above.c_str())) {
                swapped = tree + (in == tree + L"\\x" ? L"\\y" : L"\\x");
                EXPECT_NE(GetFileAttributesW(swapped.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
            }
        }
        return Tolk::CUtils::DeleteHandler(folder, entry, flags);
    }
};

} // namespace

TEST(ToolboxFolderTest, EntrySwappedForLinkAfterListingIsNotFollowed)
{
    const std::wstring outside = LinkFixture(L"outside");
    SwapAfterListing::above = LinkFixture(L"via");
    SwapAfterListing::decoy = LinkFixture(L"decoy");
    ASSERT_TRUE(Exists(outside + L"\\keep.txt"));
    ASSERT_TRUE(Exists(SwapAfterListing::decoy + L"\\race\\y\\keep.txt"));

    vek::test::LogCapture log;
    DWORD flags = Tolk::CUtils::kMayScheduleForRestart;
    Tolk::CUtils::WalkFolder((SwapAfterListing::above + L"\\race").c_str(), &SwapAfterListing::Handler, &flags);
    ASSERT_TRUE(SwapAfterListing::tried);
    // The folder outside is untouched: the link was not walked, and nothing was taken through it.
    EXPECT_TRUE(Exists(outside + L"\\keep.txt"));
    EXPECT_FALSE(log.Contains(L"DeleteFile: " + SwapAfterListing::swapped + L"\\keep.txt"));
    EXPECT_FALSE(log.Contains(L"delete on reboot"));
}
