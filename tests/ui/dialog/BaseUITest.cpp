// The main dialog as a real window under Xvfb, driven by posted job updates as the tray window
// relays them: the exit confirmation, the first page by engine state and start result, the
// silent and unattended page rules (exit code = page number), retries, the restart countdown,
// the partial-failure page and the package-location page.
#include "DialogTestSupport.h"

#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "ui/dialog/VekProductName.h"
#include "ui/util/VekScreen.h"

#include "../UiTestSupport.h"
#include "tests/support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

namespace {

using dialogtest::DialogSetup;
using dialogtest::DialogTest;
using json = nlohmann::json;

constexpr UINT kAction1 = 3303, kAction2 = 3304, kCloseButton = 3306, kFooterClose = 3308;
constexpr UINT kHeadline = 3320, kBody = 3321, kGreenLine = 4322, kSecondLine = 4344, kSecondBody = 4343;

const std::wstring kContactAdmin = L"Contact your administrator.";

std::filesystem::path TestFolder(const std::string& name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::filesystem::path folder = std::filesystem::path(temp) / ("vek-dialog-" + name);
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder);
    return folder;
}

void Touch(const std::filesystem::path& file)
{
    std::ofstream(file) << "x";
}

// ---- exit confirmation ----------------------------------------------------------------------

TEST_F(DialogTest, ExitConfirmationYesEndsWithEightNoResumesUnlessPausedBefore)
{
    struct Case {
        int answer;
        bool pausedBefore;
        int exitCode;
        bool resumed;
        bool closing;
    } cases[] = {
        {IDYES, false, 8, false, true},
        {IDNO, false, 0, true, false},
        {IDNO, true, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << c.answer << " paused before " << c.pausedBefore);
        engine.reset();
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->paused = c.pausedBefore;
        system.answer = c.answer;
        system.boxes = 0;
        g_ExitCode = 0;
        Open();
        Event(2);
        ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
        Drain();
        EXPECT_EQ(system.boxes, 1);
        EXPECT_TRUE(engine->Called("pause"));
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_EQ(engine->Called("resume"), c.resumed);
        EXPECT_EQ(dialog->isClosing(), c.closing);
        ASSERT_FALSE(Closed()) << "the window waits for the engine's end";
        if (c.closing) {
            EXPECT_TRUE(engine->Called("stop"));
            EXPECT_FALSE(ListVisible()) << "the wait animation replaces the job list while closing";
            // A second close request while closing is ignored.
            ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
            Drain();
            EXPECT_EQ(system.boxes, 1);
            Event(11);
            EXPECT_TRUE(engine->Called("stop-wait"));
            EXPECT_TRUE(Closed());
            EXPECT_EQ(owner->closes, 1) << "the owner is told to close";
            EXPECT_EQ(g_ExitCode, 8);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, CloseRequestsThatDoNotAsk)
{
    struct Case {
        const char* name;
        std::wstring switches;
        int state;
        std::vector<int> eventsBefore;
        LPARAM lParam;
        bool closes;
    } cases[] = {
        {"after a fatal event", L"", 2, {-3}, 0, true},
        {"after event 12", L"", 2, {12}, 0, true},
        {"all jobs done", L"", 4, {}, 0, true},
        {"cleaned up", L"", 6, {}, 0, true},
        {"forced by lParam 200", L"", 2, {}, 200, true},
        {"started by an administrator", L"/ADMIN_INITIATED", 2, {}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->state = c.state;
        system.boxes = 0;
        Open(DialogSetup{true, c.switches});
        for (int event : c.eventsBefore)
            Event(event);
        if (Closed()) {
            ADD_FAILURE() << "closed before the request";
        } else {
            ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, c.lParam);
            Drain();
            EXPECT_EQ(system.boxes, 0);
            EXPECT_EQ(Closed(), c.closes);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, AdministratorStartGreysTheCloseButtonAndTheSystemMenu)
{
    Open(DialogSetup{true, L"/ADMIN_INITIATED"});
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog->hwnd(), kCloseButton)));
    HMENU menu = ::GetSystemMenu(dialog->hwnd(), FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE((::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED) != 0);
    EXPECT_EQ(owner->disableExit, 1);
    // A page enables the exit again.
    Event(12, json{{"job_error_code", 5}});
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog->hwnd(), kCloseButton)));
    EXPECT_GE(owner->enableExit, 1);
}

TEST_F(DialogTest, EnterThatAnsweredTheConfirmationIsSwallowedOnce)
{
    system.enterDown = true;
    system.answer = IDNO;
    Open();
    ::SendMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    MSG keyUp{owner->GetHwnd(), WM_KEYUP, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(dialog->PreTranslateMessage(keyUp));
    EXPECT_FALSE(dialog->PreTranslateMessage(keyUp)) << "only the one key-up is swallowed";
}

// ---- the window ------------------------------------------------------------------------------

TEST_F(DialogTest, WindowIsDraggedByItsBackgroundAndPaintsItsFrame)
{
    Open(DialogSetup{true, L"", true, S_OK});
    dialog->showWindow(SW_SHOWNORMAL);
    Drain();
    RECT window{};
    ::GetWindowRect(dialog->hwnd(), &window);
    EXPECT_EQ(::SendMessageW(dialog->hwnd(), WM_NCHITTEST, 0, MAKELPARAM(window.left + 5, window.bottom - 80)),
              HTCAPTION);
    EXPECT_EQ(window.right - window.left, 512) << "design size at 96 DPI";
    EXPECT_EQ(window.bottom - window.top, 467);

    struct Case {
        int highContrast;
        DWORD fill;
        DWORD frame;
    } cases[] = {{0, 0xFFFFFF, 0xE2E2E2}, {1, 0x000000, 0xCDC9C9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.highContrast);
        vek::OverrideHighContrast(c.highContrast);
        ::SendMessageW(dialog->hwnd(), WM_THEMECHANGED, 0, 0);
        const uitest::Capture capture = uitest::CaptureWindow(dialog->hwnd());
        ASSERT_GT(capture.width, 10);
        EXPECT_EQ(capture.At(0, capture.height / 2), c.frame);
        EXPECT_EQ(capture.At(3, capture.height / 2), c.fill);
    }
    vek::OverrideHighContrast(-1);
}

TEST_F(DialogTest, MinimiseHidesAnOwnedDialogAndAnUnownedOneQuitsTheLoopWithTheExitCode)
{
    Open();
    dialog->showWindow(SW_SHOWNORMAL);
    ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(3307, BN_CLICKED), 0);
    Drain();
    EXPECT_FALSE(::IsWindowVisible(dialog->hwnd())) << "the tray icon brings it back";
    TearDown();
    SetUp();

    Open(DialogSetup{true, L"", true, S_OK, true, false});
    Event(-3, json{{"job_error_code", 5}});
    EXPECT_FALSE(quitCode.has_value());
    ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    Drain();
    EXPECT_TRUE(Closed());
    ASSERT_TRUE(quitCode.has_value());
    EXPECT_EQ(*quitCode, 3u);
}

