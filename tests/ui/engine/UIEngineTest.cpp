// The real UI engine over small test manifests: only its contacts with the outside world (the
// executable's manifest, message boxes, error reports, the task scheduler, sessions, the job
// engine's bootstrap and job start, the tray and main dialog) are replaced; the single-instance
// lock, the registry, the state file and the window messages are real.
#include "ui/engine/VekUIEngine.h"

#include "engine/VekLauncherStart.h"
#include "engine/VekProgram.h"
#include "engine/jobengine/VekJobEngine.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSingleInstance.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekDataReporter.h"
#include "engine/state/VekStateFile.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "services/trust/TrustTestSupport.h"
#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/tray/VekTray.h"
#include "ui/window/VekMessageLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using json = nlohmann::json;

using namespace vek; // result codes

namespace {

constexpr wchar_t kExePath[] = L"C:\\vek-test\\launcher.exe";

// A manifest the manifest view accepts: an install job with a token.
json TestManifest(const char* manifestId = "{UIENGINE-TEST}", const char* uiMode = "")
{
    json manifest = {{"vek",
                      {{"global", json::object()},
                       {"bootstrap",
                        {{"options", json::object()},
                         {"shortcuts",
                          json::array({{{"executable", {{"description", "old launch text"}}}},
                                       {{"folder", {{"description", "old folder text"}}}},
                                       {{"other", {{"description", "stays"}}}}})}}},
                       {"job_array",
                        json::array({{{"job_id", "install"},
                                      {"job_type", "install"},
                                      {"product_data", {{"run_key", "KAJ"}}},
                                      {"distribution", {{"cc_token", "token"}, {"ui_mode", uiMode}}}}})}}}};
    if (manifestId != nullptr) {
        manifest["vek"]["global"]["manifest_id"] = manifestId;
    }
    return manifest;
}

// Records what the engine reports; sends nothing.
class RecordingReporter : public vek::VekDataReporter {
public:
    RecordingReporter() : vek::VekDataReporter(nullptr) {}
    HRESULT logConsent(int) override { return S_OK; }
    HRESULT logInitializationStage(int errorCode, int eventCode) override
    {
        stages.push_back({errorCode, eventCode});
        return S_OK;
    }
    HRESULT logError(HRESULT code, bool send, json& record) override
    {
        errors.push_back({code, send, record.value("extra_data", json())});
        return S_OK;
    }
    HRESULT logJobError(HRESULT, bool, const json&, const wchar_t*, int, int) override { return S_OK; }
    HRESULT logEvent(int, const json&, bool) override { return S_OK; }
    void sendModuleFData(json&) override {}
    using vek::VekDataReporter::logError;

    struct Error {
        HRESULT code;
        bool send;
        json extra;
    };
    std::vector<std::pair<int, int>> stages;
    std::vector<Error> errors;
};

// A hidden top-level window whose queue the test reads: the engine posts to it as to the tray.
class QueueWindow {
public:
    QueueWindow()
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VekUIEngineTestQueue";
        ::RegisterClassW(&wc);
        m_hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                                   nullptr, nullptr, wc.hInstance, nullptr);
    }
    ~QueueWindow()
    {
        vek::DrainJobUpdateRecords(m_hwnd, WM_VEK_JOB_UPDATE);
        vek::DrainProgressRecords(m_hwnd, WM_VEK_JOB_PROGRESS);
        ::DestroyWindow(m_hwnd);
    }
    HWND hwnd() const { return m_hwnd; }

    // Every queued message of the window, in order.
    std::vector<MSG> Take()
    {
        std::vector<MSG> messages;
        MSG msg;
        while (::PeekMessageW(&msg, m_hwnd, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_VEK_JOB_UPDATE || msg.message == WM_VEK_JOB_PROGRESS || msg.message == WM_CLOSE) {
                messages.push_back(msg);
            }
        }
        return messages;
    }

private:
    HWND m_hwnd = nullptr;
};

// The product's tray window, given the destruction Windows gives a window whose WM_CREATE fails:
// Windows destroys it (WM_DESTROY, then WM_NCDESTROY), Wine sends only WM_NCDESTROY. Where the
// system sent no WM_DESTROY, it is delivered after the creation, as Windows would have.
class WindowsDestroyedTray : public vek::VekTray {
public:
    using vek::VekTray::VekTray;
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
    {
        if (uMsg == WM_DESTROY)
            destroyed = true;
        return vek::VekTray::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
    }
    HRESULT CreateAsWindows()
    {
        const HRESULT hr = Create();
        if (hwnd() == nullptr && !destroyed) {
            LRESULT ignored = 0;
            ProcessWindowMessage(nullptr, WM_DESTROY, 0, 0, ignored);
        }
        return hr;
    }
    bool destroyed = false;
};

class TestEngine : public vek::VekUIEngine {
public:
    // What the seams answer.
    json testManifest = TestManifest();
    HRESULT manifestResult = S_OK;
    std::vector<int32_t> bootstrapResults{0}; // one per bootstrap, the last one repeats
    std::optional<HRESULT> bootstrapThrowsJobEngine;
    bool bootstrapThrowsOther = false;
    bool runNow = false;
    DWORD sessionId = 1;
    bool interactive = true;
    bool trayFails = false;
    bool realTray = false;      // the product's tray window and main dialog instead of the queue
    bool trayWithoutDialog = false; // the product's tray window, whose main dialog cannot be made
    bool realPages = false;         // the product's main dialog for the pages of showUI
    bool realBootstrap = false; // the job engine's own bootstrap instead of the scripted results
    bool windows8 = true;
    int upgradePendingLooks = 0; // the upgrade marker is seen this many times
    vek::SystemFacts facts = SupportedAdmin();
    QueueWindow* queue = nullptr;

