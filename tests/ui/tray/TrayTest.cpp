// The tray window with real window messages under Wine: its icon record, the relay of job
// updates and progress to a stand-in main dialog (a real top-level window), the flags that job
// events set, the balloon, the menu, the quit question and the clean-up it chooses at close.
// The job engine is a scripted one that records what the tray asks of it; the shell, the menu's
// modal loop and the message box are reached through the tray's seams, which here record the
// call and (for the icon and the screenshots) still call the system.
#include "ui/tray/VekTray.h"

#include "ui/UiTestSupport.h"

#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/window/VekGdi.h"

#include "engine/launcher/VekExitCode.h"
#include "engine/manifest/ManifestDocument.h"
#include "services/launcher/VekResultCodes.h"
#include "tests/engine/launcher/LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;
using vek::VekTray;

// ---- the stand-ins -------------------------------------------------------------------------

// Records every call the tray makes; answers from its fields.
class ScriptedEngine : public vek::VekTrayEngine {
public:
    int32_t state = 2;
    bool running = true;
    int jobCount = 1;
    bool allComplete = false;
    bool firstComplete = false;
    std::shared_ptr<vek::ManifestDocument> manifest;
    std::vector<std::string> calls;
    std::vector<unsigned> cleanups;

    int32_t GetEngineState() override { return state; }
    bool IsRunning() override { return running; }
    void Stop(bool wait) override { calls.push_back(wait ? "Stop(wait)" : "Stop"); }
    void Pause() override { calls.push_back("Pause"); }
    void Resume() override { calls.push_back("Resume"); }
    void CleanUp(unsigned flags) override
    {
        calls.push_back("CleanUp");
        cleanups.push_back(flags);
    }
    int GetJobCount() override { return jobCount; }
    bool areAllJobsComplete() override { return allComplete; }
    bool isFirstJobComplete() override { return firstComplete; }
    std::shared_ptr<vek::ManifestDocument> GetManifest() override { return manifest; }
};

// A real top-level window in the main dialog's place; it keeps what the tray relays to it.
class DialogWindow : public vek::VekWindowImpl {
public:
    struct Update {
        json job;
        int32_t event;
        LPARAM lParam;
    };
    std::vector<Update> updates;
    std::vector<vek::VekProgressRecord> progress;

    VEK_BEGIN_MSG_MAP(DialogWindow)
    VEK_MESSAGE_HANDLER(WM_VEK_UPDATE_JOB_INFO, OnUpdate)
    VEK_MESSAGE_HANDLER(WM_VEK_JOB_PROGRESS_INFO, OnProgress)
    VEK_END_MSG_MAP()

private:
    LRESULT OnUpdate(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        auto record = vek::TakeJobUpdateRecord(wParam);
        updates.push_back({record ? record->job : json(), record ? record->event : -999, lParam});
        return 0;
    }
    LRESULT OnProgress(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        if (auto record = vek::TakeProgressRecord(wParam))
            progress.push_back(*record);
        return 0;
    }
};

class TestDialog : public vek::VekTrayMainDialog {
public:
    explicit TestDialog(HWND owner)
    {
        vek::VekWindowImpl::RegisterWindowClass(L"VEK_TrayTestDialog", 0,
                                                reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), nullptr);
        window.Create(L"VEK_TrayTestDialog", owner, RECT{40, 40, 360, 200}, L"main dialog",
                      WS_POPUP | WS_CAPTION);
    }
    HWND hwnd() const override { return window.GetHwnd(); }
    void showWindow(int command) override
    {
        shows.push_back(command);
        ::ShowWindow(window.GetHwnd(), command);
    }
    void destroy() override { window.DestroyWindow(); }

    DialogWindow window;
    std::vector<int> shows;
};

struct IconCall {
    DWORD message;
    NOTIFYICONDATAW data;
};

struct MenuItem {
    UINT id;
    std::wstring text;
    bool grayed;
};

// The tray with its seams recording.
class TestTray : public VekTray {
public:
    using VekTray::VekTray;
    ~TestTray() override
    {
        if (GetHwnd() != nullptr && ::IsWindow(GetHwnd()))
            ::DestroyWindow(GetHwnd());
    }

    // The real shell only where it shows: Wine's shell answers each icon call slowly.
    bool realShell = false;
    std::vector<IconCall> iconCalls;
    std::vector<std::vector<MenuItem>> menus;
    UINT defaultItem = 0;
    UINT menuFlags = 0;
    std::vector<std::wstring> prompts;
    UINT promptType = 0;
    int promptAnswer = IDNO;
    std::function<void()> duringPrompt;
    std::function<void(HMENU, UINT, POINT)> showMenu; // set: the real menu is shown
    std::vector<std::pair<UINT_PTR, UINT>> timers;
    bool timerFails = false;

protected:
    BOOL notifyIcon(DWORD message, NOTIFYICONDATAW& data) override
    {
        iconCalls.push_back({message, data});
        return realShell ? VekTray::notifyIcon(message, data) : TRUE;
    }
    BOOL trackPopupMenu(HMENU popup, UINT flags, POINT point) override
    {
        std::vector<MenuItem> items;
        for (int i = 0; i < ::GetMenuItemCount(popup); ++i) {
            wchar_t text[64] = {};
            ::GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
            const UINT state = ::GetMenuState(popup, i, MF_BYPOSITION);
            items.push_back({::GetMenuItemID(popup, i), text, (state & MF_GRAYED) != 0});
        }
        menus.push_back(items);
        defaultItem = ::GetMenuDefaultItem(popup, FALSE, GMDI_USEDISABLED);
        menuFlags = flags;
        if (showMenu)
            showMenu(popup, flags, point);
        return TRUE;
    }
    int quitPrompt(const std::wstring& text, const std::wstring& caption, UINT type) override
    {
        prompts.push_back(caption + L"|" + text);
        promptType = type;
        if (duringPrompt)
            duringPrompt();
        return promptAnswer;
    }
    UINT_PTR setTimer(UINT_PTR id, UINT milliseconds) override
    {
        timers.emplace_back(id, milliseconds);
        if (timerFails) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        return id; // expiry is delivered by the test
    }
};