TEST_F(DialogTest, SilentFailedStartOfAnUnownedDialogClosesAndQuitsTheLoop)
{
    // The program shows the dialog after the engine's start failed and then runs its loop:
    // the silent page closes the dialog, whose end must quit that loop with the page number.
    struct Case {
        const char* name;
        bool withEngine;
        HRESULT start;
        int exitCode;
    } cases[] = {
        {"engine fatal after a failed bootstrap", true, static_cast<HRESULT>(0x800B0004), 3},
        {"no engine, untrusted signature", false, vek::VEK_E_SIGNATURE_NOT_TRUSTED, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.withEngine) {
            engine = std::make_shared<dialogtest::FakeEngine>();
            engine->state = -3;
            engine->running = false;
        }
        Open(DialogSetup{c.withEngine, L"/SILENT", true, c.start, true, false});
        dialog->showWindow(SW_SHOWNORMAL);
        Drain();
        EXPECT_TRUE(Closed());
        ASSERT_TRUE(quitCode.has_value());
        EXPECT_EQ(*quitCode, static_cast<WPARAM>(c.exitCode));
        EXPECT_EQ(g_ExitCode, c.exitCode);
        TearDown();
        SetUp();
        engine.reset();
        quitCode.reset();
    }
}

// ---- first page -------------------------------------------------------------------------------

TEST_F(DialogTest, FirstPageFollowsEngineStateAndStartResult)
{
    struct Case {
        const char* name;
        bool withEngine;
        int state;
        HRESULT start;
        std::wstring switches;
        int exitBefore;
        int exitCode;
        std::wstring body; // empty: not checked
        bool list;
    } cases[] = {
        {"no manifest in the package", false, 0, vek::VEK_E_MANIFEST_NOT_IN_PACKAGE, L"", 0, 6, kContactAdmin, false},
        {"untrusted signature", false, 0, vek::VEK_E_SIGNATURE_NOT_TRUSTED, L"", 0, 6, L"", false},
        {"state file missing", false, 0, vek::VEK_E_STATE_FILE_MISSING, L"", 0, 6, L"", false},
        {"manifest not parsed", false, 0, vek::VEK_E_JSON_NOT_PARSED, L"", 0, 6, L"", false},
        {"no connection token", false, 0, vek::VEK_E_NO_CC_TOKEN, L"", 0, 15,
         L"The installation package has no connection token. Contact your administrator.", false},
        {"no install options", false, 0, vek::VEK_E_NO_INSTALL_OPTIONS, L"", 0, 3, kContactAdmin, false},
        {"component pre-check 17", false, 0, vek::VEK_E_NOT_ADMIN, L"", 17, 17, L"", false},
        {"component pre-check 19", false, 0, vek::VEK_E_NOT_ADMIN, L"", 19, 19, L"", false},
        {"any other result", false, 0, E_FAIL, L"", 0, 3, kContactAdmin, false},
        {"restart prompt", false, 0, E_FAIL, L"/SHOW_RESTART_PROMPT 2", 0, 12, L"Your device is about to restart in:",
         false},
        {"failover, untrusted", true, -2, vek::VEK_E_SIGNATURE_NOT_TRUSTED, L"", 0, 6, L"", false},
        {"failover", true, -2, E_FAIL, L"", 0, 3, L"", false},
        {"engine fatal", true, -3, vek::VEK_E_MANIFEST_NOT_IN_PACKAGE, L"", 0, 6, L"", false},
        {"engine started", true, 2, S_OK, L"", 0, 0, L"Initializing...", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.withEngine) {
            engine = std::make_shared<dialogtest::FakeEngine>();
            engine->state = c.state;
            engine->running = false;
        }
        g_ExitCode = c.exitBefore;
        Open(DialogSetup{c.withEngine, c.switches, true, c.start});
        ASSERT_FALSE(Closed());
        EXPECT_EQ(g_ExitCode, c.exitCode);
        if (!c.body.empty()) {
            EXPECT_EQ(Text(kBody), c.body);
        }
        EXPECT_EQ(ListVisible(), c.list);
        wchar_t caption[128] = {};
        ::GetWindowTextW(dialog->hwnd(), caption, 128);
        EXPECT_STREQ(caption, L"Talvern Download Manager");
        TearDown();
        SetUp();
        engine.reset();
    }
}