    // What the engine did.
    std::shared_ptr<RecordingReporter> reporter;
    std::vector<UINT> boxes;
    std::vector<UINT> boxTypes;
    std::vector<HRESULT> reports;
    std::vector<std::wstring> taskCalls;
    std::vector<json> bootstrapManifests;
    int jobStarts = 0;
    int upgradeLooks = 0;
    std::vector<DWORD> pauses;
    int trays = 0;
    std::vector<HRESULT> pages;
    std::unique_ptr<WindowsDestroyedTray> failedTray;

    static vek::SystemFacts SupportedAdmin()
    {
        vek::SystemFacts facts;
        facts.major = 10;
        facts.runningAsAdmin = true;
        facts.uacEnabled = true;
        return facts;
    }

    // Protected steps, reachable for the tests.
    using vek::VekUIEngine::handleScheduledRun;

protected:
    HRESULT loadManifestFromExecutable(const std::wstring&, vek::ManifestDocument& document) override
    {
        return FAILED(manifestResult) ? manifestResult : document.Adopt(testManifest);
    }
    std::shared_ptr<vek::VekDataReporter> createDataReporter(vek::ManifestDocument&) override
    {
        reporter = std::make_shared<RecordingReporter>();
        return reporter;
    }
    int messageBox(UINT stringId, UINT type) override
    {
        boxes.push_back(stringId);
        boxTypes.push_back(type);
        return IDOK;
    }
    void reportError(HRESULT code) override { reports.push_back(code); }
    bool deletePostponedTask() override
    {
        taskCalls.push_back(L"delete");
        return true;
    }
    bool registerPostponedTask(const std::wstring&, const std::wstring&, int kind, bool& now) override
    {
        taskCalls.push_back(L"register " + std::to_wstring(kind));
        now = runNow;
        return true;
    }
    DWORD activeSessionId() override { return sessionId; }
    bool inInteractiveSession() override { return interactive; }
    bool upgradeConfirmationPending(const vek::ManifestDocument&) override
    {
        ++upgradeLooks;
        return upgradeLooks <= upgradePendingLooks;
    }
    int installedEndpointVersion(const wchar_t*, const wchar_t*) override { return 0; }
    vek::SystemFacts systemFacts() override { return facts; }
    int32_t runBootstrap(vek::VekJobEngine& engine) override
    {
        bootstrapManifests.push_back(engine.GetManifest()->Snapshot());
        if (realBootstrap) {
            return vek::VekUIEngine::runBootstrap(engine);
        }
        if (bootstrapThrowsJobEngine) {
            throw vek::JobEngineException(*bootstrapThrowsJobEngine);
        }
        if (bootstrapThrowsOther) {
            throw std::runtime_error("bootstrap broke");
        }
        const size_t index = std::min(bootstrapManifests.size(), bootstrapResults.size()) - 1;
        return bootstrapResults[index];
    }
    void startJobs(vek::VekJobEngine&) override { ++jobStarts; }
    HRESULT createTray(HWND& window) override
    {
        ++trays;
        if (realTray) {
            return vek::VekUIEngine::createTray(window);
        }
        if (trayWithoutDialog) {
            // No dialog factory: the tray's WM_CREATE fails.
            vek::VekTrayOptions options;
            options.commandLine.emplace();
            failedTray = std::make_unique<WindowsDestroyedTray>(reporter, nullptr, std::move(options));
            const HRESULT hr = failedTray->CreateAsWindows();
            window = failedTray->hwnd();
            return hr;
        }
        window = (trayFails || queue == nullptr) ? nullptr : queue->hwnd();
        return trayFails ? E_FAIL : S_OK;
    }
    HRESULT createBaseUI(HRESULT page) override
    {
        if (realPages) {
            pages.push_back(page);
            return vek::VekUIEngine::createBaseUI(page);
        }
        pages.push_back(page);
        return S_OK;
    }
    void instanceWaitPause(DWORD milliseconds) override { pauses.push_back(milliseconds); }
    bool isWindows8OrLater() override { return windows8; }
};

class UIEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = std::filesystem::temp_directory_path() / (std::string("vek_uiengine_") + info->name());
        std::filesystem::remove_all(m_folder);
        std::filesystem::create_directories(m_folder);
        g_ExitCode = 0;
    }
    void TearDown() override
    {
        vek::g_SingleInstance.Release();
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    // An engine pointed at this test's folder, with that command line and the queue as tray.
    std::unique_ptr<TestEngine> MakeEngine(const std::wstring& commandLine = L"")
    {
        auto engine = std::make_unique<TestEngine>();
        engine->setCommandLine(L"launcher.exe " + commandLine);
        engine->setDataFolder(m_folder.wstring());
        engine->queue = &m_queue;
        return engine;
    }

    std::filesystem::path m_folder;
    QueueWindow m_queue;
};

// ---- the start sequence -------------------------------------------------------------------------