// Runs the queued messages of this thread; the quit message is kept, not acted on.
std::optional<int> Drain()
{
    std::optional<int> quit;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = static_cast<int>(msg.wParam);
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return quit;
}

std::shared_ptr<vek::ManifestDocument> Manifest(const json& root)
{
    auto manifest = std::make_shared<vek::ManifestDocument>();
    EXPECT_EQ(S_OK, manifest->Adopt(root));
    return manifest;
}

json InstallJob()
{
    return json{{"job_type", "install"}, {"distribution", {{"job_description", "Endpoint agent"}}}};
}

// ---- the fixture -------------------------------------------------------------------------------

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_ExitCode = 0;
        engine = std::make_shared<ScriptedEngine>();
        Drain();
    }
    void TearDown() override
    {
        tray.reset();
        Drain();
        g_ExitCode = 0;
    }

    // Creates the tray (and its stand-in dialog); the command line's switches as given.
    HRESULT Make(const wchar_t* commandLine = L"VekLauncher.exe", bool withEngine = true)
    {
        vek::VekTrayOptions options;
        options.commandLine.emplace();
        options.commandLine->Parse(commandLine);
        options.windows8OrLater = windows8;
        options.mainDialogFactory = [this](HWND owner) -> std::unique_ptr<vek::VekTrayMainDialog> {
            if (dialogThrows)
                throw std::runtime_error("the main dialog cannot be built");
            if (!makeDialog)
                return nullptr;
            auto made = std::make_unique<TestDialog>(owner);
            dialog = made.get();
            return made;
        };
        tray = std::make_unique<TestTray>(nullptr, withEngine ? engine : nullptr, std::move(options));
        tray->realShell = realShell;
        const HRESULT hr = tray->Create();
        Drain();
        return hr;
    }

    void PostUpdate(int32_t event, const json& job = InstallJob())
    {
        auto record = std::make_unique<vek::VekJobUpdateRecord>();
        record->job = job;
        record->event = event;
        ASSERT_TRUE(vek::PostJobUpdateRecord(tray->hwnd(), WM_VEK_JOB_UPDATE, std::move(record)));
        Drain();
    }

    void SetDialogVisible(bool visible)
    {
        ::ShowWindow(dialog->hwnd(), visible ? SW_SHOWNOACTIVATE : SW_HIDE);
    }
    bool DialogVisible() const { return ::IsWindowVisible(dialog->hwnd()) != FALSE; }

    // The balloon calls: NIM_MODIFY with NIF_INFO.
    std::vector<IconCall> Balloons() const
    {
        std::vector<IconCall> balloons;
        for (const IconCall& call : tray->iconCalls)
            if (call.message == NIM_MODIFY && (call.data.uFlags & NIF_INFO) != 0)
                balloons.push_back(call);
        return balloons;
    }
    int IconCalls(DWORD message) const
    {
        int count = 0;
        for (const IconCall& call : tray->iconCalls)
            count += call.message == message ? 1 : 0;
        return count;
    }

    std::shared_ptr<ScriptedEngine> engine;
    std::unique_ptr<TestTray> tray;
    TestDialog* dialog = nullptr;
    bool makeDialog = true;
    bool dialogThrows = false;
    bool realShell = false;
    std::optional<bool> windows8 = true;
};

// ---- creation ----------------------------------------------------------------------------------