TEST_F(DialogTest, PreRequisitePagesTextsAndThePackageBuildingVariant)
{
    struct Case {
        int page;
        bool createMsi;
        std::wstring body;
    } cases[] = {
        {15, false, L"The installation package has no connection token. Contact your administrator."},
        {15, true,
         L"The Windows Installation Package cannot be built without a connection token. Contact your "
         L"administrator."},
        {17, false,
         L"You cannot install this product on this device’s operating system. Check the product "
         L"requirements on the Talvern web site."},
        {19, false,
         L"You can’t install Ombrel if Protection Features is not already installed. Use or create an "
         L"installation package that includes Protection Features and Ombrel."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->running = false;
        json manifest = DialogTest::Manifest();
        manifest["vek"]["job_array"][0]["create_msi"] = c.createMsi ? "true" : "false";
        ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
        Open();
        dialog->showVekDialog(c.page);
        EXPECT_EQ(g_ExitCode, c.page);
        EXPECT_EQ(Text(kHeadline), L"Alert");
        EXPECT_EQ(Text(kBody), c.body);
        EXPECT_TRUE(Visible(kFooterClose));
        EXPECT_EQ(Text(kFooterClose), L"Close");
        TearDown();
        SetUp();
    }
}

// ---- silent and unattended ------------------------------------------------------------------

TEST_F(DialogTest, SilentAndUnattendedRunsSuppressPagesButKeepThePageNumber)
{
    const json packageDocument = [] {
        json m = DialogTest::Manifest();
        m["vek"]["job_array"][0]["create_msi"] = "true";
        return m;
    }();
    struct Case {
        const char* name;
        std::wstring switches;
        bool interactive;
        std::string uiMode;
        int event;
        json job;
        int exitCode;
        bool closed;
    } cases[] = {
        {"unattended package built", L"/UNATTENDED", true, "", 10, packageDocument, 7, true},
        {"unattended re-enrollment", L"/UNATTENDED", true, "", 37, json::object(), 10, true},
        {"unattended failure shows its page", L"/UNATTENDED", true, "", 12, json{{"job_error_code", 5}}, 3, false},
        {"silent failure", L"/SILENT", true, "", 12, json{{"job_error_code", 5}}, 3, true},
        {"no interactive session", L"", false, "", 41, json::object(), 15, true},
        {"manifest silent", L"", true, "SILENT", 17, json::object(), 5, true},
        {"manifest unattended, package", L"", true, "UNATTENDED", 10, packageDocument, 7, true},
        {"silent restart needed", L"/SILENT", true, "", 7, json::object(), 2, true},
        {"silent restart with smart restart", L"/SILENT /SMART_RESTART", true, "", 7, json::object(), 2, false},
        {"silent install error", L"/SILENT", true, "", 5, json::object(), 3, true},
        {"silent disk full", L"/SILENT", true, "", 27, json::object(), 6, true},
        {"automatic upgrade disabled", L"", true, "", 43, json::object(), 14, true},
        {"interactive package built", L"", true, "", 10, packageDocument, 7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->running = false;
        json manifest = DialogTest::Manifest();
        if (!c.uiMode.empty())
            manifest["vek"]["job_array"][0]["distribution"]["ui_mode"] = c.uiMode;
        ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
        Open(DialogSetup{true, c.switches, c.interactive});
        Event(c.event, c.job);
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_EQ(Closed(), c.closed);
        if (c.event == 43) {
            EXPECT_TRUE(engine->Called("reset-reboot"));
        }
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, SilentStopWithARunningEngineClosesAtTheEnginesEnd)
{
    Open(DialogSetup{true, L"/SILENT"});
    Event(12, json{{"job_error_code", 5}});
    EXPECT_EQ(g_ExitCode, 3);
    EXPECT_TRUE(engine->Called("stop"));
    ASSERT_FALSE(Closed());
    EXPECT_TRUE(dialog->isClosing());
    EXPECT_EQ(owner->disableExit, 1);
    Event(11);
    EXPECT_TRUE(Closed());
}

TEST_F(DialogTest, ClosingReleasesAPluginWaitingForTheUpgradeConfirmation)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, L"VEK_ContinueUpgrade");
    ASSERT_NE(event, nullptr);
    Open();
    dialog->stopAndClose();
    EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ::CloseHandle(event);
}

// ---- job updates ------------------------------------------------------------------------------

TEST_F(DialogTest, JobUpdatesReachTheJobListOrNot)
{
    struct Case {
        int event;
        bool forwarded;
    } cases[] = {{0, true},  {1, true},   {2, true},   {3, true},   {4, true},  {6, true},  {8, true},
                 {9, true},  {11, true},  {13, true},  {15, true},  {21, true}, {22, true}, {39, true},
                 {5, false}, {14, false}, {18, false}, {10, false}, {-4, false}};
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        list->events.clear();
        Event(c.event, json{{"job_id", "{1}"}, {"event", c.event}});
        ASSERT_FALSE(Closed());
        EXPECT_EQ(!list->events.empty(), c.forwarded);
        if (c.forwarded) {
            EXPECT_EQ(list->jobs.back().value("event", 0), c.event) << "the job copy travels with the event";
        }
    }
    list->events.clear();
    ::PostMessageW(dialog->hwnd(), WM_VEK_UPDATE_JOB_INFO, 0, 2);
    Drain();
    EXPECT_TRUE(list->events.empty()) << "an update without a job record changes nothing";

    auto progress = std::make_unique<vek::VekProgressRecord>();
    progress->total = 100;
    progress->done = 50;
    ASSERT_TRUE(vek::PostProgressRecord(dialog->hwnd(), WM_VEK_JOB_PROGRESS_INFO, std::move(progress)));
    Drain();
    EXPECT_EQ(list->progress, 1);
}

TEST_F(DialogTest, DownloadStartShowsTheJobListInPlaceOfTheWaitAnimation)
{
    Open(DialogSetup{true, L"", true, S_OK});
    dialog->showWaitAnimation(true);
    EXPECT_FALSE(ListVisible());
    Event(2);
    EXPECT_TRUE(ListVisible());
}

