// The main dialog as the product builds it: the product's job list with its job windows (over a
// recording job engine), driven by the job updates the tray window relays. In every state a job
// panel shows (downloading, paused, upgrade countdown, error with Retry, restart prompt, disk
// full, a download problem waiting for the engine's end) and on every end page a job event leads
// to after the panel showed (failed installation, plug-in failure, stop, fatal error, backend,
// already installed, re-enrolment, prerequisite, package), in English and German, the test saves
// a screenshot (screenshots/dialogjobs_<language>_<dpi>_<state>.png) and checks the geometry: no
// control the state shows lies under another, and every text fits its control. A page shows no
// control of the job panel, and what the screen shows of it is what a full repaint draws: nothing
// of an earlier state stays behind. Keys go through the real message loop.
#include "DialogTestSupport.h"

#include "../UiTestSupport.h"
#include "../joblist/JobListFixture.h"
#include "ui/controls/CGDIPlusButtonImpl.h"
#include "ui/controls/CStaticImage.h"
#include "ui/controls/CTransparentStatic.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/controls/VekHyperLink.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"
#include "ui/window/VekMessageLoop.h"
#include "tests/support/CreateProcessRetrying.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using dialogtest::DialogSetup;
using dialogtest::DialogTest;
using json = nlohmann::json;

constexpr unsigned long long kMiB = 1024ULL * 1024ULL;

// ---- what the screen shows -------------------------------------------------------------------

bool IsContainer(HWND window)
{
    vek::VekWindowImpl* object = vek::VekWindowImpl::FromHandle(window);
    return dynamic_cast<vek::VekJobList*>(object) != nullptr || dynamic_cast<vek::VekJobUI*>(object) != nullptr;
}

