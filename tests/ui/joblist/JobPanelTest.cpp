// The job window's panels driven as the job engine drives them: texts of progress, sizes and
// time left; pause, retry and the error panels; the upgrade countdown releasing the installation
// side that waits on the named event; the restart decision and countdowns; the finish
// description and its links; file deletion after a failed install. Screenshots of a panel in
// progress in English and German are saved in bin/screenshots/.
#include "JobListFixture.h"
#include "ui/UiTestSupport.h"

#include "engine/launcher/VekExitCode.h"
#include "ui/resources/CVekResourceLoader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

namespace {

using joblisttest::JobListRig;
using vek::VekJobUI;

constexpr unsigned long long kMiB = 1048576ULL;
constexpr unsigned long long kGiB = 1073741824ULL;

// "1,023.00" in the user's number format (the test prefix's locale decides the separators).
std::wstring LocaleNumber(const std::wstring& english)
{
    wchar_t thousand[8] = {};
    wchar_t decimal[8] = {};
    ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, thousand, 8);
    ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8);
    std::wstring text;
    for (wchar_t c : english) {
        if (c == L',')
            text += thousand;
        else if (c == L'.')
            text += decimal;
        else
            text += c;
    }
    return text;
}

TEST(JobPanelTexts, SizesDurationsAndIntervals)
{
    struct SizeCase {
        unsigned long long bytes;
        std::wstring expected; // English number format, converted to the user's
    };
    const SizeCase sizes[] = {
        {0, L"0.00 Bytes"},
        {1023, L"1,023.00 Bytes"},
        {1024, L"1.00 KB"},
        {1536, L"1.50 KB"},
        {kMiB - 1, L"1,024.00 KB"}, // 1023.999 rounds up in the text, the unit stays
        {10 * kMiB, L"10.00 MB"},
        {kGiB, L"1.00 GB"},
        {5 * kGiB + kGiB / 4, L"5.25 GB"}, // above 4 GiB
        {1099511627775ULL, L"1,024.00 GB"},
        {1099511627776ULL, L""}, // no unit from 1 TiB on
        {std::numeric_limits<unsigned long long>::max(), L""},
    };
    for (const SizeCase& c : sizes) {
        std::wstring expected = c.expected;
        if (!expected.empty()) {
            const size_t blank = expected.find(L' ');
            expected = LocaleNumber(expected.substr(0, blank)) + expected.substr(blank);
        }
        EXPECT_EQ(expected, VekJobUI::FormatSize(c.bytes)) << c.bytes;
    }

    struct DurationCase {
        long long seconds;
        const wchar_t* expected;
    };
    const DurationCase durations[] = {
        {-1, L""},
        {0, L"0 sec(s)"},
        {60, L"60 sec(s)"},
        {61, L"1 min(s)  1 sec(s)"},
        {90, L"1 min(s)  30 sec(s)"},
        {3600, L"60 min(s)  0 sec(s)"},
        {3661, L"1 hour(s) 1 min(s)"},
        {86400, L"24 hour(s) 0 min(s)"},
        {86401 + 7200, L"1 day(s) 2 hour(s)"},
        {std::numeric_limits<long long>::max(), L"2147483647 day(s) 15 hour(s)"}, // clipped days, no overflow
    };
    for (const DurationCase& c : durations)
        EXPECT_EQ(c.expected, VekJobUI::FormatDuration(c.seconds)) << c.seconds;

    struct IntervalCase {
        ULONGLONG seconds;
        ULONGLONG interval;
    };
    const IntervalCase intervals[] = {
        {7201, 3600000}, {7200, 1800000}, {3601, 1800000}, {3600, 600000}, {1801, 600000}, {1800, 300000},
        {601, 300000},   {600, 180000},   {301, 180000},   {300, 120000},  {181, 120000},  {180, 60000},
        {0, 60000},
    };
    for (const IntervalCase& c : intervals)
        EXPECT_EQ(c.interval, VekJobUI::BringToFrontInterval(c.seconds)) << c.seconds;
}

// One step of a panel script: a job event, a progress record, the clock moving on, a timer.
struct Step {
    enum Kind { Event, Progress, Clock, Timer, Command } kind;
    long long a = 0;
    unsigned long long b = 0;
};
Step Ev(int event)
{
    return {Step::Event, event};
}
Step Pr(unsigned long long total, unsigned long long done)
{
    return {Step::Progress, static_cast<long long>(total), done};
}
Step Ms(long long milliseconds)
{
    return {Step::Clock, milliseconds};
}
Step Tm(int id)
{
    return {Step::Timer, id};
}
Step Cmd(int id)
{
    return {Step::Command, id};
}