TEST_F(TrayTest, CreationFillsTheIconRecordAddsTheIconAndShowsTheDialog)
{
    realShell = true;
    ASSERT_EQ(S_OK, Make());
    HWND window = tray->hwnd();
    ASSERT_NE(nullptr, window);
    wchar_t className[32] = {};
    ::GetClassNameW(window, className, 32);
    EXPECT_STREQ(L"VEK_Tray", className);
    EXPECT_FALSE(::IsWindowVisible(window));
    EXPECT_EQ(window, ::GetWindow(dialog->hwnd(), GW_OWNER)); // owned top-level window, not a child
    EXPECT_EQ(0u, static_cast<DWORD>(::GetWindowLongPtrW(dialog->hwnd(), GWL_STYLE)) & WS_CHILD);

    ASSERT_EQ(1, IconCalls(NIM_ADD));
    const NOTIFYICONDATAW& added = tray->iconCalls[0].data;
    DWORD major = 0, minor = 0, build = 0;
    const bool known = VekTray::QueryShellVersion(major, minor, build);
    EXPECT_EQ(VekTray::NotifyIconDataSize(known, major, minor, build), added.cbSize);
    EXPECT_EQ(window, added.hWnd);
    EXPECT_EQ(201u, added.uID);
    EXPECT_EQ(static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP), added.uFlags);
    EXPECT_EQ(static_cast<UINT>(WM_VEK_TRAY_NOTIFY), added.uCallbackMessage);
    EXPECT_NE(nullptr, added.hIcon);
    EXPECT_STREQ(L"Talvern Agent", added.szTip);
    EXPECT_TRUE(tray->iconAdded());
    EXPECT_TRUE(tray->leftToRight());
    EXPECT_NE(nullptr, reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_BIG, 0)));
    EXPECT_NE(nullptr, reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_SMALL, 0)));
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(255u, tray->cleanupFlags());
}

TEST_F(TrayTest, StartHiddenBySwitchOrSilentManifestStillAddsTheIcon)
{
    // The manifest is silent as the manifest view reads it: the install job's distribution.ui_mode
    // is "SILENT" exactly; a "distribution" outside the job does not count.
    struct Case {
        const wchar_t* commandLine;
        const char* uiMode;
        bool inJob;
        bool hidden;
    } const cases[] = {
        {L"VekLauncher.exe", "NORMAL", true, false},
        {L"VekLauncher.exe /m", "NORMAL", true, true},
        {L"VekLauncher.exe", "SILENT", true, true},
        {L"VekLauncher.exe", "silent", true, false},
        {L"VekLauncher.exe", "SILENT", false, false},
        {L"VekLauncher.exe /r", nullptr, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.commandLine << " " << (c.uiMode ? c.uiMode : "no ui_mode") << " "
                                        << (c.inJob ? "in the job" : "outside the job"));
        json root = {{"vek", {{"job_array", json::array({InstallJob()})}}}};
        if (c.uiMode != nullptr && c.inJob)
            root["vek"]["job_array"][0]["distribution"]["ui_mode"] = c.uiMode;
        else if (c.uiMode != nullptr)
            root["vek"]["distribution"]["ui_mode"] = c.uiMode;
        engine->manifest = Manifest(root);
        ASSERT_EQ(S_OK, Make(c.commandLine));
        EXPECT_EQ(c.hidden, tray->startHidden());
        EXPECT_EQ(c.hidden, !DialogVisible());
        EXPECT_EQ(1, IconCalls(NIM_ADD));
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, NoMainDialogFailsTheCreation)
{
    // No dialog made, or its making threw inside WM_CREATE: either way no tray lives on without
    // a dialog (nothing would ever end the message loop).
    for (const bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "factory throws" : "factory gives none");
        makeDialog = false;
        dialogThrows = throws;
        EXPECT_EQ(vek::VEK_E_TRAY_WINDOW, Make());
        EXPECT_EQ(nullptr, tray->hwnd());
        EXPECT_EQ(nullptr, tray->mainDialog());
        EXPECT_EQ(0, IconCalls(NIM_ADD));
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, ProductTitleIdChoosesTheTip)
{
    vek::VekTrayOptions options;
    options.commandLine.emplace();
    options.commandLine->Parse(L"VekLauncher.exe");
    options.productTitleId = [] { return UINT{133}; };
    options.mainDialogFactory = [](HWND owner) { return std::make_unique<TestDialog>(owner); };
    tray = std::make_unique<TestTray>(nullptr, engine, std::move(options));
    ASSERT_EQ(S_OK, tray->Create());
    EXPECT_STREQ(L"Qor Cloud", tray->notifyIconData().szTip);
}

TEST(TrayIconRecord, SizeFollowsTheShellVersion)
{
    const DWORD older = NOTIFYICONDATAW_V2_SIZE;
    const DWORD newer = sizeof(NOTIFYICONDATAW);
    struct Case {
        bool known;
        DWORD major, minor, build;
        DWORD size;
    } const cases[] = {
        {true, 5, 80, 9999, older},  {true, 6, 0, 6000, older}, {true, 6, 0, 6001, newer},
        {true, 6, 1, 0, newer},      {true, 10, 0, 0, newer},   {false, 0, 0, 0, newer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << "." << c.build << " known " << c.known);
        EXPECT_EQ(c.size, VekTray::NotifyIconDataSize(c.known, c.major, c.minor, c.build));
    }
}

// ---- the relay ---------------------------------------------------------------------------------

TEST_F(TrayTest, JobUpdatesAndProgressReachTheDialogAsTheirOwnRecords)
{
    ASSERT_EQ(S_OK, Make());
    const json job = {{"job_type", "download"}, {"job_state", 3}, {"name", "Ärger & \"quotes\""}};
    PostUpdate(23, job);
    PostUpdate(99, job); // an event the tray does not know still travels on
    ASSERT_TRUE(::PostMessageW(tray->hwnd(), WM_VEK_JOB_UPDATE, 0, 41)); // a bare event, no record
    Drain();
    for (const auto& [total, done] : {std::pair<uint64_t, uint64_t>{1ull << 40, 12345}, {0, 0}}) {
        auto record = std::make_unique<vek::VekProgressRecord>();
        record->total = total;
        record->done = done;
        ASSERT_TRUE(vek::PostProgressRecord(tray->hwnd(), WM_VEK_JOB_PROGRESS, std::move(record)));
    }
    Drain();

    const auto& updates = dialog->window.updates;
    ASSERT_EQ(3u, updates.size());
    EXPECT_EQ(job, updates[0].job);
    EXPECT_EQ(23, updates[0].event);
    EXPECT_EQ(23, updates[0].lParam);
    EXPECT_EQ(99, updates[1].event);
    EXPECT_TRUE(updates[2].job.is_null());
    EXPECT_EQ(41, updates[2].event);
    EXPECT_EQ(41, updates[2].lParam);
    const auto& progress = dialog->window.progress;
    ASSERT_EQ(2u, progress.size());
    EXPECT_EQ(1ull << 40, progress[0].total);
    EXPECT_EQ(12345u, progress[0].done);
    EXPECT_EQ(0u, progress[1].total);
}

TEST_F(TrayTest, AfterQuitDestroyedTheDialogUpdatesAreDropped)
{
    engine->state = 4; // quits without asking and destroys the dialog
    ASSERT_EQ(S_OK, Make());
    DialogWindow& window = dialog->window;
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandQuit, 0);
    EXPECT_FALSE(::IsWindow(dialog->hwnd()));
    // Messages that were already queued when the window went are freed with it.
    auto record = std::make_unique<vek::VekProgressRecord>();
    ASSERT_TRUE(vek::PostProgressRecord(tray->hwnd(), WM_VEK_JOB_PROGRESS, std::move(record)));
    Drain();
    EXPECT_TRUE(window.progress.empty());
    EXPECT_TRUE(window.updates.empty());
    EXPECT_FALSE(::IsWindow(tray->hwnd()));
}