std::wstring Describe(HWND window)
{
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    wchar_t text[128] = {};
    ::GetWindowTextW(window, text, 128);
    if (auto* link = dynamic_cast<vek::VekHyperLink*>(vek::VekWindowImpl::FromHandle(window)))
        wcsncpy_s(text, link->GetLabel().c_str(), _TRUNCATE);
    if (auto* image = dynamic_cast<vek::CStaticImage*>(vek::VekWindowImpl::FromHandle(window)))
        wcsncpy_s(text, (L"PNG " + std::to_wstring(image->GetResourceId())).c_str(), _TRUNCATE);
    RECT rect{};
    ::GetWindowRect(window, &rect);
    std::wostringstream out;
    out << className << L" " << ::GetDlgCtrlID(window) << L" \"" << text << L"\" [" << rect.left << L"," << rect.top
        << L" " << rect.right - rect.left << L"x" << rect.bottom - rect.top << L"]";
    return out.str();
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

// Every control the user sees: visible descendants with an area, the job list and the job
// windows themselves left out (they only hold controls).
// Win32 callbacks are __stdcall on x86, which a lambda cannot convert to: a plain CALLBACK
// function collects the descendants instead.
BOOL CALLBACK CollectWindow(HWND window, LPARAM data)
{
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return TRUE;
}

std::vector<HWND> Descendants(HWND root)
{
    std::vector<HWND> all;
    ::EnumChildWindows(root, CollectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
}

std::vector<HWND> ShownControls(HWND root)
{
    std::vector<HWND> controls;
    for (HWND window : Descendants(root)) {
        RECT rect{};
        ::GetWindowRect(window, &rect);
        if (::IsWindowVisible(window) && !IsContainer(window) && rect.right > rect.left && rect.bottom > rect.top)
            controls.push_back(window);
    }
    return controls;
}

// The ancestor of `window` (or itself) whose parent is `parent`.
HWND AncestorUnder(HWND window, HWND parent)
{
    while (window != nullptr && ::GetParent(window) != parent)
        window = ::GetParent(window);
    return window;
}

// Whether `lower` lies below `upper` among its siblings.
bool IsBelow(HWND lower, HWND upper)
{
    for (HWND next = ::GetWindow(upper, GW_HWNDNEXT); next != nullptr; next = ::GetWindow(next, GW_HWNDNEXT))
        if (next == lower)
            return true;
    return false;
}

// A picture that serves as the background of what lies on it: a sibling of the other control,
// below it, and clipped by it, so that it never paints over it.
bool IsBackgroundOf(HWND picture, HWND other)
{
    if (dynamic_cast<vek::CStaticImage*>(vek::VekWindowImpl::FromHandle(picture)) == nullptr)
        return false;
    HWND parent = ::GetParent(picture);
    HWND otherSide = AncestorUnder(other, parent);
    return otherSide != nullptr && (::GetWindowLongPtrW(picture, GWL_STYLE) & WS_CLIPSIBLINGS) != 0 &&
           IsBelow(picture, otherSide);
}

// "a covers b" lines for every two shown controls that overlap without one being the other's
// background.
std::vector<std::string> Overlaps(HWND root)
{
    std::vector<std::string> found;
    const std::vector<HWND> controls = ShownControls(root);
    for (size_t i = 0; i < controls.size(); ++i) {
        for (size_t j = i + 1; j < controls.size(); ++j) {
            RECT a{}, b{}, both{};
            ::GetWindowRect(controls[i], &a);
            ::GetWindowRect(controls[j], &b);
            if (!::IntersectRect(&both, &a, &b))
                continue;
            if (IsBackgroundOf(controls[i], controls[j]) || IsBackgroundOf(controls[j], controls[i]))
                continue;
            found.push_back(Narrow(Describe(controls[i]) + L" overlaps " + Describe(controls[j])));
        }
    }
    return found;
}

// The controls whose text needs more room than the control has, measured in its own font and
// line breaking.
std::vector<std::string> TextsThatDoNotFit(HWND root)
{
    std::vector<std::string> found;
    for (HWND window : ShownControls(root)) {
        vek::VekWindowImpl* object = vek::VekWindowImpl::FromHandle(window);
        std::wstring text;
        HFONT font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
        UINT format = DT_SINGLELINE;
        int padding = 0;
        if (auto* link = dynamic_cast<vek::VekHyperLink*>(object)) {
            text = link->GetLabel();
            font = link->GetLinkFont();
        } else if (auto* label = dynamic_cast<vek::CTransparentStatic*>(object)) {
            label->GetText(text);
            format = label->GetFormat() & (DT_WORDBREAK | DT_SINGLELINE | DT_NOPREFIX | DT_EXPANDTABS);
        } else if (dynamic_cast<vek::CGDIPlusButtonImpl*>(object) != nullptr) {
            wchar_t caption[256] = {};
            ::GetWindowTextW(window, caption, 256);
            text = caption;
            padding = 4; // the image's own edge
        } else {
            continue;
        }
        if (text.empty())
            continue;
        RECT client{};
        ::GetClientRect(window, &client);
        vek::VekWindowDC dc(window);
        vek::VekSelectObject selected(dc.Get(), font != nullptr ? static_cast<HGDIOBJ>(font) : ::GetStockObject(DEFAULT_GUI_FONT));
        RECT need{0, 0, client.right, 0};
        ::DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &need, DT_CALCRECT | format);
        if (need.right + 2 * padding > client.right || need.bottom > client.bottom)
            found.push_back(Narrow(Describe(window) + L" needs " + std::to_wstring(need.right) + L"x" +
                                   std::to_wstring(need.bottom)));
    }
    return found;
}

// Set in a copy of this program that the 144 DPI test starts: the resolution it must see.
const wchar_t kExpectedDpiVariable[] = L"VEK_TEST_EXPECTED_DPI";

// ---- the fixture -----------------------------------------------------------------------------

class DialogWithJobsTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        vek::VekMessageLoop::SetCurrent(&loop);
    }
    void TearDown() override
    {
        DialogTest::TearDown();
        jobList = nullptr;
        vek::VekMessageLoop::SetCurrent(nullptr);
    }

    // The dialog with the product's job list of one job.
    void OpenWithJobs(DialogSetup setup = {})
    {
        jobEngine = std::make_shared<joblisttest::RecordingEngine>(1);
        jobSystem = std::make_shared<joblisttest::RecordingSystem>();
        setup.makeJobList = [this]() -> std::unique_ptr<vek::VekDialogJobList> {
            auto made = std::make_unique<vek::VekJobList>(std::static_pointer_cast<vek::VekJobUIEngine>(jobEngine),
                                                          nullptr);
            made->SetSystem(jobSystem);
            jobList = made.get();
            return made;
        };
        Open(setup);
    }
    vek::VekJobUI& Job() { return *jobList->GetJobWindow(0); }
    HWND JobControl(UINT id) { return ::GetDlgItem(Job().GetHwnd(), static_cast<int>(id)); }
    void Progress(unsigned long long total, unsigned long long done)
    {
        auto record = std::make_unique<vek::VekProgressRecord>();
        record->total = total;
        record->done = done;
        ASSERT_TRUE(vek::PostProgressRecord(dialog->hwnd(), WM_VEK_JOB_PROGRESS_INFO, std::move(record)));
        Drain();
    }
    // Runs the message loop of the program until the messages posted so far are handled.
    void RunLoop()
    {
        ::PostQuitMessage(0);
        loop.Run();
    }

    vek::VekMessageLoop loop;
    std::shared_ptr<joblisttest::RecordingEngine> jobEngine;
    std::shared_ptr<joblisttest::RecordingSystem> jobSystem;
    vek::VekJobList* jobList = nullptr;
};