void Play(JobListRig& rig, const std::vector<Step>& steps, const nlohmann::json& job)
{
    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::Event:
            rig.Update(static_cast<int32_t>(step.a), job);
            break;
        case Step::Progress:
            rig.Progress(static_cast<unsigned long long>(step.a), step.b);
            break;
        case Step::Clock:
            rig.system->now += static_cast<ULONGLONG>(step.a);
            break;
        case Step::Timer:
            rig.Timer(static_cast<UINT_PTR>(step.a));
            break;
        case Step::Command:
            rig.Command(static_cast<UINT>(step.a));
            break;
        }
    }
}

TEST(JobPanelTexts, EventsAndProgressShowTheirTexts)
{
    const auto unknown = std::numeric_limits<unsigned long long>::max();
    struct Case {
        const char* name;
        std::vector<const wchar_t*> switches;
        bool createMsi;
        std::vector<Step> steps;
        const wchar_t* status;   // null: not checked
        const wchar_t* progress; // null: not checked
        int pauseShown;          // -1 not checked
        int32_t state;
    };
    const Case cases[] = {
        {"start", {}, false, {Ev(0)}, L"Initializing...", L"", 1, 0},
        {"download starts", {}, false, {Ev(0), Ev(2)}, L"Downloading", nullptr, 1, 0},
        {"administrator's run hides pause", {L"ADMIN_INITIATED"}, false, {Ev(0), Ev(2)}, L"Downloading", nullptr, 0, 0},
        {"percent", {}, false, {Ev(0), Ev(2), Pr(1000, 250)}, nullptr, L"Downloaded... - 25%", -1, 0},
        {"unknown total keeps the percent",
         {}, false, {Ev(0), Ev(2), Pr(1000, 250), Pr(unknown, 900)}, nullptr, L"Downloaded... - 25%", -1, 0},
        {"bytes that do not grow change nothing",
         {}, false, {Ev(0), Ev(2), Pr(1000, 500), Pr(1000, 500), Pr(1000, 400)}, nullptr, L"Downloaded... - 50%", -1, 0},
        {"first total is kept", {}, false, {Ev(0), Ev(2), Pr(2000, 500), Pr(1000, 1000)}, nullptr,
         L"Downloaded... - 50%", -1, 0},
        {"over 4 GiB", {}, false, {Ev(0), Ev(2), Pr(6 * kGiB, 3 * kGiB + 1)}, nullptr, L"Downloaded... - 50%", -1, 0},
        {"remaining time",
         {}, false, {Ev(0), Ev(2), Pr(10 * kMiB, kMiB), Ms(1000), Tm(13)},
         L"1.00 MB of 10.00 MB - 9 sec(s) remaining", nullptr, -1, 0},
        {"remaining time averages the samples",
         {}, false, {Ev(0), Ev(2), Pr(10 * kMiB, kMiB), Ms(1000), Tm(13), Pr(10 * kMiB, 3 * kMiB), Ms(1000), Tm(13)},
         L"3.00 MB of 10.00 MB - 5 sec(s) remaining", nullptr, -1, 0},
        {"no speed yet", {}, false, {Ev(0), Ev(2), Pr(10 * kMiB, 0), Ms(1000), Tm(13)}, L"Calculating...", L"", -1, 0},
        {"download finished", {}, false, {Ev(0), Ev(2), Pr(1000, 500), Ev(3)}, L"", nullptr, 0, 0},
        {"different method", {}, false, {Ev(0), Ev(2), Ev(23)}, L"A problem with the download has occurred.",
         nullptr, 0, 0},
        {"validating", {}, false, {Ev(0), Ev(2), Ev(25)}, L"Validating downloaded files", nullptr, 0, 0},
        {"installing", {}, false, {Ev(0), Ev(21)}, L"Installing...", nullptr, 0, 0},
        {"preparing a package", {}, true, {Ev(0), Ev(4)}, L"Preparing package...", nullptr, 0, 0},
        {"uninstalling", {L"UNINSTALL"}, false, {Ev(0), Ev(15)}, L"Uninstalling...", nullptr, 0, 0},
        {"files invalid", {}, false, {Ev(0), Ev(2), Ev(27)},
         L"An error occurred with the downloaded files.  Please click Retry to restart the download.", nullptr, 0, 3},
        {"disk full", {}, false, {Ev(0), Ev(2), Ev(28)},
         L"There is not enough space left on the disk to download the files. Please free up disk space and click Retry.",
         nullptr, 0, 3},
        {"install error, download again", {}, false, {Ev(0), Ev(-4)},
         L"The installation could not be completed. Click Retry to try again.", nullptr, 0, 2},
        {"install cancelled", {}, false, {Ev(0), Ev(5)}, L"Click Retry to continue your install.", nullptr, 0, 2},
        {"install failed", {}, false, {Ev(0), Ev(21), Ev(-2)}, nullptr, nullptr, -1, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JobListRig rig(1);
        for (const wchar_t* name : c.switches)
            rig.system->switches[name] = L"";
        ASSERT_TRUE(rig.Create());
        // The engine's start event carries the whole manifest.
        rig.Update(9, {{"vek", {{"job_array", {{{"create_msi", c.createMsi ? "true" : "false"}}}}}}});
        Play(rig, c.steps, {{"job_type", "install"}});
        VekJobUI& window = rig.Window();
        if (c.status) {
            EXPECT_EQ(c.status, window.GetControlText(vek::kJobUiStatusText));
        }
        if (c.progress) {
            EXPECT_EQ(c.progress, window.GetControlText(vek::kJobUiProgressText));
        }
        if (c.pauseShown >= 0) {
            EXPECT_EQ(c.pauseShown == 1, window.IsControlShown(vek::kJobUiPauseButton));
        }
        EXPECT_EQ(c.state, window.GetPanelState());
    }
}

// The first job prepares a package only when its "create_msi" is the text "true", as the main
// dialog and the tray window read it.
TEST(JobPanel, PreparingPackageOnlyForTheTextTrue)
{
    const struct {
        nlohmann::json createMsi;
        const wchar_t* status;
    } cases[] = {{"true", L"Preparing package..."}, {true, L"Installing..."}, {"TRUE", L"Installing..."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.createMsi.dump());
        JobListRig rig(1);
        ASSERT_TRUE(rig.Create());
        rig.Update(9, {{"vek", {{"job_array", {{{"create_msi", c.createMsi}}}}}}});
        Play(rig, {Ev(0), Ev(4)}, {{"job_type", "install"}});
        EXPECT_EQ(c.status, rig.Window().GetControlText(vek::kJobUiStatusText));
    }
}

TEST(JobPanel, ErrorPanelsOfferRetryAndCancel)
{
    struct Case {
        int event;
        const wchar_t* cancelCaption;
    };
    for (const Case& c : {Case{27, L"Cancel Download"}, Case{28, L"Cancel Download"}, Case{-4, L"Cancel Install"},
                          Case{5, L"Cancel Install"}}) {
        SCOPED_TRACE(c.event);
        JobListRig rig(1);
        ASSERT_TRUE(rig.Create());
        Play(rig, {Ev(0), Ev(2), Ev(c.event)}, nlohmann::json::object());
        VekJobUI& window = rig.Window();
        EXPECT_EQ(L"Retry", window.GetControlText(vek::kJobUiActionButton));
        EXPECT_TRUE(window.IsControlShown(vek::kJobUiActionButton));
        EXPECT_EQ(c.cancelCaption, window.GetControlText(vek::kJobUiCancelInstallButton));
        EXPECT_TRUE(window.IsControlShown(vek::kJobUiCancelInstallButton));
        EXPECT_FALSE(window.IsBarShown());
        // The cancel button sits left of Retry.
        RECT retry{}, cancel{};
        ::GetWindowRect(::GetDlgItem(window.GetHwnd(), vek::kJobUiActionButton), &retry);
        ::GetWindowRect(::GetDlgItem(window.GetHwnd(), vek::kJobUiCancelInstallButton), &cancel);
        EXPECT_LT(cancel.right, retry.left);
    }
    // The install error panel of a failed upgrade has its own texts and brings the dialog up.
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(40), Ev(18)}, nlohmann::json::object());
    EXPECT_EQ(1u, rig.engine->Count("resetRebootCount"));
    EXPECT_EQ(L"Upgrade failed", rig.Window().GetControlText(vek::kJobUiTitleText));
    EXPECT_EQ(L"The upgrade could not be completed.", rig.Window().GetControlText(vek::kJobUiStatusText));
    EXPECT_TRUE(rig.Window().IsControlShown(vek::kJobUiDescriptionText));
    EXPECT_EQ(1u, rig.dialog.Count(WM_VEK_SHOW_MAIN_WINDOW, 0));
}