TEST_F(DialogTest, RetryAfterAFailedInstallThenSuccessClosesWithExitCodeZero)
{
    Open();
    Event(9);
    Event(2);
    Event(5, json{{"job_id", "{1}"}, {"job_error_code", 1603}});
    EXPECT_EQ(g_ExitCode, 3);
    list->events.clear();
    list->jobs.clear();
    Event(11);
    ASSERT_FALSE(Closed()) << "the failed install waits for the user";
    ASSERT_EQ(list->events, (std::vector<int>{5, 11})) << "the kept event reaches the job list at the engine's end";
    EXPECT_EQ(list->jobs.front().value("job_error_code", 0), 1603);

    // The job window's Retry resets the exit code and starts the engine again.
    g_ExitCode = 0;
    engine->Start();
    for (int event : {9, 2, 3, 6, 4})
        Event(event);
    Event(0);
    Event(10, DialogTest::Manifest());
    EXPECT_TRUE(dialog->isClosing()) << "a successful installation closes the window";
    list->events.clear();
    Event(11);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(g_ExitCode, 0);
}

TEST_F(DialogTest, DownloadErrorsWaitForTheEnginesEndWhileRetriesRemain)
{
    struct Case {
        int event;
        uint32_t retries;
        bool kept;
    } cases[] = {{27, 0, true}, {28, 1, true}, {27, 2, false}, {-4, 5, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "event " << c.event << " retries " << c.retries);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->retryCount = c.retries;
        Open();
        Event(c.event, json{{"job_id", "{1}"}});
        EXPECT_TRUE(list->events.empty()) << "nothing shows before the engine ends";
        Event(11);
        ASSERT_FALSE(Closed());
        const std::vector<int> expected = c.kept ? std::vector<int>{c.event, 11} : std::vector<int>{11};
        EXPECT_EQ(list->events, expected);
        EXPECT_EQ(g_ExitCode, 0);
        list->events.clear();
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, FinishWithAnExitCodeLeavesTheWindowOpen)
{
    Open();
    Event(6);
    Event(7); // restart needed: exit code 2
    Event(10, DialogTest::Manifest());
    EXPECT_FALSE(dialog->isClosing());
    Event(11);
    EXPECT_FALSE(Closed());
    EXPECT_EQ(g_ExitCode, 2);
}

TEST_F(DialogTest, FatalEventChoosesTheAttentionPageByEarlierSuccessAndRetry)
{
    struct Case {
        std::vector<int> events;
        int exitCode;
    } cases[] = {
        {{-1}, 3}, {{4, -1}, 4}, {{4, -4, -1}, 3}, {{9, 4, -4, 9, 4, -3}, 4}, {{15, -5}, 4}, {{41, -1}, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.events));
        engine = std::make_shared<dialogtest::FakeEngine>();
        Open();
        for (int event : c.events)
            Event(event, json{{"job_error_code", 7}});
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_FALSE(ListVisible());
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, DownloadFailureEventPicksThePageByItsError)
{
    struct Case {
        HRESULT error;
        int exitCode;
        std::wstring headline;
        std::wstring body;
    } cases[] = {
        {vek::VEK_E_DOWNLOAD_FAILED, 3, L"Error-Unable to Continue",
         L"Unable to complete download.\n\nContact your administrator."},
        {vek::VEK_E_BACKEND_CHECK, 18, L"Alert",
         L"Unable to reach cloud resources.\n\nSee Talvern Download Manager logs for detailed information."},
        {E_FAIL, 3, L"Error-Unable to Continue", kContactAdmin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode);
        engine = std::make_shared<dialogtest::FakeEngine>();
        Open();
        Event(12, json{{"job_error_code", static_cast<uint32_t>(c.error)}});
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_EQ(static_cast<uint32_t>(dialog->lastError()), static_cast<uint32_t>(c.error));
        EXPECT_EQ(Text(kHeadline), c.headline);
        EXPECT_EQ(Text(kBody), c.body);
        EXPECT_TRUE(engine->Called("stop")) << "a page stops the engine";
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, EndpointReEnrollmentFailureFallsBackToAFullInstall)
{
    json manifest = DialogTest::Manifest("qor");
    manifest["vek"]["job_array"][0]["re_enroll"] = true;
    ASSERT_EQ(engine = std::make_shared<dialogtest::FakeEngine>(), engine);
    ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
    Open();
    Event(38);
    EXPECT_EQ(engine->calls, (std::vector<std::string>{"stop-wait", "start"}));
    json job;
    ASSERT_TRUE(engine->manifest->GetJob(0, job));
    EXPECT_EQ(job.value("re_enroll", true), false);
    EXPECT_EQ(g_ExitCode, 0);

    Event(17);
    EXPECT_EQ(g_ExitCode, 5) << "any other product shows the already-installed page";
}

// ---- restart countdown ------------------------------------------------------------------------

TEST_F(DialogTest, RestartCountdownPanelsBySessionAndSwitch)
{
    struct Case {
        const char* name;
        std::wstring switches;
        bool adminSession;
        bool restartNow;
        bool cancel;
    } cases[] = {
        {"administrator in the session", L"/SHOW_RESTART_PROMPT 5", true, true, true},
        {"started by an administrator", L"/SHOW_RESTART_PROMPT 5 /ADMIN_INITIATED", true, true, false},
        {"no administrator session", L"/SHOW_RESTART_PROMPT 5", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        system.adminSession = c.adminSession;
        Open(DialogSetup{false, c.switches});
        EXPECT_EQ(g_ExitCode, 12);
        EXPECT_EQ(Text(kGreenLine), L"5 min(s)  0 sec(s)");
        EXPECT_EQ(Text(kBody), L"Your device is about to restart in:");
        EXPECT_TRUE(Visible(kSecondLine));
        EXPECT_EQ(Visible(kAction2), c.restartNow);
        EXPECT_EQ(Visible(kAction1), c.cancel);
        if (c.restartNow) {
            EXPECT_EQ(Text(kAction2), L"Restart Now");
        }
        if (c.cancel) {
            EXPECT_EQ(Text(kAction1), L"Cancel");
        }
        EXPECT_FALSE(Visible(kFooterClose));
        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog->hwnd(), kCloseButton)));
        EXPECT_EQ(dialog->actionMode2(), c.restartNow ? 3 : 0);
        EXPECT_EQ(dialog->actionMode1(), c.cancel ? 4 : 0);
        if (c.cancel) {
            RECT restart{}, cancel{};
            ::GetWindowRect(::GetDlgItem(dialog->hwnd(), kAction2), &restart);
            ::GetWindowRect(::GetDlgItem(dialog->hwnd(), kAction1), &cancel);
            EXPECT_LT(cancel.right, restart.left) << "Cancel stands left of Restart Now";
        }
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, RestartCountdownComesBackToTheFrontAndRestartsAtZero)
{
    Open(DialogSetup{false, L"/SHOW_RESTART_PROMPT 5"});
    const uint64_t start = now;
    const int initial = reshows;
    EXPECT_GE(initial, 1) << "the page comes to the front when it opens";
    auto tick = [&](uint64_t seconds) {
        now = start + seconds * 1000;
        ::SendMessageW(dialog->hwnd(), WM_TIMER, 15, 0);
        Drain();
    };
    tick(1);
    EXPECT_EQ(Text(kGreenLine), L"4 min(s)  59 sec(s)");
    tick(120);
    EXPECT_EQ(reshows, initial);
    tick(121);
    EXPECT_EQ(reshows, initial + 1) << "more than 120 s passed";
    tick(181);
    EXPECT_EQ(reshows, initial + 1);
    tick(182);
    EXPECT_EQ(reshows, initial + 2) << "then every 60 s";
    tick(240);
    EXPECT_EQ(Text(kGreenLine), L"60 sec(s)");
    EXPECT_TRUE(system.restarts.empty());
    tick(300);
    ASSERT_EQ(system.restarts.size(), 1u);
    EXPECT_EQ(system.restarts[0].first, static_cast<UINT>(EWX_REBOOT | EWX_FORCEIFHUNG));
    EXPECT_EQ(system.restarts[0].second, static_cast<DWORD>(0x00030002));
    EXPECT_TRUE(system.privilegeRestored);
    EXPECT_TRUE(Closed());
}

TEST_F(DialogTest, RestartButtonsRestartOrAskBeforeCancelling)
{
    struct Case {
        const char* name;
        std::wstring switches;
        bool privilege;
        UINT button;
        size_t restarts;
        UINT flags;
    } cases[] = {
        {"soft restart", L"/SHOW_RESTART_PROMPT 5", true, kAction2, 1, EWX_REBOOT | EWX_FORCEIFHUNG},
        {"hard restart", L"/SHOW_RESTART_PROMPT 5 /HARD_REBOOT", true, kAction2, 1,
         EWX_REBOOT | EWX_FORCE | EWX_FORCEIFHUNG},
        {"no shutdown privilege", L"/SHOW_RESTART_PROMPT 5", false, kAction2, 0, 0},
        {"cancel asks first", L"/SHOW_RESTART_PROMPT 5", true, kAction1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        system.privilege = c.privilege;
        system.restarts.clear();
        system.answer = IDYES;
        system.boxes = 0;
        Open(DialogSetup{false, c.switches});
        ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(c.button, BN_CLICKED), 0);
        Drain();
        ASSERT_EQ(system.restarts.size(), c.restarts);
        if (c.restarts != 0) {
            EXPECT_EQ(system.restarts[0].first, c.flags);
        }
        EXPECT_EQ(system.boxes, c.button == kAction1 ? 1 : 0);
        if (c.button == kAction1) {
            EXPECT_EQ(g_ExitCode, 8);
        }
        EXPECT_TRUE(Closed());
        TearDown();
        SetUp();
    }
}

TEST_F(DialogTest, JobWindowAsksTheDialogToRestartWindows)
{
    Open();
    ::SendMessageW(dialog->hwnd(), WM_VEK_RESTART_WINDOWS, 0, 0);
    ASSERT_EQ(system.restarts.size(), 1u);
    EXPECT_EQ(system.restarts[0].first, static_cast<UINT>(EWX_REBOOT | EWX_FORCEIFHUNG));
    EXPECT_EQ(system.restarts[0].second,
              static_cast<DWORD>(SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION));
}

// ---- partial failure ----------------------------------------------------------------------------

TEST_F(DialogTest, FailoverAttentionPageTellsEachComponentAndExitsTwentyOnPartialFailure)
{
    const json ombl0 = {{"component", "ombl"}, {"type", 1}, {"code", 0}};
    const json qor1603 = {{"component", "qor"}, {"type", 1}, {"code", 1603}};
    const json ombl1603 = {{"component", "ombl"}, {"type", 1}, {"code", 1603}};
    struct Case {
        const char* name;
        std::wstring switches;
        json errors;
        int exitCode;
        bool closed;
        std::wstring body; // empty: not checked
    } cases[] = {
        {"partial", L"", json::array({qor1603, ombl0}), 20, false,
         L"Installation of Ombrel completed successfully.\n\nInstallation of Protection Features failed with error "
         L"code 1603.\n\n\nPlease contact your administrator for further action."},
        {"all failed", L"", json::array({qor1603, ombl1603}), 4, false, L""},
        {"partial, silent", L"/SILENT", json::array({qor1603, ombl0}), 20, true, L""},
        {"no component results", L"", json::array(), 4, false,
         L"Installation failed with error code 1603. Please contact your administrator for further action."},
        {"uninstall", L"/UNINSTALL", json::array({ombl0}), 20, false,
         L"Uninstallation of Ombrel completed successfuly.\n\n\nPlease contact your administrator for further "
         L"action."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->running = false;
        json manifest = DialogTest::Manifest();
        manifest["vek"]["job_array"][0]["intermediate_errors"] = c.errors;
        manifest["vek"]["job_array"][0]["job_error_code"] = 1603;
        ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
        Open(DialogSetup{true, c.switches});
        Event(4);
        Event(-2, manifest["vek"]["job_array"][0]);
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_EQ(Closed(), c.closed);
        EXPECT_TRUE(engine->Called("cleanup:8")) << "the endpoint product's failover removes the start values";
        if (!Closed()) {
            EXPECT_EQ(Text(kHeadline), c.switches == L"/UNINSTALL" ? L"Unable to uninstall the client"
                                                                   : L"Unable to install the client");
            if (!c.body.empty()) {
                EXPECT_EQ(Text(kBody), c.body);
            }
        }
        TearDown();
        SetUp();
    }
}

TEST(DialogTexts, ComponentResultTextByStatusCodeAndOrder)
{
    struct Case {
        const char* name;
        json errors;
        bool install;
        std::wstring text;
        int failed;
    } cases[] = {
        {"failure before success",
         json::array(
             {{{"component", "wox"}, {"type", 1}, {"code", 0}}, {{"component", "qor"}, {"type", 1}, {"code", 1603}}}),
         true,
         L"Installation of Protection Features failed with error code 1603.\n\nInstallation of Secure Connection "
         L"completed successfully.\n\n\nPlease contact your administrator for further action.",
         1},
        {"code 16000 in hexadecimal", json::array({{{"component", "ombl"}, {"type", 0}, {"code", 16000}}}), true,
         L"Cannot start the installation of Ombrel. Error code: 0x00003E80\n\n\nPlease contact your administrator "
         L"for further action.",
         1},
        {"code 15999 in decimal", json::array({{{"component", "ombl"}, {"type", 0}, {"code", 15999}}}), true,
         L"Cannot start the installation of Ombrel. Error code: 15999\n\n\nPlease contact your administrator for "
         L"further action.",
         1},
        {"negative code as unsigned", json::array({{{"component", "qor"}, {"type", 1}, {"code", -2147023293}}}), false,
         L"Uninstallation of Protection Features failed with error code 0x80070643.\n\n\nPlease contact your "
         L"administrator for further action.",
         1},
        {"unknown status and component",
         json::array(
             {{{"component", "x"}, {"type", 1}, {"code", 1}}, {{"component", "qor"}, {"type", 7}, {"code", 0}}}),
         true, L"", 0},
        {"first entry of a component counts",
         json::array(
             {{{"component", "qor"}, {"type", 1}, {"code", 0}}, {{"component", "qor"}, {"type", 1}, {"code", 5}}}),
         true,
         L"Installation of Protection Features completed successfully.\n\n\nPlease contact your administrator for "
         L"further action.",
         0},
        {"not an array", json("x"), true, L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int failed = -1;
        const std::wstring text =
            vek::VekBaseUI::getComponentResultText(json{{"intermediate_errors", c.errors}}, c.install, failed);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(failed, c.failed);
    }
}

TEST(DialogTexts, DurationTextAndReshowInterval)
{
    struct Duration {
        long long seconds;
        std::wstring text;
    } durations[] = {
        {0, L"0 sec(s)"},
        {60, L"60 sec(s)"},
        {61, L"1 min(s)  1 sec(s)"},
        {300, L"5 min(s)  0 sec(s)"},
        {3600, L"60 min(s)  0 sec(s)"},
        {3601, L"1 hour(s) 0 min(s)"},
        {86400, L"24 hour(s) 0 min(s)"},
        {86401, L"1 day(s) 0 hour(s)"},
        {400LL * 86400 + 7200, L"400 day(s) 2 hour(s)"},
        // The days are clipped to what the string's 32-bit insert can show, as in the job window.
        {std::numeric_limits<long long>::max(), L"2147483647 day(s) 15 hour(s)"},
        {-1, L"unchanged"},
    };
    for (const Duration& d : durations) {
        std::wstring text = L"unchanged";
        vek::VekBaseUI::formatDuration(d.seconds, text);
        EXPECT_EQ(text, d.text) << d.seconds;
    }
    struct Interval {
        uint64_t remainingSeconds;
        uint64_t intervalSeconds;
    } intervals[] = {{10800, 3600}, {7201, 3600}, {7200, 1800}, {3601, 1800}, {3600, 600}, {1801, 600}, {1800, 300},
                     {601, 300},    {600, 180},   {301, 180},   {300, 120},   {181, 120},  {180, 60},   {0, 60}};
    for (const Interval& i : intervals)
        EXPECT_EQ(vek::VekBaseUI::reshowInterval(i.remainingSeconds * 1000 + 999), i.intervalSeconds * 1000)
            << i.remainingSeconds;
}

TEST(DialogTexts, ManifestHelpersAndProductTitle)
{
    json manifest = DialogTest::Manifest();
    EXPECT_FALSE(vek::VekBaseUI::isCreateMsiJob(manifest));
    manifest["vek"]["job_array"][0]["create_msi"] = "true";
    EXPECT_TRUE(vek::VekBaseUI::isCreateMsiJob(manifest));
    manifest["vek"]["job_array"][0]["create_msi"] = true; // a boolean is not the text
    EXPECT_FALSE(vek::VekBaseUI::isCreateMsiJob(manifest));
    EXPECT_FALSE(vek::VekBaseUI::isCreateMsiJob(json{{"vek", {{"job_array", json::array()}}}}));
    EXPECT_FALSE(vek::VekBaseUI::isCreateMsiJob(json("text")));

    EXPECT_FALSE(vek::VekBaseUI::isFinishPageHidden(manifest));
    manifest["vek"]["global"]["hide_finish_page"] = true;
    EXPECT_TRUE(vek::VekBaseUI::isFinishPageHidden(manifest));

    EXPECT_FALSE(vek::VekBaseUI::hasProxyServer(manifest));
    manifest["vek"]["bootstrap"]["options"]["proxy_settings"]["server"] = "proxy:8080";
    manifest["vek"]["bootstrap"]["options"]["proxy_settings"]["password"] = "";
    EXPECT_TRUE(vek::VekBaseUI::hasProxyServer(manifest));
    EXPECT_FALSE(vek::VekBaseUI::hasProxyPassword(manifest));

    struct Title {
        json runKey;
        UINT id;
    } titles[] = {{"KAJ", 133}, {"QOR", 146}, {json(), 146}};
    for (const Title& t : titles) {
        vek::ResetProductNameStringId(0);
        json m = DialogTest::Manifest();
        m["vek"]["job_array"][0]["product_data"]["run_key"] = t.runKey;
        vek::ManifestDocument document;
        ASSERT_EQ(document.Adopt(m), S_OK);
        vek::SetProductNameStringId(document);
        EXPECT_EQ(vek::GetProductNameStringId(), t.id) << t.runKey.dump();
    }
    vek::ResetProductNameStringId(133);
    vek::ManifestDocument empty;
    vek::SetProductNameStringId(empty);
    EXPECT_EQ(vek::GetProductNameStringId(), 133u) << "a manifest without a job leaves the title";
    vek::ResetProductNameStringId();
}

// ---- package location ----------------------------------------------------------------------------

class PackageLocationTest : public DialogTest {
protected:
    std::filesystem::path root;
    std::filesystem::path downloads;

    void Prepare(const std::string& name)
    {
        root = TestFolder(name);
        downloads = root / "downloads";
        std::filesystem::create_directories(downloads);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->state = 7;
        engine->running = false;
        engine->downloadFolder = downloads.wstring();
        ASSERT_EQ(engine->manifest->Adopt(DialogTest::Manifest()), S_OK);
    }
    void TearDown() override
    {
        DialogTest::TearDown();
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }
};

TEST_F(PackageLocationTest, PageOffersTheParentFolderAndWarnsOfExistingFiles)
{
    Prepare("page");
    Touch(downloads / "ombl.msi");
    Open();
    EXPECT_EQ(g_ExitCode, 0);
    EXPECT_EQ(Text(kBody), L"Extract package to location:");
    EXPECT_EQ(Text(kGreenLine), root.wstring());
    EXPECT_EQ(Text(kAction2), L"Create Package");
    EXPECT_EQ(Text(kAction1), L"Change Location");
    EXPECT_EQ(dialog->actionMode2(), 5);
    EXPECT_EQ(dialog->actionMode1(), 6);
    EXPECT_FALSE(Visible(kFooterClose)) << "the page buttons take the footer's place";
    EXPECT_TRUE(Visible(kSecondBody));
    EXPECT_EQ(Text(kSecondBody), L"The package files already exist in the location you specified. If you continue "
                                 L"these files will be overwritten.");
    EXPECT_FALSE(ListVisible());

    // Change Location: the picker starts in the parent folder; the choice becomes the location.
    const std::filesystem::path chosen = root / "chosen";
    std::filesystem::create_directories(chosen);
    system.picked = chosen.wstring();
    ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction1, BN_CLICKED), 0);
    EXPECT_EQ(system.pickerStart, root.wstring());
    EXPECT_EQ(engine->customLocation, chosen.wstring());
    EXPECT_EQ(Text(kGreenLine), chosen.wstring());

    // Create Package: the old files go, the engine bootstraps and starts, the jobs show.
    ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction2, BN_CLICKED), 0);
    Drain();
    EXPECT_FALSE(std::filesystem::exists(downloads / "ombl.msi"));
    EXPECT_TRUE(engine->Called("bootstrap"));
    EXPECT_TRUE(engine->Called("start"));
    EXPECT_TRUE(ListVisible());
    EXPECT_FALSE(Visible(kAction2));
    EXPECT_TRUE(Visible(kFooterClose));
}

