// Clean-up after the jobs: when the engine allows it, which parts each flag removes and in which
// order, the state file, and the safety of a folder that the user chose.
#include "BootstrapTestSupport.h"

#include "engine/state/VekStateFile.h"
#include "support/OtherAccounts.h"
#include "support/PendingRenames.h"

using namespace boot_test;
using vek::VekJobEngine;

namespace {

class CleanUpTest : public EngineTest {
protected:
    std::wstring ManifestKey() const { return L"Software\\Vallor\\Vek\\" + m_manifestId; }
    void SetManifestValue(const wchar_t* name, DWORD value, const std::wstring& subkey = L"")
    {
        HKEY key = nullptr;
        const std::wstring path = ManifestKey() + (subkey.empty() ? L"" : L"\\" + subkey);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        RegCloseKey(key);
    }
    bool KeyExists(const std::wstring& path) const
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    std::wstring StateFile() const
    {
        const vek::VekStateFile file(m_data, nullptr);
        return m_document->Read([&](const json& root) { return file.Path(root); });
    }
    // Everything a run leaves behind: downloaded and temporary files, shortcuts, the state file,
    // registry values and the Run value.
    void LeaveEverything(TestEngine& engine)
    {
        CreateDirectoryW(m_runLocation.c_str(), nullptr);
        CreateDirectoryW(InstallFolder().c_str(), nullptr);
        WriteFile(InstallFolder() + L"\\payload.bin");
        WriteFile(InstallFolder() + L"\\VEK1A2.tmp");
        engine.createShortcuts(InstallFolder(), Launcher(L"level3"));
        engine.createRunKeys(Launcher(L"level3"));
        WriteFile(StateFile().substr(4));
        SetManifestValue(L"VDMCount", 2);
        SetManifestValue(L"Started", 1, L"{J0B}");
        ASSERT_TRUE(Exists(Desktop(L"Launcher.lnk")));
        ASSERT_FALSE(RunValue().empty());
    }
};

TEST_F(CleanUpTest, WhenTheEngineAllowsIt)
{
    struct Case {
        const char* name;
        bool enabled;
        int32_t state;
        bool accepted; // "DownloadAccepted" 1
        bool allowed;
        const wchar_t* logged;
    } cases[] = {
        {"disabled by the job window", false, VekJobEngine::eJobsDone, false, false, L"Cleanup disabled"},
        {"already cleaned up", true, VekJobEngine::eCleanedUp, false, false, L"Already cleanedup"},
        {"jobs done wins over an accepted download", true, VekJobEngine::eJobsDone, true, true,
         L"Jobengine status is success"},
        {"failed run with an accepted download", true, VekJobEngine::eFatalError, true, false,
         L"OneClickFlow registry found"},
        {"failed run", true, VekJobEngine::eFatalError, false, true, nullptr},
        {"bootstrapped only", true, VekJobEngine::eBootstrapped, false, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        auto& engine = Engine(Manifest(), Launcher(L"level3"));
        LeaveEverything(engine);
        if (c.accepted)
            SetManifestValue(L"DownloadAccepted", 1);
        engine.setCleanupEnabled(c.enabled);
        engine.setEngineState(c.state);
        vek::test::LogCapture log;
        EXPECT_EQ(engine.CanCleanup(), c.allowed);
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << vek::ToUtf8(log.All());
        }
        engine.CleanUp(VekJobEngine::eCleanAll);
        EXPECT_EQ(engine.GetEngineState(), c.allowed ? VekJobEngine::eCleanedUp : c.state);
        EXPECT_EQ(Exists(InstallFolder()), !c.allowed);
        EXPECT_EQ(Exists(StateFile()), !c.allowed);
        EXPECT_EQ(RunValue().empty(), c.allowed);
    }
}

TEST_F(CleanUpTest, FlagsSelectThePartsWhichRunInTheirOrder)
{
    struct Case {
        unsigned flags;
        bool downloads, launcherLink, folderLink, stateFile, temporary, registry;
    } cases[] = {
        // what is gone afterwards
        {0x8, false, false, false, false, false, true},
        {0x2, true, false, false, false, false, false},
        {0x1, false, true, false, false, false, false}, // the downloads are still there: their link stays
        {0x3, true, true, true, false, false, false},
        {0x4, false, false, false, true, true, false},
        {0xF, true, true, true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        TearDown();
        SetUp();
        auto& engine = Engine(Manifest(), Launcher(L"level3"));
        LeaveEverything(engine);
        engine.setEngineState(VekJobEngine::eJobsDone);
        vek::test::LogCapture log;
        engine.CleanUp(c.flags);
        EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eCleanedUp);
        EXPECT_EQ(!Exists(InstallFolder() + L"\\payload.bin"), c.downloads);
        EXPECT_EQ(!Exists(Desktop(L"Launcher.lnk")), c.launcherLink);
        EXPECT_EQ(!Exists(Desktop(L"Files.lnk")), c.folderLink);
        EXPECT_EQ(!Exists(StateFile()), c.stateFile);
        EXPECT_EQ(!Exists(InstallFolder() + L"\\VEK1A2.tmp"), c.temporary || c.downloads);
        EXPECT_EQ(RunValue().empty(), c.registry);
        EXPECT_EQ(!KeyExists(ManifestKey()), c.registry);

        // Whatever the bits, the downloads folder goes first and the registry last.
        const std::wstring all = log.All();
        const size_t downloads = all.find(L"Removing the downloads folder");
        const size_t shortcuts = all.find(L"Removing the shortcuts");
        const size_t state = all.find(L"Removing the state file");
        const size_t registry = all.find(L"Removing the registry values");
        EXPECT_EQ(downloads != std::wstring::npos, (c.flags & 0x2) != 0);
        EXPECT_EQ(registry != std::wstring::npos, (c.flags & 0x8) != 0);
        if (c.flags == 0xF) {
            EXPECT_LT(downloads, shortcuts);
            EXPECT_LT(shortcuts, state);
            EXPECT_LT(state, registry);
        }
    }
}

TEST_F(CleanUpTest, SecondCleanUpDoesNothingAndAReadOnlyStateFileGoes)
{
    auto& engine = Engine(Manifest(), Launcher(L"level3"));
    CreateDirectoryW(m_runLocation.c_str(), nullptr);
    CreateDirectoryW(InstallFolder().c_str(), nullptr);
    WriteFile(StateFile().substr(4));
    ASSERT_TRUE(SetFileAttributesW(StateFile().c_str(), FILE_ATTRIBUTE_READONLY));
    engine.setEngineState(VekJobEngine::eJobsDone);
    engine.CleanUp(VekJobEngine::eCleanStateFile);
    EXPECT_FALSE(Exists(StateFile()));
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eCleanedUp);