struct StartCase {
    const char* name;
    const wchar_t* commandLine;
    int32_t bootstrap;
    HRESULT expected;
    bool tray;        // initialize ran
    bool jobsStarted; // the job engine's jobs were started
    bool restart;
    bool restartElevated;
    size_t launchPings;
};

TEST_F(UIEngineTest, StartActsOnTheBootstrapResultAndSwitches)
{
    const StartCase cases[] = {
        {"continue", L"", 0, S_OK, true, true, false, false, 1},
        {"continue with the fail-over page", L"/SHOWFAILOVER", 0, S_OK, true, false, false, false, 1},
        {"continue with the one-click page", L"/SHOWONECLICK", 0, S_OK, true, false, false, false, 1},
        {"custom location required", L"", 4, S_OK, true, false, false, false, 1},
        {"cleaned up", L"", 2, VEK_E_CLEANUP, false, false, false, false, 1},
        {"relaunched", L"", 1, S_OK, false, false, true, false, 1},
        {"needs elevation", L"", 3, S_OK, false, false, false, true, 1},
        {"unknown result", L"", 9, S_OK, false, false, false, false, 1},
        {"relaunched copy sends no launch ping", L"/r", 0, S_OK, true, true, false, false, 0},
        {"minimized copy sends no launch ping", L"/m", 0, S_OK, true, true, false, false, 0},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = MakeEngine(c.commandLine);
        engine->bootstrapResults = {c.bootstrap};
        EXPECT_EQ(engine->Start(kExePath, nullptr), c.expected);
        EXPECT_EQ(engine->trays, c.tray ? 1 : 0);
        EXPECT_EQ(engine->jobStarts, c.jobsStarted ? 1 : 0);
        EXPECT_EQ(engine->restartRequested(), c.restart);
        EXPECT_EQ(engine->restartElevatedRequested(), c.restartElevated);
        ASSERT_TRUE(engine->reporter);
        EXPECT_EQ(engine->reporter->stages.size(), c.launchPings);
        if (c.launchPings == 1) {
            EXPECT_EQ(engine->reporter->stages[0], std::make_pair(0, 256));
        }
        EXPECT_TRUE(engine->jobEngine());
        EXPECT_FALSE(engine->isScheduledForLater());
        vek::g_SingleInstance.Release();
    }
}

TEST_F(UIEngineTest, JobEngineBootstrapAskingForALocationShowsTheWindowsWithoutJobs)
{
    auto engine = MakeEngine();
    engine->realBootstrap = true;
    engine->testManifest["vek"]["bootstrap"]["options"] = {{"ask_location", "true"}, {"install", "false"}};
    EXPECT_EQ(engine->Start(kExePath, nullptr), S_OK);
    ASSERT_TRUE(engine->jobEngine());
    EXPECT_EQ(engine->jobEngine()->GetEngineState(), vek::VekJobEngine::eCustomLocationRequired);
    EXPECT_EQ(engine->trays, 1);
    EXPECT_EQ(engine->jobStarts, 0);
}

TEST_F(UIEngineTest, StateSavedAtEventElevenIsRestoredByTheNextStart)
{
    const auto configure = [this](TestEngine& engine) {
        engine.realBootstrap = true;
        engine.testManifest["vek"]["bootstrap"]["options"] = {{"ask_location", "true"}, {"install", "false"}};
    };
    {
        auto first = MakeEngine();
        configure(*first);
        ASSERT_EQ(first->Start(kExePath, nullptr), S_OK);
        first->manifest()->ModifyJob(0, [](json* job) { (*job)["HttpPausedDownload"] = "bytes=1024-"; });
        first->manifest()->Modify([](json& root) { root["vek"]["restart"] = true; });
        first->OnJobEvent(11, first->manifest()->Snapshot());
        m_queue.Take();
    }
    vek::g_SingleInstance.Release();

    auto second = MakeEngine();
    configure(*second);
    ASSERT_EQ(second->Start(kExePath, nullptr), S_OK);
    json restored = second->manifest()->Snapshot();
    EXPECT_EQ(restored["vek"]["job_array"][0].value("HttpPausedDownload", json()), json("bytes=1024-"));
    EXPECT_EQ(restored["vek"].value("restart", json()), json(true));
}

TEST_F(UIEngineTest, ManifestWithoutIdEndsTheStartWithoutAJobEngine)
{
    auto engine = MakeEngine();
    engine->testManifest = TestManifest(nullptr);
    EXPECT_EQ(engine->Start(kExePath, nullptr), E_FAIL);
    EXPECT_FALSE(engine->jobEngine());
    ASSERT_TRUE(engine->reporter);
    EXPECT_EQ(engine->reporter->stages.size(), 1u); // the launch ping went out first

    auto numeric = MakeEngine();
    numeric->testManifest = TestManifest();
    numeric->testManifest["vek"]["global"]["manifest_id"] = 42;
    EXPECT_EQ(numeric->Start(kExePath, nullptr), E_FAIL);
    EXPECT_FALSE(numeric->jobEngine());
}