TEST(JobPanel, FatalEngineStateAtCreationShowsTheError)
{
    JobListRig rig(1);
    rig.engine->engineState = -3;
    ASSERT_TRUE(rig.Create());
    EXPECT_EQ(L"An unrecoverable error has occurred", rig.Window().GetControlText(vek::kJobUiStatusText));
}

TEST(JobPanel, PauseThenResume)
{
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(2), Pr(1000, 100)}, nlohmann::json::object());
    VekJobUI& window = rig.Window();

    rig.Command(vek::kJobUiPauseButton);
    EXPECT_EQ(vek::kPanelPaused, window.GetPanelState());
    EXPECT_EQ(L"Resume Download", window.GetControlText(vek::kJobUiPauseButton));
    EXPECT_EQ(L"", window.GetControlText(vek::kJobUiStatusText));
    EXPECT_FALSE(window.IsBarAnimating());

    rig.Command(vek::kJobUiPauseButton);
    EXPECT_EQ(vek::kPanelWorking, window.GetPanelState());
    EXPECT_EQ(L"Pause Download", window.GetControlText(vek::kJobUiPauseButton));
    EXPECT_EQ(L"Resuming...", window.GetControlText(vek::kJobUiStatusText));
    EXPECT_EQ((std::vector<std::string>{"Pause", "Resume"}), rig.engine->calls);
}