// ---- keys ------------------------------------------------------------------------------------

TEST_F(DialogWithJobsTest, EnterThatAnswersTheExitQuestionPressesNothingElse)
{
    OpenWithJobs();
    Event(0);
    Event(2);
    HWND pause = JobControl(vek::kJobUiPauseButton);
    ASSERT_NE(0, ::GetWindowLongPtrW(pause, GWL_STYLE) & WS_VISIBLE);
    ::SetFocus(pause);

    // The question is answered No with the Enter key; its key-up then reaches the program's loop
    // while the job's pause button has the focus.
    system.answer = IDNO;
    system.enterDown = true;
    ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    ::PostMessageW(pause, WM_KEYUP, VK_RETURN, 0xC01C0001);
    RunLoop();
    EXPECT_EQ(1, system.boxes);
    EXPECT_EQ(0u, jobEngine->Count("Pause")) << "the Enter that answered the question also pressed the button";

    // The next Enter is the user's own: it presses the focused button, once.
    system.enterDown = false;
    ::PostMessageW(pause, WM_KEYUP, VK_RETURN, 0xC01C0001);
    RunLoop();
    EXPECT_EQ(1u, jobEngine->Count("Pause"));
    EXPECT_EQ(1, system.boxes);
}

// ---- buttons and links -------------------------------------------------------------------------

TEST_F(DialogWithJobsTest, EveryButtonTracksTheMouseAndTheLinksHaveTheDialogsColour)
{
    OpenWithJobs();
    Event(0);
    Event(2);
    const std::vector<HWND> all = Descendants(dialog->hwnd());
    int buttons = 0;
    for (HWND window : all) {
        if (auto* button = dynamic_cast<vek::CGDIPlusButtonImpl*>(vek::VekWindowImpl::FromHandle(window))) {
            ++buttons;
            EXPECT_EQ(static_cast<DWORD>(vek::CGDIPlusButtonImpl::kStyleHover), button->GetExtendedStyle())
                << Narrow(Describe(window));
        }
    }
    EXPECT_GE(buttons, 10) << "the dialog's five and the job window's five";

    // Focus alone does not select the hover image.
    HWND pause = JobControl(vek::kJobUiPauseButton);
    ::SetFocus(pause);
    auto* button = dynamic_cast<vek::CGDIPlusButtonImpl*>(vek::VekWindowImpl::FromHandle(pause));
    ASSERT_NE(nullptr, button);
    EXPECT_EQ(IDR_PNG_BUTTON, button->GetCurrentImageId());

    for (UINT id : {3310u, 3311u, 3312u}) {
        auto* link = dynamic_cast<vek::VekHyperLink*>(
            vek::VekWindowImpl::FromHandle(::GetDlgItem(dialog->hwnd(), static_cast<int>(id))));
        ASSERT_NE(nullptr, link) << id;
        EXPECT_EQ(static_cast<COLORREF>(0xAD3D00), link->GetLinkColour()) << id;
    }
}