TEST_F(PackageLocationTest, FailedBootstrapKeepsThePageWithExitCodeSixteen)
{
    Prepare("bootstrap");
    engine->bootstrapError = vek::VEK_E_PATH_TOO_LONG;
    Open();
    EXPECT_FALSE(Visible(kSecondBody)) << "no files yet";
    ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction2, BN_CLICKED), 0);
    Drain();
    EXPECT_EQ(g_ExitCode, 16);
    EXPECT_FALSE(Closed());
    EXPECT_FALSE(engine->Called("start"));
    EXPECT_EQ(engine->customLocation, root.wstring()) << "an empty location becomes the parent folder";
    EXPECT_TRUE(Visible(kSecondBody));
    EXPECT_EQ(Text(kSecondBody), L"Unable to use selected folder to download Windows Installation Package. Please "
                                 L"select another folder.");
}

TEST_F(PackageLocationTest, SwitchesBuildThePackageWithoutThePage)
{
    struct Case {
        const char* name;
        std::string folder; // relative to the test root; empty: no switch
        bool blockWithFile;
        std::wstring mode;
        int exitCode;
        bool started;
        bool closed;
    } cases[] = {
        {"existing folder", "given", false, L"", 0, true, false},
        {"new nested folder", "new/nested", false, L"", 0, true, false},
        {"folder cannot be made", "blocked/sub", true, L"", 16, false, true},
        {"name the system refuses", "a|b", false, L"", 16, false, true},
        {"silent without a folder", "", false, L"/SILENT", 0, true, false},
        {"unattended without a folder", "", false, L"/UNATTENDED", 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare("switch");
        std::wstring switches = c.mode;
        std::filesystem::path folder;
        if (!c.folder.empty()) {
            folder = root / c.folder;
            if (c.blockWithFile)
                Touch(root / "blocked");
            else if (c.folder == "given")
                std::filesystem::create_directories(folder);
            switches += L" /EXTRACT_PATH \"" + folder.make_preferred().wstring() + L"\"";
        }
        Open(DialogSetup{true, switches});
        EXPECT_EQ(g_ExitCode, c.exitCode);
        EXPECT_EQ(engine->Called("start"), c.started);
        EXPECT_EQ(Closed(), c.closed);
        if (c.started) {
            EXPECT_EQ(engine->customLocation, c.folder.empty() ? root.wstring() : folder.wstring());
            EXPECT_TRUE(std::filesystem::is_directory(engine->customLocation));
        }
        TearDown();
        SetUp();
    }
}

TEST_F(PackageLocationTest, NoFolderPickerWhenItCannotRunAsTheUser)
{
    Prepare("system");
    system.canPick = false;
    Open();
    EXPECT_TRUE(Visible(kAction2));
    EXPECT_FALSE(Visible(kAction1));
    EXPECT_EQ(dialog->actionMode1(), 0);
}

} // namespace