std::wstring TempFile(const wchar_t* name, bool create)
{
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    ::DeleteFileW(path.c_str());
    if (create)
        std::ofstream(std::filesystem::path(path)) << "payload";
    return path;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Utf8(const std::wstring& text)
{
    return std::string(text.begin(), text.end()); // the test paths are ASCII
}

TEST(JobPanel, DeleteFilesForJobDeletesWhatItCanAndTellsWhetherAllWent)
{
    const std::wstring first = TempFile(L"vek-joblist-a.bin", true);
    const std::wstring second = TempFile(L"vek-joblist-b.bin", true);
    const std::wstring missing = TempFile(L"vek-joblist-missing.bin", false);
    nlohmann::json job = {{"file_array",
                           {{{"destination_file", Utf8(first)}},
                            {{"destination_file", Utf8(missing)}},
                            {{"destination_file", Utf8(second)}}}}};
    EXPECT_FALSE(VekJobUI::deleteFilesForJob(job));
    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second));

    const std::wstring third = TempFile(L"vek-joblist-c.bin", true);
    EXPECT_TRUE(VekJobUI::deleteFilesForJob({{"file_array", {{{"destination_file", Utf8(third)}}}}}));
    EXPECT_FALSE(Exists(third));
    EXPECT_TRUE(VekJobUI::deleteFilesForJob(nlohmann::json::object()));
}