// ---- job events: flags, showing, hiding, the balloon -------------------------------------------

TEST_F(TrayTest, JobEventsSetFlagsAndShowOrHideTheDialog)
{
    const json download = {{"job_type", "download"}, {"distribution", {{"job_description", "Tools"}}}};
    struct Case {
        const char* name;
        std::vector<int32_t> before; // events delivered first (with the install job)
        int32_t event;
        json job;
        bool visibleBefore;
        bool visibleAfter;
        unsigned cleanupFlags;
        bool failureSeen, fatal, keepState, closeOnCompletion;
    } const cases[] = {
        {"failure shows", {}, 5, InstallJob(), false, true, 255, true, false, false, true},
        {"failure -5 shows", {}, -5, InstallJob(), false, true, 255, true, false, false, true},
        {"event 22 shows", {}, 22, InstallJob(), false, true, 255, false, false, false, true},
        {"event 28 shows", {}, 28, InstallJob(), false, true, 255, false, false, false, true},
        {"fatal shows", {}, -1, InstallJob(), false, true, 255, false, true, false, true},
        {"fatal 12 shows", {}, 12, InstallJob(), false, true, 255, false, true, false, true},
        {"keep state 7 shows", {}, 7, InstallJob(), false, true, 255, false, false, true, true},
        {"keep state 43", {}, 43, InstallJob(), false, false, 255, false, false, true, true},
        {"15 hides", {}, 15, InstallJob(), true, false, 255, false, false, false, true},
        {"17 keeps the window", {}, 17, InstallJob(), false, false, 255, false, false, false, false},
        {"37", {}, 37, InstallJob(), true, true, 255, false, false, false, false},
        {"download job done", {}, 3, download, false, false, 253, false, false, false, true},
        {"install job done", {}, 3, InstallJob(), false, false, 255, false, false, false, true},
        {"unknown event", {}, 29, InstallJob(), false, false, 255, false, false, false, true},
        {"visible stays", {}, 5, InstallJob(), true, true, 255, true, false, false, true},
        {"after a failure 10 keeps all flags", {14}, 10, json(), false, true, 255, true, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine->state = 4;
        ASSERT_EQ(S_OK, Make());
        for (int32_t event : c.before)
            PostUpdate(event);
        SetDialogVisible(c.visibleBefore);
        PostUpdate(c.event, c.job);
        EXPECT_EQ(c.visibleAfter, DialogVisible());
        EXPECT_EQ(c.cleanupFlags, tray->cleanupFlags());
        EXPECT_EQ(c.failureSeen, tray->failureSeen());
        EXPECT_EQ(c.fatal, tray->fatalJobFailure());
        EXPECT_EQ(c.keepState, tray->keepState());
        EXPECT_EQ(c.closeOnCompletion, tray->closeOnCompletion());
        EXPECT_TRUE(::IsWindow(tray->hwnd()));
        EXPECT_TRUE(Balloons().size() == (c.event == 12 ? 1u : 0u));
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, AllJobsDoneChoosesTheFinishPageOrClosesTheTray)
{
    auto root = [](bool createMsi, bool hideFinishPage) {
        json first = InstallJob();
        if (createMsi)
            first["create_msi"] = "true";
        return json{{"vek", {{"global", {{"hide_finish_page", hideFinishPage}}}, {"job_array", json::array({first})}}}};
    };
    struct Case {
        const char* name;
        int32_t state;
        json document;
        int32_t eventBefore; // 0: none
        bool shown;
        bool closed;
        unsigned flags; // the flags when the tray stays; CleanUp's when it closed
    } const cases[] = {
        {"finish page", 4, root(false, false), 0, true, false, 253},
        {"finish page hidden: closes", 4, root(false, true), 0, false, true, 253},
        {"package job shows its page", 4, root(true, true), 0, true, false, 253},
        {"event 17 keeps the window open", 4, root(false, true), 17, false, false, 253},
        {"run not ended", 2, root(false, true), 0, false, false, 255},
        {"run failed", -3, root(false, false), 0, true, false, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine->state = c.state;
        engine->allComplete = true;
        engine->cleanups.clear();
        ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
        HWND window = tray->hwnd();
        if (c.eventBefore != 0)
            PostUpdate(c.eventBefore);
        PostUpdate(10, c.document);
        EXPECT_EQ(c.closed, !::IsWindow(window));
        if (c.closed) {
            // All jobs complete: the downloads stay.
            ASSERT_EQ(1u, engine->cleanups.size());
            EXPECT_EQ(c.flags, engine->cleanups[0]);
        } else {
            EXPECT_EQ(c.shown, DialogVisible());
            EXPECT_EQ(c.flags, tray->cleanupFlags());
        }
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, DownloadStartShowsABalloonWhileTheDialogIsHiddenAndItsClickShowsTheDialog)
{
    ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
    PostUpdate(2);
    ASSERT_EQ(1u, Balloons().size());
    const NOTIFYICONDATAW& balloon = Balloons()[0].data;
    EXPECT_EQ(static_cast<UINT>(NIF_INFO), balloon.uFlags);
    EXPECT_STREQ(L"Starting download", balloon.szInfo);
    EXPECT_STREQ(L"Endpoint agent", balloon.szInfoTitle);
    EXPECT_EQ(0x15u, balloon.dwInfoFlags);
    EXPECT_EQ(201u, balloon.uID);
    EXPECT_FALSE(DialogVisible());

    // A title longer than its field is cut and marked.
    json longJob = InstallJob();
    longJob["distribution"]["job_description"] = std::string(80, 'x');
    PostUpdate(2, longJob);
    ASSERT_EQ(2u, Balloons().size());
    EXPECT_EQ(std::wstring(60, L'x') + L"...", Balloons()[1].data.szInfoTitle);

    ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(DialogVisible());
    PostUpdate(2); // the dialog shows the download itself
    EXPECT_EQ(2u, Balloons().size());

    // Event 12 on a hidden dialog clears the balloon.
    SetDialogVisible(false);
    PostUpdate(12);
    ASSERT_EQ(3u, Balloons().size());
    EXPECT_STREQ(L"", Balloons()[2].data.szInfo);
    EXPECT_TRUE(DialogVisible());
}

TEST_F(TrayTest, MinimizeOnInstallHidesTheDialogWhenItsTimerFires)
{
    json keep = InstallJob();
    keep["product_data"]["minimize_on_install"] = false;
    json minimize = InstallJob();
    minimize["product_data"]["minimize_on_install"] = true;
    struct Case {
        const char* name;
        json job;
        int32_t eventAfter; // 0: none
        bool hidden;
    } const cases[] = {
        {"no key", InstallJob(), 0, true},
        {"key true", minimize, 0, true},
        {"key false", keep, 0, false},
        {"a later failure", InstallJob(), 18, false},
        {"a later -4", InstallJob(), -4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, Make());
        PostUpdate(4, c.job);
        ASSERT_EQ(1u, tray->timers.size());
        EXPECT_EQ(vek::kTimerMinimizeOnInstall, tray->timers[0].first);
        EXPECT_EQ(3000u, tray->timers[0].second);
        if (c.eventAfter != 0)
            PostUpdate(c.eventAfter);
        SetDialogVisible(true);
        ::SendMessageW(tray->hwnd(), WM_TIMER, vek::kTimerMinimizeOnInstall, 0);
        EXPECT_EQ(c.hidden, !DialogVisible());
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, MinimizeTimerWaitsForAnOpenQuitQuestion)
{
    ASSERT_EQ(S_OK, Make());
    PostUpdate(4);
    bool visibleAfterTimer = false;
    tray->duringPrompt = [&] {
        ::SendMessageW(tray->hwnd(), WM_TIMER, vek::kTimerMinimizeOnInstall, 0);
        visibleAfterTimer = DialogVisible();
    };
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandQuit, 0);
    EXPECT_TRUE(visibleAfterTimer);
}

// ---- icon clicks and the menu ------------------------------------------------------------------

TEST_F(TrayTest, IconNotificationsShowTheDialogOrOpenTheMenu)
{
    struct Case {
        UINT notification;
        bool shows;
        bool menu;
    } const cases[] = {
        {WM_LBUTTONUP, true, false},       {WM_LBUTTONDBLCLK, true, false}, {NIN_BALLOONUSERCLICK, true, false},
        {WM_RBUTTONUP, false, true},       {WM_MOUSEMOVE, false, false},    {WM_LBUTTONDOWN, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notification);
        ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
        EXPECT_EQ(0, ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, MAKELPARAM(c.notification, 0)));
        EXPECT_EQ(c.shows, DialogVisible());
        EXPECT_EQ(c.menu ? 1u : 0u, tray->menus.size());
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, MenuGreysOpenWhileTheDialogShowsAndQuitWhileExitIsDisabled)
{
    struct Case {
        const char* name;
        bool visible;
        bool dialogEnabled;
        UINT exitMessage; // 0: none
        bool openGrayed;
        bool quitGrayed;
    } const cases[] = {
        {"hidden", false, true, 0, false, false},
        {"visible", true, true, 0, true, false},
        {"dialog disabled", false, false, 0, false, true},
        {"exit disabled", true, true, WM_VEK_DISABLE_EXIT, true, true},
        {"exit enabled again", false, true, WM_VEK_ENABLE_EXIT, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, Make());
        SetDialogVisible(c.visible);
        ::EnableWindow(dialog->hwnd(), c.dialogEnabled);
        if (c.exitMessage == WM_VEK_ENABLE_EXIT)
            ::SendMessageW(tray->hwnd(), WM_VEK_DISABLE_EXIT, 0, 0);
        if (c.exitMessage != 0)
            ::SendMessageW(tray->hwnd(), c.exitMessage, 0, 0);
        ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, WM_RBUTTONUP);
        ASSERT_EQ(1u, tray->menus.size());
        const auto& items = tray->menus[0];
        ASSERT_EQ(2u, items.size());
        EXPECT_EQ(VekTray::kCommandOpen, items[0].id);
        EXPECT_EQ(L"Open", items[0].text);
        EXPECT_EQ(c.openGrayed, items[0].grayed);
        EXPECT_EQ(VekTray::kCommandQuit, items[1].id);
        EXPECT_EQ(L"Quit", items[1].text);
        EXPECT_EQ(c.quitGrayed, items[1].grayed);
        EXPECT_EQ(VekTray::kCommandOpen, tray->defaultItem);
        EXPECT_EQ(0u, tray->menuFlags & TPM_LAYOUTRTL);
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, OpenCommandShowsTheDialog)
{
    ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandOpen, 0);
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(SW_SHOWNORMAL, dialog->shows.back());
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandOpen, 0); // already visible: nothing
    EXPECT_EQ(SW_SHOWNORMAL, dialog->shows.back());
    EXPECT_EQ(2u, dialog->shows.size());
}

TEST_F(TrayTest, RightToLeftLanguageMirrorsTheMenuAndTheQuestion)
{
    // The strings of a resource DLL whose layout string reads "RTL".
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    HMODULE strings = ::LoadLibraryW((folder + L"ui_tray_rtl.dll").c_str());
    ASSERT_NE(nullptr, strings);
    CVekResourceLoader& loader = CVekResourceLoader::Instance();
    HMODULE previous = loader.GetModule();
    loader.SetModule(strings);
    const HRESULT made = Make();
    loader.SetModule(previous);
    ASSERT_EQ(S_OK, made);
    EXPECT_FALSE(tray->leftToRight());

    loader.SetModule(strings);
    SetDialogVisible(false);
    ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, WM_RBUTTONUP);
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandQuit, 0);
    loader.SetModule(previous);
    ASSERT_EQ(1u, tray->menus.size());
    EXPECT_EQ(static_cast<UINT>(TPM_LAYOUTRTL), tray->menuFlags & TPM_LAYOUTRTL);
    ASSERT_EQ(1u, tray->prompts.size());
    EXPECT_EQ(L"Talvern Agent|Exit?", tray->prompts[0]);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_RTLREADING), tray->promptType);
    tray.reset();
    ::FreeLibrary(strings);
}