namespace {

TEST_F(PackageLocationTest, OnlyFilesInsideTheDownloadFolderAreCheckedOrDeleted)
{
    Prepare("escape");
    // Names that would leave the download folder: up a level, to another drive's current
    // folder, to a full path, to the root of the drive. None of them is checked or deleted.
    const std::filesystem::path outside = root / "outside.txt";
    const std::filesystem::path absolute = root / "absolute.txt";
    Touch(outside);
    Touch(absolute);
    json manifest = DialogTest::Manifest();
    json& files = manifest["vek"]["job_array"][0]["file_array"];
    for (const std::string& name :
         {std::string("..\\outside.txt"), std::string("sub\\..\\..\\outside.txt"), std::string("../outside.txt"),
          vek::ToUtf8(absolute.wstring()), std::string("C:absolute.txt"), std::string("\\absolute.txt")})
        files.push_back({{"source_file", "s"}, {"destination_file", name}});
    ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
    Open();
    EXPECT_FALSE(Visible(kSecondBody)) << "files outside the folder do not count as package files";

    Touch(downloads / "ombl.msi");
    ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction2, BN_CLICKED), 0);
    Drain();
    EXPECT_TRUE(engine->Called("bootstrap"));
    EXPECT_FALSE(std::filesystem::exists(downloads / "ombl.msi")) << "a file inside is deleted";
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(absolute));
}

} // namespace