TEST(JobPanel, RetryClearsWhatTheErrorLeftAndStartsAgain)
{
    struct Case {
        int event;
        std::vector<std::string> removed;
        bool filesDeleted;
        size_t retryRecorded;
    };
    const Case cases[] = {
        {27, {"0:job_error_code", "0:download_duration"}, false, 1},
        {28, {"0:job_error_code"}, false, 1},
        {-4, {}, true, 1},
        {5, {}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        const std::wstring file = TempFile(L"vek-joblist-retry.bin", true);
        JobListRig rig(1);
        ASSERT_TRUE(rig.Create());
        const nlohmann::json job = {{"job_error_code", 5},
                                    {"download_duration", 12},
                                    {"file_array", {{{"destination_file", Utf8(file)}}}}};
        Play(rig, {Ev(0), Ev(2), Ev(c.event)}, job);
        g_ExitCode = 21;
        rig.Command(vek::kJobUiActionButton);

        EXPECT_EQ(0, g_ExitCode);
        EXPECT_EQ(c.removed, rig.engine->removed);
        EXPECT_EQ(c.filesDeleted, !Exists(file));
        EXPECT_EQ(c.retryRecorded, rig.engine->Count("setRetryDownloadDone"));
        EXPECT_EQ(1u, rig.engine->Count("Start"));
        // The window's copy lost exactly the removed values.
        const nlohmann::json& node = rig.Window().GetJobNode();
        EXPECT_EQ(c.removed.empty() || c.removed.size() == 1, node.contains("download_duration"));
        EXPECT_EQ(c.removed.empty(), node.contains("job_error_code"));
        EXPECT_EQ(vek::kPanelWorking, rig.Window().GetPanelState());
        EXPECT_FALSE(rig.Window().IsControlShown(vek::kJobUiActionButton));
        ::DeleteFileW(file.c_str());
    }
}

// The installation side's wait: a thread blocked on the named event until the panel sets it.
class UpgradeWaiter {
public:
    UpgradeWaiter()
        : m_event(::CreateEventW(nullptr, TRUE, FALSE, L"VEK_ContinueUpgrade")),
          m_thread([this] { m_released = ::WaitForSingleObject(m_event, INFINITE) == WAIT_OBJECT_0; })
    {
    }
    ~UpgradeWaiter()
    {
        ::SetEvent(m_event);
        if (m_thread.joinable())
            m_thread.join();
        ::CloseHandle(m_event);
    }
    bool IsSet() const { return ::WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }
    // Whether the waiting thread got through (joins it once the event is set).
    bool Released()
    {
        if (!IsSet())
            return false;
        if (m_thread.joinable())
            m_thread.join();
        return m_released;
    }

private:
    HANDLE m_event;
    bool m_released = false;
    std::thread m_thread;
};

TEST(UpgradeCountdown, TimerEndReleasesTheWaitingInstallation)
{
    UpgradeWaiter waiter;
    JobListRig rig(1);
    rig.system->switches[L"UPGRADE_DELAY"] = L"0";
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(39)}, nlohmann::json::object());
    VekJobUI& window = rig.Window();
    EXPECT_EQ(vek::kPanelUpgradeCountdown, window.GetPanelState());
    EXPECT_TRUE(window.IsUpgradeMode());
    EXPECT_EQ(L"Upgrade ready", window.GetControlText(vek::kJobUiTitleText));
    EXPECT_EQ(L"The upgrade starts in:", window.GetControlText(vek::kJobUiStatusText));
    EXPECT_EQ(L"Upgrade Now", window.GetControlText(vek::kJobUiPauseButton));
    EXPECT_EQ(L"0 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_TRUE(window.IsControlShown(vek::kJobUiCancelCountdownButton));
    EXPECT_FALSE(waiter.IsSet());

    // UPGRADE_DELAY 0: the first tick goes on with the upgrade.
    Play(rig, {Tm(14)}, nlohmann::json::object());
    EXPECT_TRUE(waiter.Released());
    EXPECT_EQ(L"Installing...", window.GetControlText(vek::kJobUiStatusText));
    EXPECT_FALSE(window.IsControlShown(vek::kJobUiPauseButton));
    EXPECT_FALSE(window.IsControlShown(vek::kJobUiCancelCountdownButton));
    EXPECT_TRUE(rig.engine->calls.empty());
}

TEST(UpgradeCountdown, CountsDownUntilTheDelayEnds)
{
    UpgradeWaiter waiter;
    JobListRig rig(1);
    rig.system->switches[L"UPGRADE_DELAY"] = L"2";
    rig.system->switches[L"ADMIN_INITIATED"] = L"";
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(39)}, nlohmann::json::object());
    VekJobUI& window = rig.Window();
    EXPECT_EQ(L"2 min(s)  0 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_FALSE(window.IsControlShown(vek::kJobUiCancelCountdownButton));

    Play(rig, {Ms(60500), Tm(14)}, nlohmann::json::object());
    EXPECT_EQ(L"59 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_FALSE(waiter.IsSet());
    Play(rig, {Ms(59499), Tm(14)}, nlohmann::json::object());
    EXPECT_EQ(L"0 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_FALSE(waiter.IsSet());
    Play(rig, {Ms(1), Tm(14)}, nlohmann::json::object());
    EXPECT_TRUE(waiter.Released());
}

TEST(UpgradeCountdown, WithoutAutomaticUpgradeOnlyTheButtonReleases)
{
    UpgradeWaiter waiter;
    JobListRig rig(1);
    rig.system->switches[L"DISABLE_AUTOMATIC_UPGRADE"] = L"";
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(39)}, nlohmann::json::object());
    VekJobUI& window = rig.Window();
    EXPECT_FALSE(window.IsControlShown(vek::kJobUiStatusText));
    EXPECT_FALSE(window.IsControlShown(vek::kJobUiProgressText));
    // No countdown runs.
    EXPECT_FALSE(::KillTimer(window.GetHwnd(), vek::kTimerUpgradeCountdown));
    rig.system->now += 3600000;
    joblisttest::Drain();
    EXPECT_FALSE(waiter.IsSet());

    rig.Command(vek::kJobUiPauseButton);
    EXPECT_TRUE(waiter.Released());
    EXPECT_EQ((std::vector<std::string>{"createRunTask /UPGRADE_CONFIRMED"}), rig.engine->calls);
}