// ---- quit --------------------------------------------------------------------------------------

TEST_F(TrayTest, QuitAsksOnlyWhileTheRunGoesOn)
{
    struct Case {
        const char* name;
        bool withEngine;
        int32_t state;
        bool running;
        int answer;
        bool asks;
        bool closes;
        int exitCode;
        std::vector<std::string> calls; // the engine's calls, clean-up included
        std::vector<unsigned> cleanups;
    } const cases[] = {
        {"running, yes", true, 2, true, IDYES, true, true, 8, {"Pause", "Stop(wait)", "CleanUp"}, {255}},
        {"running, no", true, 2, true, IDNO, true, false, 0, {"Pause", "Resume"}, {}},
        {"bootstrapped, yes", true, 1, false, IDYES, true, true, 0, {"Pause", "Stop(wait)", "CleanUp"}, {255}},
        {"repeat download", true, -1, false, IDNO, true, false, 0, {"Pause", "Resume"}, {}},
        // The run is over: no question, the flags as the run left them (here: a download job done).
        {"all jobs done", true, 4, false, IDNO, false, true, 0, {"Stop(wait)", "CleanUp"}, {253}},
        {"cleaned up", true, 6, false, IDNO, false, true, 0, {"Stop(wait)", "CleanUp"}, {253}},
        {"failover", true, -2, false, IDNO, false, true, 0, {"Stop(wait)", "CleanUp"}, {253}},
        {"fatal error", true, -3, false, IDNO, false, true, 0, {"Stop(wait)", "CleanUp"}, {253}},
        {"no engine", false, 0, false, IDYES, false, true, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_ExitCode = 0;
        engine->state = c.state;
        engine->running = c.running;
        engine->calls.clear();
        engine->cleanups.clear();
        ASSERT_EQ(S_OK, Make(L"VekLauncher.exe", c.withEngine));
        PostUpdate(3, {{"job_type", "download"}});
        engine->allComplete = false;
        tray->promptAnswer = c.answer;
        bool dialogDisabledDuringPrompt = false;
        tray->duringPrompt = [&] {
            dialogDisabledDuringPrompt = !::IsWindowEnabled(dialog->hwnd());
            EXPECT_TRUE(tray->quitPromptOpen());
        };
        HWND window = tray->hwnd();
        ::SendMessageW(window, WM_COMMAND, VekTray::kCommandQuit, 0);
        const std::optional<int> quit = Drain();

        EXPECT_EQ(c.asks ? 1u : 0u, tray->prompts.size());
        if (c.asks) {
            EXPECT_EQ(L"Talvern Agent|Are you sure you want to exit Talvern Download Manager?", tray->prompts[0]);
            EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION), tray->promptType);
            EXPECT_TRUE(dialogDisabledDuringPrompt);
        }
        EXPECT_FALSE(tray->quitPromptOpen());
        EXPECT_EQ(c.closes, !::IsWindow(window));
        EXPECT_EQ(c.closes, quit.has_value());
        EXPECT_EQ(c.exitCode, g_ExitCode);
        if (quit) {
            EXPECT_EQ(c.exitCode, *quit);
        }
        if (!c.closes) {
            EXPECT_TRUE(::IsWindowEnabled(dialog->hwnd()));
            EXPECT_TRUE(DialogVisible());
        }
        if (c.withEngine) {
            EXPECT_EQ(c.calls, engine->calls);
            EXPECT_EQ(c.cleanups, engine->cleanups);
        }
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, RightClickWhileTheQuitQuestionIsOpenOpensNoMenu)
{
    ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
    tray->duringPrompt = [&] {
        ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, WM_RBUTTONUP);
        ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, WM_LBUTTONUP);
    };
    ::SendMessageW(tray->hwnd(), WM_COMMAND, VekTray::kCommandQuit, 0);
    EXPECT_TRUE(tray->menus.empty());
    EXPECT_FALSE(DialogVisible());
}