TEST_F(UIEngineTest, StartFailuresBeforeTheJobEngine)
{
    auto unloadable = MakeEngine();
    unloadable->manifestResult = VEK_E_JSON_NOT_PARSED;
    EXPECT_EQ(unloadable->Start(kExePath, nullptr), VEK_E_JSON_NOT_PARSED);
    EXPECT_FALSE(unloadable->jobEngine());

    EXPECT_EQ(MakeEngine()->Start(nullptr, nullptr), E_INVALIDARG);

    // Rights missing: string 155, and no message box in silent mode.
    auto notAdmin = MakeEngine();
    notAdmin->facts.runningAsAdmin = false;
    notAdmin->facts.uacEnabled = false;
    EXPECT_EQ(notAdmin->Start(kExePath, nullptr), VEK_E_NOT_ADMIN);
    EXPECT_EQ(notAdmin->boxes, std::vector<UINT>{155});
    auto silentNotAdmin = MakeEngine(L"/SILENT");
    silentNotAdmin->facts = notAdmin->facts;
    EXPECT_EQ(silentNotAdmin->Start(kExePath, nullptr), VEK_E_NOT_ADMIN);
    EXPECT_TRUE(silentNotAdmin->boxes.empty());

    // A tray window that cannot be made fails the start, and is recorded once.
    auto noTray = MakeEngine();
    noTray->trayFails = true;
    EXPECT_EQ(noTray->Start(kExePath, nullptr), VEK_E_TRAY_WINDOW);
    EXPECT_EQ(noTray->jobStarts, 0);
    ASSERT_EQ(noTray->reporter->errors.size(), 1u);
    EXPECT_EQ(noTray->reporter->errors[0].code, VEK_E_TRAY_WINDOW);
    EXPECT_FALSE(noTray->reporter->errors[0].send);
}

TEST_F(UIEngineTest, AnotherInstanceHoldingTheLockIsCountedAndReported)
{
    vek::VekSingleInstance other;
    ASSERT_TRUE(other.CreateInFolder(m_folder.c_str(), L"{UIENGINE-BUSY}", 1));

    // The wait lasts 10 one-second pauses, or 60 for a silent run or a relaunched copy; each
    // run that gave up is reported.
    struct WaitCase {
        const wchar_t* commandLine;
        size_t pauses;
    } cases[] = {{L"", 11}, {L"/SILENT", 61}, {L"/r", 61}};
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.commandLine)));
        auto engine = MakeEngine(c.commandLine);
        engine->testManifest = TestManifest("{UIENGINE-BUSY}");
        EXPECT_EQ(engine->Start(kExePath, nullptr), VEK_E_ANOTHER_INSTANCE);
        EXPECT_EQ(engine->pauses.size(), c.pauses);
        ASSERT_FALSE(engine->reporter->errors.empty());
        EXPECT_EQ(engine->reporter->errors.back().code, VEK_E_ANOTHER_INSTANCE);
        EXPECT_EQ(engine->reporter->errors.back().extra, json("0"));
        EXPECT_FALSE(engine->jobEngine());
    }
    other.Release();

    // Once the other holder is gone the lock is taken.
    auto engine = MakeEngine();
    engine->testManifest = TestManifest("{UIENGINE-BUSY}");
    EXPECT_EQ(engine->Start(kExePath, nullptr), S_OK);
}

TEST_F(UIEngineTest, RunningUpgradeIsAwaitedForALimitedTime)
{
    // The marker goes away after three looks: the start goes on and takes the lock once more.
    auto engine = MakeEngine();
    engine->upgradePendingLooks = 3;
    EXPECT_EQ(engine->Start(kExePath, nullptr), S_OK);
    EXPECT_EQ(engine->pauses.size(), 2u);
    EXPECT_EQ(engine->trays, 1);
    vek::g_SingleInstance.Release();

    // A marker that never goes away ends the start once the wait runs out, before any window.
    auto stuck = MakeEngine();
    stuck->upgradePendingLooks = 1 << 30;
    EXPECT_EQ(stuck->Start(kExePath, nullptr), VEK_E_ANOTHER_INSTANCE);
    EXPECT_EQ(stuck->pauses.size(), vek::VekUIEngine::kUpgradeKeyWaitMs / vek::VekUIEngine::kUpgradeKeyPollMs);
    EXPECT_EQ(stuck->trays, 0);

    // A scheduled run does not wait.
    auto scheduled = MakeEngine(L"/SCHEDULE_TO 1");
    scheduled->upgradePendingLooks = 1 << 30;
    EXPECT_EQ(scheduled->Start(kExePath, nullptr), S_OK);
    EXPECT_EQ(scheduled->upgradeLooks, 0);
}

// ---- scheduling, user session, silent mode -----------------------------------------------------

struct ScheduleCase {
    const char* name;
    const wchar_t* commandLine;
    int32_t bootstrap;
    bool runNow;
    HRESULT expected;
    bool later;
    std::vector<std::wstring> taskCalls;
    int localBootstraps; // bootstraps run by the scheduling step itself
    bool baseStarted;    // the engine base's start ran (a second bootstrap, the tray)
    bool restart;
};