TEST(UpgradeCountdown, CancelGoesToTheMainDialogsExitAndReleasesNothing)
{
    UpgradeWaiter waiter;
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(39), Cmd(vek::kJobUiCancelCountdownButton)}, nlohmann::json::object());
    EXPECT_EQ(1u, rig.dialog.Count(WM_SYSCOMMAND, SC_CLOSE));
    EXPECT_FALSE(waiter.IsSet());
}

TEST(UpgradeCountdown, NoWaitingSideStillGoesOn)
{
    JobListRig rig(1);
    rig.system->switches[L"UPGRADE_DELAY"] = L"0";
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(39), Tm(14)}, nlohmann::json::object());
    EXPECT_EQ(L"Installing...", rig.Window().GetControlText(vek::kJobUiStatusText));
}

TEST(RestartDecision, SessionsAccountAndSwitchesChooseTheWay)
{
    struct Case {
        const char* name;
        size_t sessions;
        bool system;
        bool interactive;
        std::map<std::wstring, std::wstring> switches;
        int restarts;
        const wchar_t* sessionCommand; // null: no start in the sessions
        LPARAM closeParam;             // -1: the window stays
        int32_t state;
    };
    const Case cases[] = {
        {"no session, close", 0, false, true, {}, 0, nullptr, 200, 0},
        {"no session, smart restart", 0, false, true, {{L"SMART_RESTART", L""}}, 1, nullptr, 0, 0},
        {"system, two sessions",
         2, true, true, {{L"SMART_RESTART", L""}, {L"HARD_REBOOT", L""}}, 0,
         L"\"C:\\Program Files\\Run\\VekLauncher.exe\" /SHOW_RESTART_PROMPT 5 /HARD_REBOOT", 200, 0},
        {"system without desktop",
         1, true, false, {{L"SMART_RESTART", L"3"}, {L"ADMIN_INITIATED", L""}}, 0,
         L"\"C:\\Program Files\\Run\\VekLauncher.exe\" /SHOW_RESTART_PROMPT 3 /ADMIN_INITIATED", 200, 0},
        {"no desktop, close", 1, false, false, {}, 0, nullptr, 200, 0},
        {"no desktop, smart restart", 1, false, false, {{L"SMART_RESTART", L"2"}}, 1, nullptr, 0, 0},
        {"prompt", 1, false, true, {}, 0, nullptr, -1, vek::kPanelRestartPrompt},
        {"system on the desktop: prompt", 1, true, true, {}, 0, nullptr, -1, vek::kPanelRestartPrompt},
        {"countdown", 1, false, true, {{L"SMART_RESTART", L"1"}}, 0, nullptr, -1, vek::kPanelRestartCountdown},
    };
    for (const Case& c : cases) {
        for (int event : {7, 22, 36}) {
            SCOPED_TRACE(std::string(c.name) + " event " + std::to_string(event));
            JobListRig rig(1);
            rig.system->sessions = c.sessions;
            rig.system->system = c.system;
            rig.system->interactive = c.interactive;
            rig.system->switches = c.switches;
            ASSERT_TRUE(rig.Create());
            Play(rig, {Ev(0), Ev(21), Ev(event)}, nlohmann::json::object());
            EXPECT_EQ(c.restarts, rig.system->restarts);
            if (c.sessionCommand) {
                EXPECT_EQ((std::vector<std::wstring>{c.sessionCommand}), rig.system->sessionStarts);
            } else {
                EXPECT_TRUE(rig.system->sessionStarts.empty());
            }
            const auto* close = rig.dialog.Last(WM_SYSCOMMAND);
            if (c.closeParam < 0) {
                EXPECT_EQ(nullptr, close);
            } else {
                ASSERT_NE(nullptr, close);
                EXPECT_EQ(static_cast<WPARAM>(SC_CLOSE), close->wParam);
                EXPECT_EQ(c.closeParam, close->lParam);
            }
            EXPECT_EQ(c.state, rig.Window().GetPanelState());
        }
    }
}