// ---- close: the clean-up it chooses -------------------------------------------------------------

TEST_F(TrayTest, CloseChoosesTheCleanUp)
{
    struct Case {
        const char* name;
        const wchar_t* commandLine;
        int32_t state;
        bool allComplete;
        int jobCount;
        bool firstComplete;
        std::vector<int32_t> events; // delivered before the close
        int exitCode;
        bool relaunch;
        bool sessionEnd;
        std::optional<unsigned> cleanup; // none: no CleanUp call
    } const cases[] = {
        {"unfinished single job", L"x.exe", 2, false, 1, false, {}, 0, false, false, 255},
        {"all jobs complete keep the downloads", L"x.exe", 4, true, 1, true, {}, 0, false, false, 253},
        {"first of two complete", L"x.exe", 2, false, 2, true, {}, 0, false, false, 253},
        {"first of one complete", L"x.exe", 2, false, 1, true, {}, 0, false, false, 255},
        {"custom location required", L"x.exe", 7, false, 1, false, {}, 0, false, false, 253},
        {"fatal job failure: registry only", L"x.exe", -3, false, 1, false, {12}, 0, false, false, 8},
        {"fatal failure, first of two complete", L"x.exe", -3, false, 2, true, {-1}, 0, false, false, 253},
        {"download job done", L"x.exe", 4, false, 1, false, {3}, 0, false, false, 253},
        {"keep state", L"x.exe", 2, false, 1, false, {7}, 0, false, false, std::nullopt},
        {"keep state 43", L"x.exe", 2, false, 1, false, {43}, 0, false, false, std::nullopt},
        {"session ending", L"x.exe", 2, false, 1, false, {}, 0, false, true, std::nullopt},
        {"relaunch", L"x.exe", 4, true, 1, true, {}, 0, true, false, std::nullopt},
        {"silent exit", L"x.exe /SILENT", 2, false, 1, false, {}, 8, false, false, std::nullopt},
        {"silent switch, exit code not silent", L"x.exe /SILENT", 2, false, 1, false, {}, 0, false, false, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine->state = c.state;
        engine->allComplete = c.allComplete;
        engine->jobCount = c.jobCount;
        engine->firstComplete = c.firstComplete;
        engine->calls.clear();
        engine->cleanups.clear();
        ASSERT_EQ(S_OK, Make(c.commandLine));
        for (int32_t event : c.events)
            PostUpdate(event, event == 3 ? json{{"job_type", "download"}} : InstallJob());
        g_ExitCode = c.exitCode;
        HWND window = tray->hwnd();
        if (c.sessionEnd) {
            EXPECT_EQ(TRUE, ::SendMessageW(window, WM_QUERYENDSESSION, 0, 0));
            ::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
        }
        engine->calls.clear();
        if (c.relaunch)
            tray->closeForRelaunch();
        else
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        const std::optional<int> quit = Drain();

        EXPECT_FALSE(::IsWindow(window));
        ASSERT_TRUE(quit.has_value());
        EXPECT_EQ(c.exitCode, *quit);
        ASSERT_FALSE(engine->calls.empty());
        EXPECT_EQ("Stop(wait)", engine->calls[0]); // the engine stops before anything is removed
        if (c.cleanup) {
            ASSERT_EQ(1u, engine->cleanups.size());
            EXPECT_EQ(*c.cleanup, engine->cleanups[0]);
        } else {
            EXPECT_TRUE(engine->cleanups.empty());
            EXPECT_EQ(0u, tray->cleanupFlags());
        }
        EXPECT_EQ(1, IconCalls(NIM_DELETE));
        EXPECT_FALSE(tray->iconAdded());
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, CloseWithoutEngineRemovesNothingAndEndsTheLoop)
{
    ASSERT_EQ(S_OK, Make(L"x.exe", false));
    HWND window = tray->hwnd();
    HWND dialogWindow = dialog->hwnd();
    g_ExitCode = 16;
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<int> quit = Drain();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_FALSE(::IsWindow(dialogWindow)); // the owned dialog goes with the tray
    ASSERT_TRUE(quit.has_value());
    EXPECT_EQ(16, *quit);
    EXPECT_EQ(0u, tray->cleanupFlags());
}

TEST_F(TrayTest, RestartedShellGetsTheIconBackFromWindows8On)
{
    for (const bool win8 : {true, false}) {
        SCOPED_TRACE(win8);
        windows8 = win8;
        ASSERT_EQ(S_OK, Make());
        ::SendMessageW(tray->hwnd(), ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        EXPECT_EQ(win8 ? 2 : 1, IconCalls(NIM_ADD));
        tray.reset();
        Drain();
    }
}

TEST_F(TrayTest, FailingMinimizeTimerIsLoggedWithItsResult)
{
    ASSERT_EQ(S_OK, Make());
    tray->timerFails = true;
    launchertest::LogCapture log;
    PostUpdate(4);
    ASSERT_EQ(1u, tray->timers.size());
    const auto lines = log.Matching(L"SetTimer() failed, hr=0x80070008");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"vek::VekTray::OnJobUpdate("));
    EXPECT_TRUE(DialogVisible());
}

// ---- screenshots for a person to look at --------------------------------------------------------

// The whole screen as the display shows it.
uitest::Capture CaptureScreen()
{
    uitest::Capture capture;
    capture.width = ::GetSystemMetrics(SM_CXSCREEN);
    capture.height = ::GetSystemMetrics(SM_CYSCREEN);
    vek::VekWindowDC screen(nullptr);
    vek::VekMemoryDC memory(screen.Get());
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), capture.width, -capture.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    vek::VekBitmap bitmap(::CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || bits == nullptr)
        return {};
    {
        vek::VekSelectObject selected(memory.Get(), bitmap.Get());
        ::BitBlt(memory.Get(), 0, 0, capture.width, capture.height, screen.Get(), 0, 0, SRCCOPY);
    }
    ::GdiFlush();
    const auto* source = static_cast<const DWORD*>(bits);
    capture.pixels.assign(source, source + static_cast<size_t>(capture.width) * capture.height);
    for (DWORD& pixel : capture.pixels)
        pixel &= 0x00FFFFFF;
    return capture;
}