TEST_F(UIEngineTest, SchedulingSwitchesPostponeOrStartTheRun)
{
    const ScheduleCase cases[] = {
        {"disable schedule", L"/DISABLE_SCHEDULE", 0, false, S_OK, true, {L"delete"}, 1, false, false},
        {"business hours", L"/SCHEDULE_TO 1", 0, false, S_OK, true, {L"register 0"}, 1, false, false},
        {"outside business hours", L"/SCHEDULE_TO 2", 0, false, S_OK, true, {L"register 1"}, 1, false, false},
        {"weekend, now fits", L"/SCHEDULE_TO 3", 0, true, S_OK, false, {L"register 2"}, 1, true, false},
        {"leading digits", L"/SCHEDULE_TO 2x", 0, false, S_OK, true, {L"register 1"}, 1, false, false},
        {"unknown schedule", L"/SCHEDULE_TO 7", 0, false, S_OK, true, {}, 1, false, false},
        {"no digits", L"/SCHEDULE_TO soon", 0, false, S_OK, true, {}, 1, false, false},
        {"upgrade not automatic", L"/SCHEDULE_TO 1 /DISABLE_AUTOMATIC_UPGRADE", 0, false, S_OK, false, {}, 0, true,
         false},
        {"bootstrap relaunched", L"/SCHEDULE_TO 1", 1, false, S_OK, false, {}, 1, false, true},
        {"bootstrap cleaned up", L"/SCHEDULE_TO 1", 2, false, VEK_E_CLEANUP, false, {}, 1, false, false},
        {"bootstrap cleaned up, schedule off", L"/DISABLE_SCHEDULE", 2, false, VEK_E_CLEANUP, false, {}, 1, false,
         false},
    };
    for (const ScheduleCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = MakeEngine(c.commandLine);
        engine->bootstrapResults = {c.bootstrap};
        engine->runNow = c.runNow;
        EXPECT_EQ(engine->Start(kExePath, nullptr), c.expected);
        EXPECT_EQ(engine->isScheduledForLater(), c.later);
        EXPECT_EQ(engine->taskCalls, c.taskCalls);
        EXPECT_EQ(engine->bootstrapManifests.size(), static_cast<size_t>(c.localBootstraps + (c.baseStarted ? 1 : 0)));
        EXPECT_EQ(engine->trays, c.baseStarted ? 1 : 0);
        EXPECT_EQ(engine->restartRequested(), c.restart);
        if (c.localBootstraps == 1) {
            // The scheduling bootstrap prepares no run task, shortcuts or location question.
            const json& options = engine->bootstrapManifests[0]["vek"]["bootstrap"]["options"];
            EXPECT_EQ(options.value("shouldCreateRunTask", true), false);
            EXPECT_EQ(options.value("shouldCreateShortcuts", true), false);
            EXPECT_EQ(options.value("ask_location", true), false);
            EXPECT_FALSE(options.contains("honor_restart"));
        }
        vek::g_SingleInstance.Release();
    }
}

TEST_F(UIEngineTest, SchedulingBootstrapExceptionsEndTheStart)
{
    auto jobEngineFailure = MakeEngine(L"/SCHEDULE_TO 1");
    jobEngineFailure->bootstrapThrowsJobEngine = VEK_E_STATE_FILE;
    EXPECT_EQ(jobEngineFailure->Start(kExePath, nullptr), VEK_E_STATE_FILE);
    EXPECT_FALSE(jobEngineFailure->isScheduledForLater());

    auto otherFailure = MakeEngine(L"/DISABLE_SCHEDULE");
    otherFailure->bootstrapThrowsOther = true;
    EXPECT_EQ(otherFailure->Start(kExePath, nullptr), E_FAIL);
    EXPECT_TRUE(otherFailure->taskCalls.empty());
}

