// The job list window: one hidden job window per job, the current one shown as jobs start,
// updates and progress relayed only to the current window, and the clicks and closes that go on
// to the main dialog.
#include "JobListFixture.h"

#include <gtest/gtest.h>

namespace {

using joblisttest::JobListRig;

bool Shown(HWND window)
{
    return (::GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::vector<bool> Visibility(JobListRig& rig)
{
    std::vector<bool> shown;
    for (size_t i = 0; i < rig.list->GetJobWindowCount(); ++i)
        shown.push_back(Shown(rig.Window(i).GetHwnd()));
    return shown;
}

TEST(JobList, JobStartsShowEachWindowInTurnAndNeverPassTheLast)
{
    JobListRig rig(3);
    ASSERT_TRUE(rig.Create());
    ASSERT_EQ(3u, rig.list->GetJobWindowCount());
    EXPECT_EQ(-1, rig.list->GetCurrentIndex());
    EXPECT_EQ((std::vector<bool>{false, false, false}), Visibility(rig));

    const std::vector<std::vector<bool>> expected = {
        {true, false, false}, {false, true, false}, {false, false, true}};
    for (size_t i = 0; i < expected.size(); ++i) {
        rig.Update(0, {{"job_type", "install"}, {"index", i}});
        EXPECT_EQ(static_cast<int32_t>(i), rig.list->GetCurrentIndex());
        EXPECT_EQ(expected[i], Visibility(rig)) << "after start " << i;
        // The update reached the window of the job that started, as a copy.
        EXPECT_EQ(i, rig.Window(i).GetJobNode().value("index", size_t{99}));
    }
    // A fourth start has no window: ignored.
    rig.Update(0);
    EXPECT_EQ(2, rig.list->GetCurrentIndex());
    EXPECT_EQ(2u, rig.Window(2).GetJobNode().value("index", size_t{99}));

    // All jobs done with several jobs hides the last window; the engine's end leaves none current.
    rig.Update(10, {{"vek", {{"job_array", nlohmann::json::array()}}}});
    EXPECT_EQ((std::vector<bool>{false, false, false}), Visibility(rig));
    rig.Update(11);
    EXPECT_EQ(-1, rig.list->GetCurrentIndex());
}

TEST(JobList, SingleJobStaysVisibleWhenAllJobsAreDone)
{
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    rig.Update(0);
    rig.Update(10, {{"vek", nlohmann::json::object()}});
    EXPECT_TRUE(Shown(rig.Window().GetHwnd()));
    EXPECT_EQ(vek::kPanelFinished, rig.Window().GetPanelState());
}

TEST(JobList, ProgressWithoutCurrentWindowIsDropped)
{
    JobListRig rig(2);
    ASSERT_TRUE(rig.Create());
    // Before the first start, and after the engine started anew (index back to -1).
    rig.Progress(1000, 500);
    rig.Update(0);
    rig.Update(2);
    EXPECT_EQ(L"", rig.Window().GetControlText(vek::kJobUiProgressText));
    rig.Progress(1000, 500);
    EXPECT_EQ(L"Downloaded... - 50%", rig.Window().GetControlText(vek::kJobUiProgressText));
    rig.Update(9);
    rig.Progress(1000, 900);
    EXPECT_EQ(L"Downloaded... - 50%", rig.Window().GetControlText(vek::kJobUiProgressText));
}

TEST(JobList, ClicksAndClosesGoToTheMainDialog)
{
    JobListRig rig(1);
    ASSERT_TRUE(rig.Create());
    rig.Update(0);

    // A press on the job area (the job window, or the list itself) drags the main dialog.
    ::SendMessageW(rig.Window().GetHwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    ::SendMessageW(rig.list->hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(6, 6));
    joblisttest::Drain();
    EXPECT_EQ(2u, rig.dialog.Count(WM_NCLBUTTONDOWN, HTCAPTION));

    // Closing the job window ends in the main dialog's exit handling, with its lParam.
    rig.Command(vek::kJobUiCancelInstallButton);
    const auto* close = rig.dialog.Last(WM_SYSCOMMAND);
    ASSERT_NE(nullptr, close);
    EXPECT_EQ(static_cast<WPARAM>(SC_CLOSE), close->wParam);
    EXPECT_EQ(vek::kJobUiCloseCancelled, close->lParam);

    // A repaint request of a child passes the job window and the list unchanged.
    RECT area{1, 2, 3, 4};
    ::SendMessageW(rig.Window().GetHwnd(), WM_VEK_INVALIDATE_AREA, reinterpret_cast<WPARAM>(&area), 1);
    const auto* invalidate = rig.dialog.Last(WM_VEK_INVALIDATE_AREA);
    ASSERT_NE(nullptr, invalidate);
    EXPECT_EQ(reinterpret_cast<WPARAM>(&area), invalidate->wParam);
    EXPECT_EQ(1, invalidate->lParam);
}

} // namespace

namespace {

// Refuses the creation of the n-th job window (counted from 1) of this thread.
class JobWindowRefusal {
public:
    explicit JobWindowRefusal(int refused)
    {
        s_refused = refused;
        s_seen = 0;
        m_hook = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
    }
    ~JobWindowRefusal()
    {
        if (m_hook != nullptr)
            ::UnhookWindowsHookEx(m_hook);
    }
    bool Installed() const { return m_hook != nullptr; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam)
    {
        if (code == HCBT_CREATEWND) {
            wchar_t name[64] = {};
            ::GetClassNameW(reinterpret_cast<HWND>(wParam), name, 64);
            if (std::wstring(name) == L"VEK_JobWindow" && ++s_seen == s_refused)
                return 1;
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline int s_refused = 0;
    static inline int s_seen = 0;
    HHOOK m_hook = nullptr;
};

TEST(JobList, WindowThatFailsToCreateKeepsItsSlotSoLaterJobsReachTheirOwnWindows)
{
    JobListRig rig(3);
    {
        JobWindowRefusal refusal(2);
        ASSERT_TRUE(refusal.Installed());
        ASSERT_TRUE(rig.Create());
    }
    ASSERT_EQ(3u, rig.list->GetJobWindowCount()) << "one slot per job, the failed one empty";
    EXPECT_EQ(nullptr, rig.list->GetJobWindow(1));

    rig.Update(0, {{"index", 0}});
    rig.Update(0, {{"index", 1}}); // the job without a window: nothing shows it
    EXPECT_EQ(1, rig.list->GetCurrentIndex());
    EXPECT_FALSE(Shown(rig.Window(0).GetHwnd()));
    rig.Progress(1000, 500); // dropped, its record freed
    rig.Update(0, {{"index", 2}});
    EXPECT_EQ(2, rig.list->GetCurrentIndex());
    EXPECT_TRUE(Shown(rig.Window(2).GetHwnd()));
    EXPECT_EQ(0u, rig.Window(0).GetJobNode().value("index", size_t{99}));
    EXPECT_EQ(2u, rig.Window(2).GetJobNode().value("index", size_t{99})) << "the third job's window has the third job";
    rig.Update(10, {{"vek", nlohmann::json::object()}});
    rig.Update(11);
    EXPECT_EQ(-1, rig.list->GetCurrentIndex());
}

} // namespace