TEST(RestartPanels, PromptTextsAndButtons)
{
    struct Case {
        bool uninstall;
        const wchar_t* status;
    };
    for (const Case& c : {Case{false, L"Your installation is waiting for a restart."},
                          Case{true, L"You must restart to continue the uninstallation."}}) {
        JobListRig rig(1);
        if (c.uninstall)
            rig.system->switches[L"UNINSTALL"] = L"";
        ASSERT_TRUE(rig.Create());
        Play(rig, {Ev(0), Ev(22)}, nlohmann::json::object());
        VekJobUI& window = rig.Window();
        EXPECT_EQ(c.status, window.GetControlText(vek::kJobUiStatusText));
        EXPECT_EQ(L"Restart Later", window.GetControlText(vek::kJobUiActionButton));
        EXPECT_EQ(L"Restart Now", window.GetControlText(vek::kJobUiRestartNowButton));
        EXPECT_TRUE(window.IsControlShown(vek::kJobUiRestartNowButton));
        EXPECT_FALSE(window.IsControlShown(vek::kJobUiProgressText));

        // Later minimizes the main dialog; Now closes and restarts Windows.
        rig.Command(vek::kJobUiActionButton);
        EXPECT_EQ(1u, rig.dialog.Count(WM_SYSCOMMAND, SC_MINIMIZE));
        EXPECT_EQ(0, rig.system->restarts);
        rig.Command(vek::kJobUiRestartNowButton);
        EXPECT_EQ(1, rig.system->restarts);
        ASSERT_NE(nullptr, rig.dialog.Last(WM_SYSCOMMAND));
        EXPECT_EQ(static_cast<WPARAM>(SC_CLOSE), rig.dialog.Last(WM_SYSCOMMAND)->wParam);
        EXPECT_EQ(0, rig.dialog.Last(WM_SYSCOMMAND)->lParam);
    }
}

TEST(RestartPanels, AutomaticRestartCountsDownBringsTheDialogBackAndRestarts)
{
    JobListRig rig(1);
    rig.system->switches[L"SMART_RESTART"] = L"10"; // 600 s: the dialog comes back every 3 minutes
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0), Ev(36)}, nlohmann::json::object());
    VekJobUI& window = rig.Window();
    EXPECT_EQ(L"Your device is about to restart in:", window.GetControlText(vek::kJobUiStatusText));
    EXPECT_EQ(L"10 min(s)  0 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_EQ(L"Restart Now", window.GetControlText(vek::kJobUiActionButton));
    EXPECT_TRUE(window.IsControlShown(vek::kJobUiCancelCountdownButton));

    Play(rig, {Ms(180000), Tm(15)}, nlohmann::json::object());
    EXPECT_EQ(L"7 min(s)  0 sec(s)", window.GetControlText(vek::kJobUiProgressText));
    EXPECT_EQ(0u, rig.dialog.Count(WM_VEK_SHOW_MAIN_WINDOW, 0));
    Play(rig, {Ms(1), Tm(15)}, nlohmann::json::object());
    EXPECT_EQ(1u, rig.dialog.Count(WM_VEK_SHOW_MAIN_WINDOW, 0));
    // 419 s left: the next time is 3 minutes later again.
    Play(rig, {Ms(180000), Tm(15)}, nlohmann::json::object());
    EXPECT_EQ(1u, rig.dialog.Count(WM_VEK_SHOW_MAIN_WINDOW, 0));
    Play(rig, {Ms(1), Tm(15)}, nlohmann::json::object());
    EXPECT_EQ(2u, rig.dialog.Count(WM_VEK_SHOW_MAIN_WINDOW, 0));
    EXPECT_EQ(0, rig.system->restarts);

    Play(rig, {Ms(240000), Tm(15)}, nlohmann::json::object());
    EXPECT_EQ((std::vector<std::string>{"Stop(wait)"}), rig.engine->calls);
    EXPECT_EQ(1, rig.system->restarts);
    ASSERT_NE(nullptr, rig.dialog.Last(WM_SYSCOMMAND));
    EXPECT_EQ(vek::kJobUiCloseCountdownEnd, rig.dialog.Last(WM_SYSCOMMAND)->lParam);
}