// The restart in the user's session starts the launcher copy that the bootstrap just made in the
// download folder, not the file this process was started from. The launcher is the signed
// recorder program, so that the copy passes its verification.
TEST_F(UIEngineTest, UserSessionRestartStartsTheLauncherCopy)
{
    trust_test::ScopedSignerNames names;
    const char* build = std::getenv("VEK_BUILD_DIR");
    std::wstring launcher = vek::FromUtf8(std::string("Z:") + (build ? build : "") +
                                          "/signing/bootstrap/level3/session_recorder.exe");
    std::replace(launcher.begin(), launcher.end(), L'/', L'\\');
    ASSERT_NE(::GetFileAttributesW(launcher.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::filesystem::path run =
        std::filesystem::temp_directory_path() / (L"vek-uiengine-restart-" + std::to_wstring(::GetCurrentProcessId()));
    std::filesystem::create_directories(run);

    auto service = MakeEngine();
    service->interactive = false;
    service->realBootstrap = true;
    service->testManifest["vek"]["bootstrap"]["run_location"] = vek::ToUtf8(run.wstring());
    service->testManifest["vek"]["bootstrap"]["installed_vek"] = "VekCopy.exe";
    EXPECT_EQ(service->Start(launcher.c_str(), nullptr), S_OK);
    EXPECT_TRUE(service->needsRestartInUserSession());
    std::wstring restartPath;
    EXPECT_TRUE(service->getRestartCommandLine(restartPath));
    // The copy lies in the install folder (named after the manifest and the package's platform)
    // under the run location.
    const std::filesystem::path copy(restartPath);
    EXPECT_EQ(copy.filename().wstring(), L"VekCopy.exe");
    EXPECT_EQ(copy.parent_path().parent_path().wstring(), run.wstring());
    EXPECT_EQ(copy.parent_path().filename().wstring().rfind(L"{UIENGINE-TEST}", 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(copy));
    std::error_code ignored;
    std::filesystem::remove_all(run, ignored);
}

TEST_F(UIEngineTest, UserSessionRestartAndSilentMode)
{
    // Outside the interactive session while a user is logged on: bootstrap without the restart
    // honoured and hand over to a copy in the user's session.
    auto service = MakeEngine();
    service->interactive = false;
    EXPECT_EQ(service->Start(kExePath, nullptr), S_OK);
    EXPECT_TRUE(service->needsRestartInUserSession());
    EXPECT_TRUE(service->isSilent());
    ASSERT_EQ(service->bootstrapManifests.size(), 1u);
    EXPECT_EQ(service->bootstrapManifests[0]["vek"]["bootstrap"]["options"].value("honor_restart", true), false);
    EXPECT_EQ(service->trays, 0);
    EXPECT_FALSE(service->jobEngine());
    std::wstring restartPath;
    EXPECT_TRUE(service->getRestartCommandLine(restartPath));
    EXPECT_EQ(restartPath, kExePath);

    struct SessionCase {
        const char* name;
        const wchar_t* commandLine;
        DWORD session;
        bool interactive;
        const char* uiMode;
        bool restartInSession;
        bool silent;
    } cases[] = {
        {"interactive, manifest silent", L"", 1, true, "SILENT", false, true},
        {"interactive, manifest unattended", L"", 1, true, "UNATTENDED", false, false},
        {"unattended switch beats the manifest", L"/UNATTENDED", 1, true, "SILENT", false, false},
        {"silent switch", L"/SILENT /UNATTENDED", 1, true, "", false, true},
        {"no user logged on", L"", static_cast<DWORD>(-1), false, "", false, true},
        {"session ignored", L"/IGNORE_USER_SESSION", 1, false, "", false, true},
    };
    for (const SessionCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = MakeEngine(c.commandLine);
        engine->sessionId = c.session;
        engine->interactive = c.interactive;
        engine->testManifest = TestManifest("{UIENGINE-TEST}", c.uiMode);
        EXPECT_EQ(engine->Start(kExePath, nullptr), S_OK);
        EXPECT_EQ(engine->needsRestartInUserSession(), c.restartInSession);
        EXPECT_EQ(engine->isSilent(), c.silent);
        EXPECT_EQ(engine->trays, 1);
        vek::g_SingleInstance.Release();
    }
}

TEST_F(UIEngineTest, LoadedManifestIsPreparedForThisSystem)
{
    for (bool windows8 : {true, false}) {
        SCOPED_TRACE(windows8 ? "Windows 8 or later" : "before Windows 8");
        auto engine = MakeEngine();
        engine->windows8 = windows8;
        vek::ManifestDocument document;
        ASSERT_EQ(engine->loadManifest(document), S_OK);
        json root = document.Snapshot();
        EXPECT_EQ(root["vek"]["global"].contains("STARTMENU_SHORTCUT_HIDE"), windows8);
        if (windows8) {
            EXPECT_EQ(root["vek"]["global"]["STARTMENU_SHORTCUT_HIDE"], 1);
        }
        const json& shortcuts = root["vek"]["bootstrap"]["shortcuts"];
        EXPECT_NE(shortcuts[0]["executable"]["description"], "old launch text");
        EXPECT_NE(shortcuts[1]["folder"]["description"], "old folder text");
        EXPECT_EQ(shortcuts[2]["other"]["description"], "stays");
    }
    auto noJob = MakeEngine();
    noJob->testManifest["vek"].erase("job_array");
    vek::ManifestDocument document;
    EXPECT_EQ(noJob->loadManifest(document), VEK_E_JSON_NOT_PARSED);
}

// ---- job events and progress reach the tray window ------------------------------------------

TEST_F(UIEngineTest, ProgressIsThinnedToWholePercentStepsOnceThrottled)
{
    struct Call {
        uint64_t total;
        uint64_t done;
    };
    struct ProgressCase {
        const char* name;
        bool throttled;
        std::vector<Call> calls;
        std::vector<uint64_t> posted; // done values that reach the window
        uint64_t lastPosted;
    } cases[] = {
        {"below one percent is dropped", true, {{1000, 5}, {1000, 9}, {1000, 12}, {1000, 20}}, {12}, 12},
        {"going back is posted", true, {{1000, 500}, {1000, 400}, {1000, 401}}, {500, 400}, 400},
        {"the end is always posted", true, {{1000, 995}, {1000, 1000}, {1000, 1000}}, {995, 1000, 1000}, 1000},
        {"unknown total is never dropped", true, {{0, 1}, {0, 2}}, {1, 2}, 0},
        {"not throttled posts every call", false, {{1000, 1}, {1000, 2}, {1000, 3}}, {1, 2, 3}, 0},
    };
    for (const ProgressCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = MakeEngine();
        ASSERT_EQ(engine->initialize(), S_OK);
        if (c.throttled) {
            engine->OnJobEvent(23, json::object());
            m_queue.Take();
        }
        for (const Call& call : c.calls) {
            engine->OnJobProgress(call.total, call.done);
        }
        std::vector<uint64_t> posted;
        for (const MSG& msg : m_queue.Take()) {
            ASSERT_EQ(msg.message, static_cast<UINT>(WM_VEK_JOB_PROGRESS));
            auto record = vek::TakeProgressRecord(msg.wParam);
            ASSERT_TRUE(record);
            posted.push_back(record->done);
        }
        EXPECT_EQ(posted, c.posted);
        EXPECT_EQ(engine->lastPostedProgress(), c.lastPosted);
    }
}

TEST_F(UIEngineTest, FailureEventsReportOneErrorPerRun)
{
    const json downloadFailed = {{"job_error_code", static_cast<uint32_t>(VEK_E_DOWNLOAD_FAILED)},
                                 {"last_download_error", 0x80072EE7u}};
    struct EventCase {
        const char* name;
        int32_t event;
        json job;
        HRESULT reported;
    } cases[] = {
        {"fail-over after a download failure", 12, downloadFailed, static_cast<HRESULT>(0x80072EE7)},
        {"fail-over with a job error", 12, {{"job_error_code", 0x80047E30u}}, static_cast<HRESULT>(0x80047E30)},
        {"fail-over without codes", 12, json::object(), E_UNEXPECTED},
        {"fatal error prefers the job error", -1, {{"job_error_code", 5}, {"last_plugin_error", 6}}, 5},
        {"fatal error with a plug-in error", -1, {{"last_plugin_error", 6}}, 6},
        {"fatal error without codes", -1, json::object(), E_UNEXPECTED},
        {"plug-in failure", -3, {{"last_plugin_error", 7}, {"job_error_code", 8}}, 7},
        {"plug-in failure without codes", -3, json::object(), E_FAIL},
        {"install error, retry download", -4, {{"last_plugin_error", 9}}, 9},
        {"install error without codes", -4, json::object(), E_UNEXPECTED},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = MakeEngine();
        EXPECT_EQ(engine->OnJobEvent(c.event, c.job), S_OK);
        EXPECT_EQ(engine->OnJobEvent(-1, {{"job_error_code", 1}}), S_OK); // a later failure is not reported
        EXPECT_EQ(engine->reports, std::vector<HRESULT>{c.reported});
        EXPECT_TRUE(engine->errorReported());
    }
    auto quiet = MakeEngine();
    for (int32_t event : {0, 1, 2, 4, 10, 23, 99}) {
        quiet->OnJobEvent(event, downloadFailed);
    }
    EXPECT_TRUE(quiet->reports.empty());
}

TEST_F(UIEngineTest, JobEventsReachTheTrayWindowAsCopies)
{
    auto engine = MakeEngine();
    ASSERT_EQ(engine->initialize(), S_OK);
    json job = {{"job_id", "install"}, {"job_state", 2}};
    engine->OnJobEvent(2, job);
    job["job_state"] = 3; // the worker keeps writing its node after the post
    engine->OnJobEvent(4, job);

    std::vector<std::pair<int32_t, json>> received;
    for (const MSG& msg : m_queue.Take()) {
        ASSERT_EQ(msg.message, static_cast<UINT>(WM_VEK_JOB_UPDATE));
        auto record = vek::TakeJobUpdateRecord(msg.wParam);
        ASSERT_TRUE(record);
        EXPECT_EQ(static_cast<int32_t>(msg.lParam), record->event);
        received.emplace_back(record->event, record->job);
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].first, 2);
    EXPECT_EQ(received[0].second["job_state"], 2);
    EXPECT_EQ(received[1].first, 4);
    EXPECT_EQ(received[1].second["job_state"], 3);

    // Without a tray window nothing is posted and nothing fails.
    auto noTray = MakeEngine();
    EXPECT_EQ(noTray->OnJobEvent(2, job), S_OK);
    noTray->OnJobProgress(10, 5);
    EXPECT_TRUE(m_queue.Take().empty());
}

TEST_F(UIEngineTest, SaveEventWritesTheStateFileAndClosesTheTrayForARelaunch)
{
    auto engine = MakeEngine();
    ASSERT_EQ(engine->Start(kExePath, nullptr), S_OK);
    m_queue.Take();
    engine->manifest()->ModifyJob(0, [](json* job) { (*job)["job_state"] = 3; });

    engine->OnJobEvent(11, engine->manifest()->Snapshot());
    std::vector<UINT> messages;
    for (const MSG& msg : m_queue.Take()) {
        messages.push_back(msg.message);
        vek::TakeJobUpdateRecord(msg.message == WM_VEK_JOB_UPDATE ? msg.wParam : 0);
    }
    EXPECT_EQ(messages, std::vector<UINT>{WM_VEK_JOB_UPDATE});

    vek::VekStateFile file(m_folder.wstring(), nullptr);
    json saved;
    ASSERT_EQ(file.Load(engine->manifest()->Snapshot(), saved), S_OK);
    EXPECT_EQ(saved["vek"]["job_array"][0]["job_state"], 3);

    // A job asked for a restart as administrator: the next save also closes the tray window.
    engine->OnJobEvent(20, json::object());
    EXPECT_TRUE(engine->restartRequested());
    engine->OnJobEvent(11, engine->manifest()->Snapshot());
    messages.clear();
    for (const MSG& msg : m_queue.Take()) {
        messages.push_back(msg.message);
        vek::TakeJobUpdateRecord(msg.message == WM_VEK_JOB_UPDATE ? msg.wParam : 0);
    }
    EXPECT_EQ(messages, (std::vector<UINT>{WM_VEK_JOB_UPDATE, WM_CLOSE, WM_VEK_JOB_UPDATE}));
}

TEST_F(UIEngineTest, ProductTrayClosesForARelaunchWithoutCleaningUp)
{
    auto engine = MakeEngine();
    engine->realTray = true;
    ASSERT_EQ(engine->Start(kExePath, nullptr), S_OK);
    HWND tray = engine->trayWindow();
    ASSERT_NE(tray, nullptr);
    wchar_t className[32] = {};
    ::GetClassNameW(tray, className, 32);
    EXPECT_STREQ(className, L"VEK_Tray");

    engine->OnJobEvent(2, engine->manifest()->Snapshot()["vek"]["job_array"][0]);
    engine->OnJobEvent(20, json::object());
    engine->OnJobEvent(11, engine->manifest()->Snapshot());
    const std::filesystem::path stateFile =
        std::wstring(vek::VekStateFile(m_folder.wstring(), nullptr).Path(engine->manifest()->Snapshot())).substr(4);
    ASSERT_TRUE(std::filesystem::exists(stateFile));

    // The message loop ends (the tray window goes and quits it); the state stays for the copy.
    MSG msg;
    bool quit = false;
    for (int turn = 0; turn < 200 && !quit; ++turn) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                break;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    EXPECT_TRUE(quit);
    EXPECT_FALSE(::IsWindow(tray));
    EXPECT_TRUE(std::filesystem::exists(stateFile));
    EXPECT_TRUE(engine->restartRequested());
}

// ---- the launcher's entry ------------------------------------------------------------------------

// The main dialog of this thread: a shown top-level dialog window with the product line.
BOOL CALLBACK FindMainDialog(HWND window, LPARAM found)
{
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, 16);
    if (std::wstring(className) == L"#32770" && ::GetDlgItem(window, 3320) != nullptr) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// What the user saw while the message loop ran, read by a timer of the loop's thread: a timer
// message comes only when no posted message, no quit and no paint is waiting, so when it fires
// the window has been shown and painted.
struct PageWatch {
    bool timerFired = false;
    bool shown = false;
    bool painted = false;
};
PageWatch* g_pageWatch = nullptr;

void CALLBACK WatchPage(HWND, UINT, UINT_PTR timer, DWORD)
{
    ::KillTimer(nullptr, timer);
    if (g_pageWatch == nullptr)
        return;
    HWND dialog = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), FindMainDialog, reinterpret_cast<LPARAM>(&dialog));
    g_pageWatch->timerFired = true;
    g_pageWatch->shown = dialog != nullptr && ::IsWindowVisible(dialog);
    g_pageWatch->painted = dialog != nullptr && !::GetUpdateRect(dialog, nullptr, FALSE);
    // The user closes the page: the dialog has no owner and ends the loop itself.
    if (dialog != nullptr)
        ::PostMessageW(dialog, WM_CLOSE, 0, 0);
    else
        ::PostQuitMessage(0);
}