// The dialog's and the job window's text lines are grey 0x666666, but the progress and countdown
// line, which is green 0x1CA323; both windows use the same two colours.
TEST_F(DialogWithJobsTest, TextLinesOfTheDialogAndTheJobWindowShareTheirColours)
{
    OpenWithJobs();
    Event(0);
    constexpr COLORREF kGrey = 0x666666;
    constexpr COLORREF kGreen = 0x1CA323;
    struct Line {
        HWND window;
        COLORREF colour;
    };
    const Line lines[] = {
        {::GetDlgItem(dialog->hwnd(), 3320), kGrey},
        {::GetDlgItem(dialog->hwnd(), 3321), kGrey},
        {::GetDlgItem(dialog->hwnd(), 4322), kGreen},
        {JobControl(vek::kJobUiTitleText), kGrey},
        {JobControl(vek::kJobUiStatusText), kGrey},
        {JobControl(vek::kJobUiProgressText), kGreen},
        {JobControl(vek::kJobUiSecondLineText), kGrey},
        {JobControl(vek::kJobUiDescriptionText), kGrey},
    };
    for (const Line& line : lines) {
        auto* text = dynamic_cast<vek::CTransparentStatic*>(vek::VekWindowImpl::FromHandle(line.window));
        ASSERT_NE(nullptr, text) << ::GetDlgCtrlID(line.window);
        EXPECT_EQ(line.colour, text->GetColour()) << ::GetDlgCtrlID(line.window) << std::hex << " " << text->GetColour();
    }
}

// ---- every state, whole ---------------------------------------------------------------------------

// What the middle of the dialog shows in a state: the job panel, or an end page.
enum class Middle { kJobPanel, kPage };

struct State {
    const char* name;
    std::function<void(DialogWithJobsTest&)> play;
    Middle middle = Middle::kJobPanel;
};

// The job panel's visible controls, described; empty when none shows.
std::vector<std::string> ShownJobPanelControls(HWND jobList)
{
    std::vector<std::string> shown;
    for (HWND window : Descendants(jobList))
        if (::IsWindowVisible(window) && !IsContainer(window))
            shown.push_back(Narrow(Describe(window)));
    return shown;
}

// The pixels where two pictures of one window differ: how many, and the rectangle around them.
std::string Differences(const uitest::Capture& a, const uitest::Capture& b)
{
    if (a.width != b.width || a.height != b.height)
        return "the pictures differ in size";
    size_t count = 0;
    RECT box{a.width, a.height, -1, -1};
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            if (a.At(x, y) == b.At(x, y))
                continue;
            ++count;
            box.left = std::min<LONG>(box.left, x);
            box.top = std::min<LONG>(box.top, y);
            box.right = std::max<LONG>(box.right, x + 1);
            box.bottom = std::max<LONG>(box.bottom, y + 1);
        }
    }
    if (count == 0)
        return {};
    std::ostringstream out;
    out << count << " pixels in [" << box.left << "," << box.top << " " << box.right - box.left << "x"
        << box.bottom - box.top << "]";
    return out.str();
}

struct StateLanguage {
    const char* name;
    LANGID id;
};

class DialogWithJobsStates;
void Installing(DialogWithJobsStates& s);
void FailJob(DialogWithJobsStates& s, int event);

class DialogWithJobsStates : public DialogWithJobsTest {
public:
    void PlayState(const State& state) { state.play(*this); }
    using DialogWithJobsTest::Event;
    using DialogWithJobsTest::Job;
    using DialogWithJobsTest::JobControl;
    using DialogWithJobsTest::Progress;
    std::shared_ptr<joblisttest::RecordingSystem>& JobSystem() { return jobSystem; }