TEST(RestartPanels, RestartAndUpgrade)
{
    for (bool automatic : {true, false}) {
        SCOPED_TRACE(automatic);
        JobListRig rig(1);
        rig.system->switches[L"UPGRADE_DELAY"] = L"1";
        if (!automatic)
            rig.system->switches[L"DISABLE_AUTOMATIC_UPGRADE"] = L"";
        ASSERT_TRUE(rig.Create());
        Play(rig, {Ev(0), Ev(42)}, nlohmann::json::object());
        VekJobUI& window = rig.Window();
        EXPECT_EQ(vek::kPanelRestartAndUpgradeCountdown, window.GetPanelState());
        EXPECT_EQ(L"Restart and Upgrade", window.GetControlText(vek::kJobUiActionButton));
        EXPECT_EQ(automatic, window.IsControlShown(vek::kJobUiStatusText));
        EXPECT_EQ(automatic, ::KillTimer(window.GetHwnd(), vek::kTimerRestartCountdown) != FALSE);

        g_ExitCode = 0;
        rig.Command(vek::kJobUiActionButton);
        EXPECT_EQ(12, g_ExitCode);
        std::vector<std::string> expected = {"Stop(wait)"};
        if (!automatic)
            expected.insert(expected.begin(), "createRunTask /UPGRADE_CONFIRMED");
        EXPECT_EQ(expected, rig.engine->calls);
        EXPECT_EQ(1, rig.system->restarts);
        g_ExitCode = 0;
    }
}

TEST(FinishPanel, DescriptionAndLinks)
{
    struct Case {
        int kindEvent;
        const wchar_t* description;
        bool activationLink;
    };
    for (const Case& c : {Case{29, L"Vek Shield has been successfully activated", false},
                          Case{30, L"To activate Vek Shield,", true}, Case{31, L"To activate Vek Shield,", true}}) {
        SCOPED_TRACE(c.kindEvent);
        JobListRig rig(1);
        ASSERT_TRUE(rig.Create());
        rig.Update(9, {{"vek", {{"global", {{"finish_page_url", "https://finish.test/done"}}}}}});
        const nlohmann::json job = {{"job_type", "install"}, {"distribution", {{"job_description", "Vek Shield"}}}};
        Play(rig, {Ev(0), Ev(c.kindEvent)}, job);
        rig.Update(10, {{"vek", {{"global", {{"finish_page_url", "https://finish.test/done"}}}}}});
        VekJobUI& window = rig.Window();
        EXPECT_EQ(c.description, window.GetFinishDescription());
        EXPECT_EQ(c.activationLink, window.IsControlShown(vek::kJobUiActivationLink));

        rig.Command(vek::kJobUiClickHereLink);
        rig.Command(vek::kJobUiActivationLink);
        const std::vector<std::wstring> expected = {
            L"https://finish.test/done?lg=English&ct=united states",
            CVekResourceLoader::Instance().GetString(284) + L"?lg=English&ct=united states"};
        EXPECT_EQ(expected, rig.system->opened);
    }
    // A download job's link opens the download folder.
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    Play(rig, {Ev(0)}, {{"job_type", "download"}});
    rig.Command(vek::kJobUiClickHereLink);
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\vek-test-downloads"}), rig.system->opened);
}

// A panel after a script, saved for a person to look at.
void SavePanelScreenshot(LANGID language, const std::vector<Step>& steps, const wchar_t* name)
{
    CVekResourceLoader::Instance().AddPreferredLanguage(language);
    {
        JobListRig rig(1, true);
        ASSERT_TRUE(rig.Create());
        Play(rig, steps, {{"job_type", "install"}});
        uitest::Pump(200);
        const uitest::Capture capture = uitest::CaptureWindow(rig.dialog.GetHwnd());
        EXPECT_FALSE(capture.Save(name).empty());
        // Something besides the white background was drawn.
        size_t coloured = 0;
        for (DWORD pixel : capture.pixels)
            if ((pixel & 0xFFFFFF) != 0xFFFFFF)
                ++coloured;
        EXPECT_GT(coloured, capture.pixels.size() / 100);
    }
    CVekResourceLoader::Instance().AddPreferredLanguage(0x0409);
}

TEST(JobPanelScreenshots, PanelsInEnglishAndGerman)
{
    const std::vector<Step> progress = {Ev(0), Ev(2), Pr(48 * kMiB, 12 * kMiB), Ms(2000), Tm(13)};
    const std::vector<Step> upgrade = {Ev(0), Ev(39)};
    const std::vector<Step> diskFull = {Ev(0), Ev(2), Ev(28)};
    SavePanelScreenshot(0x0409, progress, L"joblist_progress_en-us");
    SavePanelScreenshot(0x0407, progress, L"joblist_progress_de-de");
    SavePanelScreenshot(0x0409, upgrade, L"joblist_upgrade_en-us");
    SavePanelScreenshot(0x0407, upgrade, L"joblist_upgrade_de-de");
    SavePanelScreenshot(0x0409, diskFull, L"joblist_diskfull_en-us");
    SavePanelScreenshot(0x0407, diskFull, L"joblist_diskfull_de-de");
}

} // namespace