    // A missing state file is no error; the second call finds the engine cleaned up.
    vek::test::LogCapture log;
    engine.CleanUp(VekJobEngine::eCleanAll);
    EXPECT_TRUE(log.Contains(L"Already cleanedup"));
    EXPECT_FALSE(log.Contains(L"is cleaning up"));
    EXPECT_TRUE(Exists(InstallFolder())) << "the second call removed nothing";
}

TEST_F(CleanUpTest, RunStillEndingKeepsItsFailureState)
{
    json manifest = Manifest();
    manifest["vek"]["job_array"] = json::array();
    auto& engine = Engine(manifest, Launcher(L"level3"));
    // The engine thread's first event holds the thread until the test lets it go: the run is
    // still going while the clean-up runs.
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    engine.subscribeJobEvents([&](int32_t event, const json&) {
        if (event == 9) {
            SetEvent(entered);
            WaitForSingleObject(release, 60000);
        }
        return 0;
    });
    ASSERT_TRUE(engine.Start());
    ASSERT_EQ(WaitForSingleObject(entered, 60000), WAIT_OBJECT_0);
    ASSERT_TRUE(engine.IsRunning());
    engine.setEngineState(VekJobEngine::eFatalError);
    engine.CleanUp(VekJobEngine::eCleanRegistry);
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eFatalError) << "the windows still show the failure";
    SetEvent(release);
    engine.Join();
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eFatalError);
    // Once the run has ended, clean-up marks the engine as cleaned up.
    engine.CleanUp(VekJobEngine::eCleanRegistry);
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eCleanedUp);
    CloseHandle(entered);
    CloseHandle(release);
}