    void ShootEveryState()
    {
        const State states[] = {
            {"downloading",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Progress(48 * kMiB, 12 * kMiB);
                 s.JobSystem()->now += 2000;
                 ::SendMessageW(s.Job().GetHwnd(), WM_TIMER, 13, 0);
             }},
            {"paused",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Progress(48 * kMiB, 12 * kMiB);
                 ::SendMessageW(s.Job().GetHwnd(), WM_COMMAND, MAKEWPARAM(vek::kJobUiPauseButton, BN_CLICKED), 0);
             }},
            {"upgrade",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(39);
             }},
            {"retry",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(27);
                 s.Event(11);
             }},
            {"restart",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(21);
                 s.Event(22);
             }},
            {"diskfull",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(28);
                 s.Event(11);
             }},
            {"package",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 json document = DialogTest::Manifest();
                 document["vek"]["job_array"][0]["create_msi"] = "true";
                 s.Event(10, document);
             },
             Middle::kPage},
            // A download problem shows the panel while the engine ends; a second retry is not
            // kept for the engine's end, and the panel shows all the same.
            {"retry_pending",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(27);
             }},
            {"diskfull_pending",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(28);
             }},
            {"install_retry_pending",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 s.Event(-4);
             }},
            {"install_retry",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 s.Event(-4);
                 s.Event(11);
             }},
            {"second_retry",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.engine->retryCount = 2;
                 s.Event(9);
                 s.Event(0);
                 s.Event(2);
                 s.Event(27);
                 s.Event(11);
             }},
            // The end pages a job event leads to, each after the job panel showed.
            {"failed",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 FailJob(s, -2);
             },
             Middle::kPage},
            {"failed_after_success",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 s.Event(4);
                 FailJob(s, -2);
             },
             Middle::kPage},
            {"plugin_failure",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 FailJob(s, -3);
             },
             Middle::kPage},
            {"stopped",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 FailJob(s, -5);
             },
             Middle::kPage},
            {"fatal",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Progress(48 * kMiB, 12 * kMiB);
                 FailJob(s, -1);
             },
             Middle::kPage},
            {"download_failed",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(12, json{{"job_error_code", 0x80047EC6u}});
             },
             Middle::kPage},
            {"backend",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(12, json{{"job_error_code", 0x80047ECDu}});
             },
             Middle::kPage},
            {"already_installed",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 s.Event(17);
             },
             Middle::kPage},
            {"reenrolled",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 Installing(s);
                 s.Event(37);
             },
             Middle::kPage},
            {"prerequisite",
             [](DialogWithJobsTest& t) {
                 auto& s = static_cast<DialogWithJobsStates&>(t);
                 s.Event(0);
                 s.Event(2);
                 s.Event(41);
             },
             Middle::kPage},
        };
        const StateLanguage languages[] = {{"en", 0x0409}, {"de", 0x0407}};
        const std::string dpi = std::to_string(vek::GetScreenCaps(LOGPIXELSX));
        wchar_t expected[16] = {};
        if (::GetEnvironmentVariableW(kExpectedDpiVariable, expected, 16) > 0) {
            ASSERT_EQ(std::to_string(_wtoi(expected)), dpi) << "the resolution the starting test set";
        }
        for (const StateLanguage& language : languages) {
            for (const State& state : states) {
                SCOPED_TRACE(std::string(language.name) + " " + dpi + " " + state.name);
                CVekResourceLoader::Instance().AddPreferredLanguage(language.id);
                engine = std::make_shared<dialogtest::FakeEngine>();
                OpenWithJobs();
                ASSERT_FALSE(Closed());
                // Shown from the start, as the tray window shows it: every state paints over
                // what the states before it painted.
                dialog->showWindow(SW_SHOWNORMAL);
                Drain();
                PlayState(state);
                dialog->showWindow(SW_SHOWNORMAL);
                Drain();
                const uitest::Capture shown = uitest::CaptureWindow(dialog->hwnd(), false);
                const uitest::Capture capture = uitest::CaptureWindow(dialog->hwnd());
                const std::string name = std::string("dialogjobs_") + language.name + "_" + dpi + "_" + state.name;
                EXPECT_FALSE(capture.Save(std::wstring(name.begin(), name.end())).empty());
                for (const std::string& overlap : Overlaps(dialog->hwnd()))
                    ADD_FAILURE() << overlap;
                for (const std::string& cut : TextsThatDoNotFit(dialog->hwnd()))
                    ADD_FAILURE() << cut;
                if (state.middle == Middle::kJobPanel) {
                    EXPECT_TRUE(::IsWindowVisible(jobList->hwnd())) << "the middle stays blank: no job panel shows";
                } else {
                    for (const std::string& control : ShownJobPanelControls(jobList->hwnd()))
                        ADD_FAILURE() << "the job panel shows through the page: " << control;
                    // The page's own painting leaves what a full repaint draws; a remnant of the
                    // panel or of a text's earlier place would differ (the picture is kept).
                    const std::string remnants = Differences(shown, capture);
                    if (!remnants.empty()) {
                        const std::string shownName = name + "_as_shown";
                        shown.Save(std::wstring(shownName.begin(), shownName.end()));
                        ADD_FAILURE() << "the screen keeps what a repaint removes: " << remnants;
                    }
                }
                TearDown();
                SetUp();
            }
        }
        CVekResourceLoader::Instance().AddPreferredLanguage(0x0409);
    }
};