// Through the launcher's entry: the tray window cannot be made (its main dialog fails), so the
// start fails with VEK_E_TRAY_WINDOW and the entry shows the main dialog for that result and runs
// the message loop. The dialog shows and paints, and the loop runs until the user closes it: the
// tray window that never came to be ends no message loop.
TEST_F(UIEngineTest, FailedTrayWindowLeavesThePageUpUntilTheUserClosesIt)
{
    auto engine = MakeEngine();
    engine->trayWithoutDialog = true;
    engine->realPages = true;
    vek::VekMessageLoop loop;
    vek::VekMessageLoop::SetCurrent(&loop);
    vek::VekTraceRegistration tracing;
    PageWatch watch;
    g_pageWatch = &watch;
    UINT_PTR timer = 0;
    const auto runLoop = [&loop, &timer] {
        timer = ::SetTimer(nullptr, 0, 1, WatchPage);
        ASSERT_NE(timer, 0u);
        loop.Run();
    };
    const HRESULT hr =
        vek::StartAndReact(::GetModuleHandleW(nullptr), L"", tracing, *engine, kExePath, S_OK, runLoop);
    ::KillTimer(nullptr, timer);
    vek::VekMessageLoop::SetCurrent(nullptr);
    g_pageWatch = nullptr;

    EXPECT_EQ(hr, VEK_E_TRAY_WINDOW);
    EXPECT_EQ(engine->trayWindow(), nullptr);
    EXPECT_EQ(engine->pages, std::vector<HRESULT>{VEK_E_TRAY_WINDOW});
    EXPECT_TRUE(watch.timerFired) << "the message loop ended before the page was shown and painted";
    EXPECT_TRUE(watch.shown);
    EXPECT_TRUE(watch.painted);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&msg);
}

// ---- prompts and the main dialog ----------------------------------------------------------------

TEST_F(UIEngineTest, AnotherInstancePromptAndMainDialog)
{
    auto engine = MakeEngine();
    EXPECT_EQ(engine->showAnotherInstancePrompt(), 0);
    EXPECT_EQ(engine->boxes, std::vector<UINT>{235});
    EXPECT_EQ(engine->boxTypes[0] & MB_TYPEMASK, static_cast<UINT>(MB_OK));
    EXPECT_EQ(g_ExitCode, 0);

    auto silent = MakeEngine(L"/SILENT");
    ASSERT_EQ(silent->Start(kExePath, nullptr), S_OK);
    EXPECT_EQ(silent->showAnotherInstancePrompt(), 0);
    EXPECT_TRUE(silent->boxes.empty());
    EXPECT_EQ(g_ExitCode, 9);

    EXPECT_EQ(engine->showUI(VEK_E_NO_CC_TOKEN), 0);
    EXPECT_EQ(engine->pages, std::vector<HRESULT>{VEK_E_NO_CC_TOKEN});
}

} // namespace
