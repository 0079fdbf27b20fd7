// Bootstrap on real files and the real registry: the launcher stand-in is copied into the
// download folder, verified, held and started again with "/r"; the answers without a relaunch;
// refusals of unverifiable copies; the trust-system repair; the run location's fall-backs; the
// reboot limit.
#include "BootstrapTestSupport.h"

#include "services/launcher/VekResultCodes.h"

using namespace boot_test;
using vek::VekJobEngine;

namespace {

class BootstrapTest : public EngineTest {
protected:
    std::wstring Copy() const { return InstallFolder() + L"\\VekCopy.exe"; }

    // Runs bootstrap; the exception's code, or S_OK with the result.
    HRESULT Run(VekJobEngine& engine, int32_t& result)
    {
        result = -1;
        try {
            result = engine.Bootstrap();
            return S_OK;
        } catch (const vek::JobEngineException& e) {
            return e.GetCode();
        }
    }
};

TEST_F(BootstrapTest, CopiesVerifiesAndRelaunchesTheCopy)
{
    auto& engine = Engine(Manifest(), Launcher(L"level3"), L"/SILENT /CC_TOKEN \"abc def\" /noshow");
    vek::test::LogCapture log;
    int32_t result = 0;
    ASSERT_EQ(Run(engine, result), S_OK);
    // A copy without an internet zone mark is no error.
    EXPECT_FALSE(log.Contains(L"Failed to delete zone information")) << vek::ToUtf8(log.All());
    EXPECT_EQ(result, VekJobEngine::eBootstrapRelaunched);
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eBootstrapped);
    EXPECT_EQ(engine.GetInstalledBinaryPath(), Copy());

    // The verified copy was still held when it was started, from exactly its path, and the
    // switches this process was given went along in their forwarding order.
    const std::wstring expected = L"\"" + Copy() + L"\" /r /SILENT /CC_TOKEN \"abc def\"";
    EXPECT_TRUE(m_system->heldAtLaunch);
    EXPECT_EQ(m_system->launchedPath, Copy());
    EXPECT_EQ(m_system->launchedCommand, expected);
    EXPECT_EQ(Recorded(InstallFolder()), expected);
    // The log shows that command line with the customer token masked.
    EXPECT_TRUE(log.Contains(L"Attempting to relaunch VEK as \"" + Copy() + L"\" /r /SILENT /CC_TOKEN \"********\""))
        << vek::ToUtf8(log.All());
    EXPECT_FALSE(log.Contains(L"abc def"));
    EXPECT_FALSE(m_system->IsHolding());
    EXPECT_EQ(OpenForWriting(Copy()), 0u);

    // The Run value starts the copy quoted (its path has a blank), the shortcuts exist.
    EXPECT_EQ(RunValue(), L"\"" + Copy() + L"\" /m /SILENT /CC_TOKEN \"abc def\"");
    EXPECT_TRUE(Exists(Desktop(L"Launcher.lnk")));
    EXPECT_TRUE(Exists(Desktop(L"Files.lnk")));
    // The run location got its trailing backslash from the path expansion.
    EXPECT_EQ(m_document->Read([](const json& r) { return r.at("vek").at("bootstrap").at("run_location").get<std::string>(); }),
              vek::ToUtf8(m_runLocation + L"\\"));
}