TEST_F(CleanUpTest, ChosenFolderKeepsWhatTheLauncherDidNotWrite)
{
    struct Case {
        const char* name;
        bool userFile;
    } cases[] = {{"with a file of the user's", true}, {"only the launcher's files", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        const std::wstring chosen = m_root + L"\\chosen";
        const std::wstring nested = chosen + L"\\projects";
        CreateDirectoryW(chosen.c_str(), nullptr);
        WriteFile(chosen + L"\\payload.bin");
        WriteFile(chosen + L"\\VEK77.tmp");
        if (c.userFile) {
            WriteFile(chosen + L"\\notes.txt");
            WriteFile(chosen + L"\\draft.tmp");
            CreateDirectoryW(nested.c_str(), nullptr);
            WriteFile(nested + L"\\plan.txt");
        }
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["custom_location"] = vek::ToUtf8(chosen);
        auto& engine = Engine(manifest, Launcher(L"level3"));
        engine.setEngineState(VekJobEngine::eJobsDone);
        engine.CleanUp(VekJobEngine::eCleanDownloads | VekJobEngine::eCleanStateFile);
        EXPECT_FALSE(Exists(chosen + L"\\payload.bin"));
        EXPECT_FALSE(Exists(chosen + L"\\VEK77.tmp"));
        EXPECT_EQ(Exists(chosen), c.userFile);
        if (c.userFile) {
            EXPECT_TRUE(Exists(chosen + L"\\notes.txt"));
            EXPECT_TRUE(Exists(chosen + L"\\draft.tmp")) << "a temporary file of the user's";
            EXPECT_TRUE(Exists(nested + L"\\plan.txt"));
        }
    }
}

// A file of the launcher's that is still in use in a folder the user chose goes at the restart,
// by path. With full rights that is scheduled only where no other account can write a folder on
// the way: one that could would turn the folder into a link before the restart and have its
// target deleted. The file is then left and named.
TEST_F(CleanUpTest, FileInUseGoesAtRestartOnlyWhereNoOtherAccountWrites)
{
    struct Case {
        const char* name;
        const wchar_t* access; // of the chosen folder
        bool scheduled;
    } cases[] = {
        {"a folder only trusted accounts write", others::kOnlyTrustedWrite, true},
        {"a folder other accounts write", others::kEveryoneWrites, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        pending::PendingRenames pending;
        const std::wstring chosen = m_root + L"\\chosen";
        const std::wstring payload = chosen + L"\\payload.bin";
        CreateDirectoryW(chosen.c_str(), nullptr);
        ASSERT_EQ(others::SetAccess(chosen, c.access), static_cast<DWORD>(ERROR_SUCCESS));
        WriteFile(payload);
        HANDLE busy = CreateFileW(payload.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(busy, INVALID_HANDLE_VALUE);
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["custom_location"] = vek::ToUtf8(chosen);
        auto& engine = Engine(manifest, Launcher(L"level3"));
        engine.setEngineState(VekJobEngine::eJobsDone);
        vek::test::LogCapture log;
        engine.CleanUp(VekJobEngine::eCleanDownloads);
        CloseHandle(busy);
        EXPECT_TRUE(Exists(payload));
        EXPECT_EQ(pending.HasDeletionOf(payload), c.scheduled);
        EXPECT_EQ(log.Contains(L"other accounts may redirect " + payload), !c.scheduled);
        EXPECT_EQ(log.Contains(L"failed to delete " + payload), !c.scheduled) << "a scheduled file is no failure";
    }
}

} // namespace