uitest::Capture g_menuShot;

void CALLBACK CaptureMenuAndClose(HWND, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(nullptr, id);
    g_menuShot = CaptureScreen();
    ::EndMenu();
}

TEST_F(TrayTest, ScreenshotsOfTheMenuAndTheBalloon)
{
    realShell = true;
    ASSERT_EQ(S_OK, Make(L"VekLauncher.exe /m"));
    ::SetCursorPos(300, 240);
    HWND window = tray->hwnd();
    tray->showMenu = [window](HMENU popup, UINT flags, POINT point) {
        // The real menu: its modal loop runs the timer that takes the picture and ends it.
        ::SetTimer(nullptr, 0, 400, CaptureMenuAndClose);
        ::TrackPopupMenuEx(popup, flags, point.x, point.y, window, nullptr);
    };
    ::SendMessageW(tray->hwnd(), WM_VEK_TRAY_NOTIFY, 201, WM_RBUTTONUP);
    ASSERT_EQ(1u, tray->menus.size());
    ASSERT_GT(g_menuShot.width, 0);
    EXPECT_FALSE(g_menuShot.Save(L"tray_menu").empty());

    PostUpdate(2);
    ASSERT_EQ(1u, Balloons().size());
    uitest::Pump(3000); // Wine's shell shows a balloon two seconds after it is asked
    const uitest::Capture balloon = CaptureScreen();
    ASSERT_GT(balloon.width, 0);
    EXPECT_FALSE(balloon.Save(L"tray_balloon").empty());
}

} // namespace