// Answers that start nothing: each case is one manifest and command line.
TEST_F(BootstrapTest, AnswersWithoutRelaunch)
{
    struct Case {
        const char* name;
        json options;
        const wchar_t* switches;
        bool preplaced;     // the running launcher already is the copy (other letter case)
        bool customLocation;
        int32_t result;
        int32_t state;
        bool copied;
        bool shortcuts;
        bool runValue;
    } cases[] = {
        {"noui: no copy, no shortcuts, Run value kept", json::object(), L"/noui", false, false, 0, 1, false, false, true},
        {"honor_restart false: copied and verified", {{"honor_restart", false}}, L"", false, false, 0, 1, true, true, true},
        {"options off", {{"shouldCreateRunKey", false}, {"shouldCreateShortcuts", false}, {"honor_restart", false}},
         L"", false, false, 0, 1, true, false, false},
        {"already the copy", json::object(), L"", true, false, 0, 1, true, true, true},
        {"install as text FALSE", {{"install", "FALSE"}, {"shouldCreateRunKey", false}}, L"", false, false, 0, 1,
         false, true, false},
        {"ask location without one", {{"install", false}, {"ask_location", "True"}}, L"", false, false, 4, 7, false,
         false, false},
        {"ask location with one", {{"install", false}, {"ask_location", true}}, L"", false, true, 0, 1, false, true,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest(c.options);
        const std::wstring custom = m_root + L"\\chosen";
        if (c.customLocation)
            manifest["vek"]["bootstrap"]["custom_location"] = vek::ToUtf8(custom);
        std::wstring launcher = Launcher(L"level3");
        if (c.preplaced) {
            CreateDirectoryW(m_runLocation.c_str(), nullptr);
            CreateDirectoryW(InstallFolder().c_str(), nullptr);
            ASSERT_TRUE(CopyFileW(launcher.c_str(), Copy().c_str(), FALSE));
            launcher = InstallFolder() + L"\\VEKCOPY.EXE";
        }
        auto& engine = Engine(manifest, launcher, c.switches);
        int32_t result = -1;
        ASSERT_EQ(Run(engine, result), S_OK);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(engine.GetEngineState(), c.state);
        EXPECT_EQ(Exists(Copy()), c.copied);
        EXPECT_TRUE(m_system->launchedCommand.empty());
        EXPECT_EQ(m_system->verifications, c.copied && !c.preplaced ? 1 : 0);
        EXPECT_FALSE(m_system->IsHolding());
        EXPECT_EQ(Exists(Desktop(L"Files.lnk")), c.shortcuts);
        EXPECT_EQ(!RunValue().empty(), c.runValue);
        if (!c.copied && c.runValue) {
            EXPECT_EQ(RunValue().rfind(L"\"" + launcher + L"\" /m", 0), 0u) << "not installed: the running launcher";
        }
        if (c.customLocation) {
            EXPECT_EQ(m_document->Read([](const json& r) { return r.at("vek").at("bootstrap").at("run_location").get<std::string>(); }),
                      vek::ToUtf8(custom));
        }
    }
}

TEST_F(BootstrapTest, UnverifiableCopyIsDeletedAndTheRunFails)
{
    // Only a non-empty text names a fail-over page, as the job events read it too.
    struct Case {
        const wchar_t* signer;
        json failover; // null: none
        int32_t state;
    } cases[] = {
        {L"unsigned", nullptr, VekJobEngine::eFatalError},
        {L"tampered", "https://localhost/failover", VekJobEngine::eFailover},
        {L"untrusted", nullptr, VekJobEngine::eFatalError},
        {L"tampered", "", VekJobEngine::eFatalError},
        {L"tampered", 1, VekJobEngine::eFatalError},
        {L"tampered", json{{"url", "https://localhost/failover"}}, VekJobEngine::eFatalError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(vek::ToUtf8(c.signer) + " " + c.failover.dump());
        TearDown();
        SetUp();
        json manifest = Manifest();
        if (!c.failover.is_null())
            manifest["vek"]["global"]["failover"] = c.failover;
        auto& engine = Engine(manifest, Launcher(c.signer));
        int32_t result = 0;
        EXPECT_EQ(Run(engine, result), TRUST_E_SUBJECT_NOT_TRUSTED);
        EXPECT_EQ(engine.GetEngineState(), c.state);
        EXPECT_FALSE(Exists(Copy()));
        EXPECT_TRUE(m_system->launchedCommand.empty());
        EXPECT_TRUE(RunValue().empty());
    }
}

TEST_F(BootstrapTest, TrustSystemRepair)
{
    struct Case {
        const char* name;
        bool admin;
        bool uac;
        bool repairSucceeds;
        int failures; // verifications that report a broken trust system
        HRESULT code;
        int32_t result;
        int repairs;
    } cases[] = {
        {"not administrator: relaunch elevated", false, true, true, 1, S_OK, 3, 0},
        {"administrator: repaired, verified again", true, true, true, 1, S_OK, 1, 1},
        {"administrator: repair fails", true, true, false, 1, TRUST_E_SYSTEM_ERROR, -1, 1},
        {"administrator: still broken after repair", true, true, true, 2, vek::VEK_E_BOOTSTRAP_VERIFY, -1, 1},
        {"no UAC, not administrator", false, false, true, 1, TRUST_E_SYSTEM_ERROR, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        m_system->admin = c.admin;
        m_system->uac = c.uac;
        m_system->repairSucceeds = c.repairSucceeds;
        m_system->trustSystemFailures = c.failures;
        auto& engine = Engine(Manifest(), Launcher(L"level3"));
        int32_t result = -1;
        EXPECT_EQ(Run(engine, result), c.code);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(m_system->repairs, c.repairs);
        EXPECT_FALSE(m_system->IsHolding());
        // A copy that failed is deleted; one that waits for the elevated relaunch stays.
        EXPECT_EQ(Exists(Copy()), SUCCEEDED(c.code));
        if (c.result == 3) {
            EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eIdle);
        }
    }
}

TEST_F(BootstrapTest, RunLocationFallsBackToTheTemporaryFolder)
{
    struct Case {
        const char* name;
        std::wstring runLocation;
        const wchar_t* logged;
    } cases[] = {
        {"relative", L"relative\\folder", L"Relative Path found."},
        {"cannot be made", L"Q:\\no\\such\\drive", L"bfs::create_directories() failed to create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["run_location"] = vek::ToUtf8(c.runLocation);
        vek::test::LogCapture log;
        auto& engine = Engine(manifest, Launcher(L"level3"));
        int32_t result = -1;
        ASSERT_EQ(Run(engine, result), S_OK);
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(log.Contains(c.logged)) << vek::ToUtf8(log.All());
        EXPECT_TRUE(log.Contains(L"Downloading via Temp folder"));
        // Every folder moved with the run location: the copy lies in the temporary folder's
        // install folder and was started from there.
        const std::wstring copy = m_temp + m_manifestId + L"\\VekCopy.exe";
        EXPECT_EQ(m_system->launchedPath, copy);
        EXPECT_TRUE(Exists(copy));
        EXPECT_EQ(engine.GetInstalledBinaryPath(), copy);
        EXPECT_FALSE(Exists(c.runLocation));
    }
}

TEST_F(BootstrapTest, CopyFallsBackToTheTemporaryFolder)
{
    // A folder in the copy's place makes the copy fail.
    CreateDirectoryW(m_runLocation.c_str(), nullptr);
    CreateDirectoryW(InstallFolder().c_str(), nullptr);
    CreateDirectoryW(Copy().c_str(), nullptr);
    vek::test::LogCapture log;
    auto& engine = Engine(Manifest(), Launcher(L"level3"));
    int32_t result = -1;
    ASSERT_EQ(Run(engine, result), S_OK);
    EXPECT_EQ(result, 1);
    const std::wstring copy = m_temp + L"VekCopy.exe";
    EXPECT_TRUE(log.Contains(L"using temp path"));
    EXPECT_EQ(m_system->launchedPath, copy);
    EXPECT_EQ(Recorded(m_temp), L"\"" + copy + L"\" /r");
    EXPECT_EQ(RunValue(), L"\"" + copy + L"\" /m");
}

TEST_F(BootstrapTest, FailedRelaunchFailsTheRun)
{
    m_system->launchFailure = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    vek::test::LogCapture log;
    auto& engine = Engine(Manifest(), Launcher(L"level3"), L"/CC_TOKEN s3cr3t");
    int32_t result = -1;
    EXPECT_EQ(Run(engine, result), vek::VEK_E_RELAUNCH);
    EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eFatalError);
    EXPECT_TRUE(log.Contains(L"pl.Launch() failed ot launch"));
    EXPECT_TRUE(log.Contains(L"/CC_TOKEN \"********\""));
    EXPECT_FALSE(log.Contains(L"s3cr3t"));
    EXPECT_FALSE(m_system->IsHolding());
    EXPECT_EQ(OpenForWriting(Copy()), 0u);
}

TEST_F(BootstrapTest, ReadOnlyEarlierCopyIsReplaced)
{
    CreateDirectoryW(m_runLocation.c_str(), nullptr);
    CreateDirectoryW(InstallFolder().c_str(), nullptr);
    WriteFile(Copy(), "an earlier copy");
    ASSERT_TRUE(SetFileAttributesW(Copy().c_str(), FILE_ATTRIBUTE_READONLY));
    auto& engine = Engine(Manifest({{"honor_restart", false}}), Launcher(L"level3"));
    int32_t result = -1;
    ASSERT_EQ(Run(engine, result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_system->verifications, 1);
    EXPECT_FALSE(GetFileAttributesW(Copy().c_str()) & FILE_ATTRIBUTE_READONLY);
}

// A process started with "r" never copies. Started through the shell from the launcher the user
// ran (to gain rights), it verifies the copy the first process made, repairs the trust system
// where it may and starts the copy; the copy itself runs from where it is. The running launcher
// is unsigned where it is not the copy: a copy made from it would fail its verification.
TEST_F(BootstrapTest, RelaunchedProcessVerifiesRepairsAndStartsTheCopy)
{
    enum class Placed { DownloadFolder, TempFolder };
    struct Case {
        const char* name;
        Placed copy;      // where the first process put the copy
        bool runsAsCopy;  // this process is that copy
        bool admin;
        int failures;     // verifications that report a broken trust system
        HRESULT code;
        int32_t result;
        int verifications;
        int repairs;
        bool copyKept;
        bool earlierCopy = false; // an earlier copy lies in the download folder as well
    } cases[] = {
        {"original, elevated: verified and started", Placed::DownloadFolder, false, true, 0, S_OK, 1, 2, 0, true},
        {"original, trust system broken: repaired", Placed::DownloadFolder, false, true, 1, S_OK, 1, 3, 1, true},
        {"original without rights, trust system broken: no second elevation", Placed::DownloadFolder, false, false, 1,
         TRUST_E_SYSTEM_ERROR, -1, 1, 0, false},
        {"original, copy in the temporary folder: verified and started", Placed::TempFolder, false, true, 0, S_OK, 1,
         2, 0, true},
        {"the copy in the temporary folder runs from there", Placed::TempFolder, true, true, 0, S_OK, 0, 0, 0, true},
        {"the copy in the temporary folder runs from there, not an earlier copy", Placed::TempFolder, true, true, 0,
         S_OK, 0, 0, 0, true, true},
        {"the copy in the download folder runs from there", Placed::DownloadFolder, true, true, 0, S_OK, 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        m_system->admin = c.admin;
        m_system->trustSystemFailures = c.failures;
        const std::wstring copy = c.copy == Placed::DownloadFolder ? Copy() : m_temp + L"VekCopy.exe";
        const std::wstring copyFolder = c.copy == Placed::DownloadFolder ? InstallFolder() : m_temp;
        CreateDirectoryW(m_runLocation.c_str(), nullptr);
        CreateDirectoryW(InstallFolder().c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(Launcher(L"level3").c_str(), copy.c_str(), FALSE));
        if (c.earlierCopy) {
            ASSERT_TRUE(CopyFileW(Launcher(L"level3").c_str(), Copy().c_str(), FALSE));
        }
        const std::wstring running = c.runsAsCopy ? copy : Launcher(L"unsigned");

        vek::test::LogCapture log;
        auto& engine = Engine(Manifest(), running, L"/r /SILENT");
        int32_t result = -1;
        EXPECT_EQ(Run(engine, result), c.code) << vek::ToUtf8(log.All());
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(m_system->verifications, c.verifications);
        EXPECT_EQ(m_system->repairs, c.repairs);
        EXPECT_EQ(Exists(copy), c.copyKept);
        EXPECT_FALSE(m_system->IsHolding());
        EXPECT_FALSE(log.Contains(L"CopyFile() failed"));
        if (c.copy == Placed::TempFolder && !c.earlierCopy) {
            EXPECT_FALSE(Exists(Copy())) << "nothing copied into the download folder";
        }
        if (FAILED(c.code)) {
            EXPECT_TRUE(m_system->launchedCommand.empty());
            EXPECT_NE(engine.GetEngineState(), VekJobEngine::eBootstrapped);
            continue;
        }
        EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eBootstrapped);
        EXPECT_EQ(engine.GetInstalledBinaryPath(), copy);
        EXPECT_EQ(RunValue(), L"\"" + copy + L"\" /m /SILENT");
        if (c.result == VekJobEngine::eBootstrapRelaunched) {
            const std::wstring expected = L"\"" + copy + L"\" /r /SILENT";
            EXPECT_EQ(m_system->launchedPath, copy);
            EXPECT_EQ(m_system->launchedCommand, expected);
            EXPECT_EQ(Recorded(copyFolder), expected);
        } else {
            EXPECT_TRUE(m_system->launchedCommand.empty());
        }
    }
}

TEST_F(BootstrapTest, RebootLimitCleansUp)
{
    struct Case {
        const char* name;
        bool jobComplete;
        bool downloadsKept;
    } cases[] = {
        {"jobs incomplete: everything goes", false, false},
        {"all jobs complete: the downloads stay", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        CreateDirectoryW(m_runLocation.c_str(), nullptr);
        CreateDirectoryW(InstallFolder().c_str(), nullptr);
        if (c.jobComplete)
            WriteFile(InstallFolder() + L"\\payload.bin");
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (L"Software\\Vallor\\Vek\\" + m_manifestId).c_str(), 0, nullptr,
                                  0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const DWORD count = 5;
        RegSetValueExW(key, L"VDMCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
        RegCloseKey(key);

        auto& engine = Engine(Manifest(), Launcher(L"level3"), L"/m");
        int32_t result = -1;
        ASSERT_EQ(Run(engine, result), S_OK);
        EXPECT_EQ(result, VekJobEngine::eBootstrapCleanedUp);
        EXPECT_TRUE(engine.IsRebootLimitExceeded());
        EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eCleanedUp);
        EXPECT_EQ(Exists(InstallFolder()), c.downloadsKept);
        EXPECT_FALSE(Exists(Copy()));
        EXPECT_TRUE(m_system->launchedCommand.empty());
        HKEY left = nullptr;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, (L"Software\\Vallor\\Vek\\" + m_manifestId).c_str(), 0, KEY_READ,
                                &left),
                  ERROR_SUCCESS)
            << "the manifest key went with the count";
        if (left)
            RegCloseKey(left);
    }
}

TEST_F(BootstrapTest, FailuresBeforeTheCopy)
{
    struct Case {
        const char* name;
        bool emptyRunLocation;
        std::wstring destination;
        HRESULT code;
    } cases[] = {
        {"empty run location", true, L"payload.bin", vek::VEK_E_RUN_LOCATION},
        {"destination path too long", false, std::wstring(270, L'x'), vek::VEK_E_PATH_TOO_LONG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        if (c.emptyRunLocation)
            manifest["vek"]["bootstrap"]["run_location"] = "";
        manifest["vek"]["job_array"][0]["file_array"][0]["destination_file"] = vek::ToUtf8(c.destination);
        auto& engine = Engine(manifest, Launcher(L"level3"));
        int32_t result = -1;
        EXPECT_EQ(Run(engine, result), c.code);
        EXPECT_EQ(engine.GetEngineState(), VekJobEngine::eFatalError);
    }
}

TEST_F(BootstrapTest, FullRightsRefuseALinkedRunLocation)
{
    // "linked" is a link to "target", made by the test's set-up.
    const char* made = std::getenv("VEK_BOOTSTRAP_LINKED");
    const std::wstring linked = WindowsPath(made ? made : "") + L"\\linked";
    ASSERT_NE(GetFileAttributesW(linked.c_str()), INVALID_FILE_ATTRIBUTES);
    if (!(GetFileAttributesW(linked.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "this system shows no links";
    struct Case {
        const char* name;
        bool elevated;
        HRESULT code;
    } cases[] = {{"full rights: refused", true, vek::VEK_E_PATH_TOO_LONG}, {"limited rights: used", false, S_OK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        m_system->elevated = c.elevated;
        const std::wstring runLocation = linked + L"\\run-" + m_manifestId;
        json manifest = Manifest({{"honor_restart", false}});
        manifest["vek"]["bootstrap"]["run_location"] = vek::ToUtf8(runLocation);
        vek::test::LogCapture log;
        auto& engine = Engine(manifest, Launcher(L"level3"));
        int32_t result = -1;
        EXPECT_EQ(Run(engine, result), c.code);
        EXPECT_EQ(log.Contains(L"is or lies under a link, not using it"), c.elevated) << vek::ToUtf8(log.All());
        EXPECT_EQ(Exists(runLocation + L"\\" + m_manifestId + L"\\VekCopy.exe"), !c.elevated);
        RemoveTree(runLocation);
    }
}

} // namespace