namespace {

// A resumed run's manifest carries the names the engine's start wrote into it: full paths in the
// download folder. Those count as package files and are deleted before the package is built,
// whatever their spelling; a full path that leaves the folder or reaches its file through a link
// is neither checked nor deleted.
TEST_F(PackageLocationTest, FullNamesInsideTheDownloadFolderAreCheckedAndDeleted)
{
    struct Case {
        const char* name;
        const wchar_t* file;     // the file on disk, in the test's folder
        const wchar_t* spelling; // the manifest's name of it: the test's folder, then this
        bool packageFile;
    };
    const Case cases[] = {
        {"as the engine's start writes it", L"downloads\\qor.msi", L"\\downloads\\qor.msi", true},
        {"in other letter case", L"downloads\\ombl.msi", L"\\DOWNLOADS\\OMBL.MSI", true},
        {"with forward slashes", L"downloads\\plugin.dll", L"/downloads/plugin.dll", true},
        {"out and back in", L"downloads\\qor.msi", L"\\downloads\\..\\downloads\\.\\qor.msi", true},
        {"one step out", L"outside.msi", L"\\downloads\\..\\outside.msi", false},
        {"a neighbour whose name begins alike", L"downloads-old\\qor.msi", L"\\downloads-old\\qor.msi", false},
        {"another folder", L"elsewhere\\qor.msi", L"\\elsewhere\\qor.msi", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare("fullnames");
        const std::filesystem::path file = root / c.file;
        const std::wstring name = root.wstring() + c.spelling;
        std::filesystem::create_directories(file.parent_path());
        Touch(file);
        json manifest = DialogTest::Manifest();
        manifest["vek"]["job_array"][0]["file_array"] =
            json::array({{{"source_file", "s"}, {"destination_file", vek::ToUtf8(name)}}});
        ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
        Open();
        EXPECT_EQ(Visible(kSecondBody), c.packageFile) << "the overwrite warning";
        ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction2, BN_CLICKED), 0);
        Drain();
        EXPECT_TRUE(engine->Called("bootstrap"));
        EXPECT_EQ(std::filesystem::exists(file), !c.packageFile) << "deleted before the package is built";
        TearDown();
        SetUp();
    }
}