// The job panel of a download that finished and an installation that runs.
void Installing(DialogWithJobsStates& s)
{
    s.Event(0);
    s.Event(2);
    s.Progress(48 * kMiB, 48 * kMiB);
    s.Event(3);
    s.Event(21);
}

// The job ends with a failure event; the engine's first job record carries its error code, as a
// failed installation leaves it.
void FailJob(DialogWithJobsStates& s, int event)
{
    json manifest = DialogTest::Manifest();
    manifest["vek"]["job_array"][0]["job_error_code"] = 0x80070643u;
    EXPECT_EQ(s.engine->manifest->Adopt(manifest), S_OK);
    s.Event(event, manifest["vek"]["job_array"][0]);
}

TEST_F(DialogWithJobsStates, EveryStateShowsEveryControlWholeInEnglishAndGerman)
{
    ShootEveryState();
}

// A registry value set for the test's time and put back as it was.
class ScopedDword {
public:
    ScopedDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value) : m_name(name)
    {
        if (::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_key, nullptr) !=
            ERROR_SUCCESS) {
            m_key = nullptr;
            return;
        }
        DWORD size = sizeof(m_old);
        m_had = ::RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&m_old), &size) ==
                ERROR_SUCCESS;
        m_set = ::RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
                ERROR_SUCCESS;
    }
    ~ScopedDword()
    {
        if (m_key == nullptr)
            return;
        if (m_had)
            ::RegSetValueExW(m_key, m_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_old), sizeof(m_old));
        else
            ::RegDeleteValueW(m_key, m_name);
        ::RegCloseKey(m_key);
    }
    bool Set() const { return m_set; }

private:
    const wchar_t* m_name;
    HKEY m_key = nullptr;
    DWORD m_old = 0;
    bool m_had = false;
    bool m_set = false;
};

// The same states at 144 DPI. A program reads the screen's resolution when it starts, so a copy
// of this program runs them while the resolution is set to 144 (the test programs of the user
// interface run alone, so no other program sees the setting).
TEST(DialogWithJobsAt144Dpi, EveryStateShowsEveryControlWholeInEnglishAndGerman)
{
    if (::GetEnvironmentVariableW(kExpectedDpiVariable, nullptr, 0) > 0)
        GTEST_SKIP() << "inside the copy";
    ScopedDword user(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", 144);
    ScopedDword machine(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts",
                        L"LogPixels", 144);
    ASSERT_TRUE(user.Set());
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=DialogWithJobsStates.EveryStateShowsEveryControlWhole*";
    ASSERT_TRUE(::SetEnvironmentVariableW(kExpectedDpiVariable, L"144"));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const BOOL started =
        vek::test::CreateProcessRetrying(self, commandLine.data(), FALSE, 0, nullptr, &startup, &process);
    ::SetEnvironmentVariableW(kExpectedDpiVariable, nullptr);
    ASSERT_TRUE(started) << ::GetLastError();
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_EQ(0u, exitCode) << "the states at 144 DPI (the copy's output above says which)";
}

} // namespace