// A name inside the download folder that passes through a link (the planted folder "linked"
// leads to "target") names a file outside it: neither checked nor deleted.
TEST_F(PackageLocationTest, NamesThroughALinkAreNeitherCheckedNorDeleted)
{
    const std::wstring planted = untrusted::Path(L"target");
    const std::filesystem::path folder = std::filesystem::path(planted).parent_path();
    const std::filesystem::path behindLink = folder / L"target" / L"dialog-package.msi";
    Touch(behindLink);
    for (const std::wstring& name : {(folder / L"linked" / L"dialog-package.msi").wstring(),
                                     std::wstring(L"linked\\dialog-package.msi")}) {
        SCOPED_TRACE(std::filesystem::path(name).string());
        Prepare("link");
        engine->downloadFolder = folder.wstring();
        json manifest = DialogTest::Manifest();
        manifest["vek"]["job_array"][0]["file_array"] =
            json::array({{{"source_file", "s"}, {"destination_file", vek::ToUtf8(name)}}});
        ASSERT_EQ(engine->manifest->Adopt(manifest), S_OK);
        Open();
        EXPECT_FALSE(Visible(kSecondBody)) << "a file behind a link counts as a package file";
        ::SendMessageW(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(kAction2, BN_CLICKED), 0);
        Drain();
        EXPECT_TRUE(std::filesystem::exists(behindLink)) << "a file behind a link was deleted";
        TearDown();
        SetUp();
    }
    std::error_code error;
    std::filesystem::remove(behindLink, error);
}

} // namespace
