// The window layer, the progress record's ownership, fonts and scaling, and the window fitter.
#include "UiTestSupport.h"

#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/res/VekResourceIds.h"
#include "ui/util/VekFonts.h"
#include "ui/util/VekScreen.h"
#include "ui/util/VekWindowFitter.h"
#include "ui/window/VekDialogImpl.h"
#include "ui/window/VekMessageLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A window of the system class BUTTON that records the messages its map sees.
class RecordingButton : public vek::VekWindowImpl {
public:
    std::vector<UINT> seen;
    int finalMessages = 0;

    VEK_BEGIN_MSG_MAP(RecordingButton)
    VEK_MESSAGE_HANDLER(WM_CREATE, Record)
    VEK_MESSAGE_HANDLER(WM_SETTEXT, Record)
    VEK_MESSAGE_HANDLER(WM_APP + 1, Answer)
    VEK_MESSAGE_HANDLER(VEK_OCM_BASE + WM_CTLCOLORSTATIC, Reflected)
    VEK_END_MSG_MAP()

private:
    LRESULT Record(UINT uMsg, WPARAM, LPARAM, BOOL& handled)
    {
        seen.push_back(uMsg);
        handled = FALSE; // goes on to the BUTTON procedure
        return 0;
    }
    LRESULT Reflected(UINT uMsg, WPARAM, LPARAM, BOOL&)
    {
        seen.push_back(uMsg);
        return reinterpret_cast<LRESULT>(::GetStockObject(GRAY_BRUSH));
    }
    LRESULT Answer(UINT, WPARAM wParam, LPARAM, BOOL&) { return static_cast<LRESULT>(wParam * 2); }
    void OnFinalMessage(HWND) override { ++finalMessages; }
};

TEST(VekWindowImpl, SystemClassWindowRoutesEveryMessageThroughTheMap)
{
    uitest::TestWindow parent;
    RecordingButton button;
    const RECT rect = {10, 80, 110, 110};
    ASSERT_NE(button.Create(L"BUTTON", parent, rect, L"Text", WS_CHILD | WS_VISIBLE, 0, 77), nullptr);
    EXPECT_EQ(vek::VekWindowImpl::FromHandle(button), &button);
    EXPECT_EQ(button.seen.front(), static_cast<UINT>(WM_CREATE)); // attached before creation ends
    ::SetWindowTextW(button, L"New");
    EXPECT_EQ(button.GetWindowText(), L"New"); // the BUTTON procedure still ran
    EXPECT_EQ(::SendMessageW(button, WM_APP + 1, 21, 0), 42);
    // The parent reflects the colour request to the child of this layer, which answers it.
    EXPECT_EQ(::SendMessageW(parent, WM_CTLCOLORSTATIC, 0, reinterpret_cast<LPARAM>(button.GetHwnd())),
              reinterpret_cast<LRESULT>(::GetStockObject(GRAY_BRUSH)));
    EXPECT_EQ(button.seen.back(), static_cast<UINT>(VEK_OCM_BASE + WM_CTLCOLORSTATIC));

    // Destroying the window first detaches the object.
    HWND hWnd = button;
    ::DestroyWindow(hWnd);
    EXPECT_EQ(button.GetHwnd(), nullptr);
    EXPECT_EQ(button.finalMessages, 1);
}

TEST(VekWindowImpl, DestroyingTheObjectDestroysItsWindow)
{
    uitest::TestWindow parent;
    HWND hWnd = nullptr;
    {
        RecordingButton button;
        const RECT rect = {10, 80, 110, 110};
        hWnd = button.Create(L"BUTTON", parent, rect, L"Text", WS_CHILD | WS_VISIBLE, 0, 1);
        ASSERT_NE(hWnd, nullptr);
    }
    EXPECT_FALSE(::IsWindow(hWnd));
    // A creation that fails leaves the object without a window and usable again.
    RecordingButton failed;
    const RECT rect = {0, 0, 10, 10};
    EXPECT_EQ(failed.Create(L"NoSuchClassAnywhere", parent, rect, L"", WS_CHILD), nullptr);
    EXPECT_EQ(failed.GetHwnd(), nullptr);
    EXPECT_NE(failed.Create(L"BUTTON", parent, rect, L"", WS_CHILD), nullptr);
}

TEST(VekWindowImpl, SubclassAndUnsubclassAnExistingWindow)
{
    uitest::TestWindow parent;
    HWND edit = ::CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 50, 20, parent, nullptr, nullptr, nullptr);
    vek::VekOwnedWindow owned(edit);
    const auto original = ::GetWindowLongPtrW(edit, GWLP_WNDPROC);
    RecordingButton object;
    ASSERT_TRUE(object.SubclassWindow(edit));
    EXPECT_FALSE(RecordingButton().SubclassWindow(edit)); // one object per window
    EXPECT_EQ(::SendMessageW(edit, WM_APP + 1, 5, 0), 10);
    EXPECT_EQ(object.UnsubclassWindow(), edit);
    EXPECT_EQ(::GetWindowLongPtrW(edit, GWLP_WNDPROC), original);
    EXPECT_EQ(vek::VekWindowImpl::FromHandle(edit), nullptr);
}

class SseDialog : public vek::VekDialogImpl {
public:
    SseDialog() : VekDialogImpl(IDD_VEK_UNSUPPORTED_PROCESSOR) {}
    bool initialised = false;

    VEK_BEGIN_MSG_MAP(SseDialog)
    VEK_MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    VEK_MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    VEK_END_MSG_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
    {
        initialised = true;
        return TRUE;
    }
    LRESULT OnCtlColor(UINT, WPARAM, LPARAM, BOOL&) { return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH)); }
};

INT_PTR CALLBACK PlainDialog(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

TEST(VekDialogImpl, DialogsOfTheExecutableCreate)
{
    // Dialog 300 holds a SysLink control: it only creates with the common controls 6 manifest.
    SseDialog dialog;
    ASSERT_NE(dialog.Create(nullptr), nullptr) << ::GetLastError();
    EXPECT_TRUE(dialog.initialised);
    EXPECT_NE(::GetDlgItem(dialog, IDC_VEK_UNSUPPORTED_LINK), nullptr);
    EXPECT_EQ(::SendMessageW(dialog, WM_CTLCOLORDLG, 0, 0), reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH)));
    HWND main =
        ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_VEK_MAIN), nullptr, PlainDialog, 0);
    vek::VekOwnedWindow mainOwner(main);
    EXPECT_NE(main, nullptr);
}

// A window that takes the progress records posted to it.
class ProgressSink : public vek::VekWindowImpl {
public:
    std::vector<vek::VekProgressRecord> received;

    VEK_BEGIN_MSG_MAP(ProgressSink)
    VEK_MESSAGE_HANDLER(WM_APP + 5, OnProgress)
    VEK_END_MSG_MAP()

private:
    LRESULT OnProgress(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        received.push_back(*vek::TakeProgressRecord(wParam));
        return 0;
    }
};

TEST(VekProgressRecord, OwnedByExactlyOneHolder)
{
    ProgressSink sink;
    vek::VekWindowImpl::RegisterWindowClass(L"VekProgressSink", 0, nullptr, nullptr);
    ASSERT_NE(sink.Create(L"VekProgressSink", HWND_MESSAGE, RECT{}, L"", 0), nullptr);
    EXPECT_TRUE(vek::PostProgressRecord(sink, WM_APP + 5,
                                        std::make_unique<vek::VekProgressRecord>(vek::VekProgressRecord{100, 40})));
    uitest::Pump(50);
    ASSERT_EQ(sink.received.size(), 1u);
    EXPECT_EQ(sink.received[0].total, 100u);
    EXPECT_EQ(sink.received[0].done, 40u);

    // A post that fails keeps no record alive; queued records are freed when drained.
    EXPECT_FALSE(vek::PostProgressRecord(reinterpret_cast<HWND>(0x1234), WM_APP + 5,
                                         std::make_unique<vek::VekProgressRecord>()));
    EXPECT_TRUE(vek::PostProgressRecord(sink, WM_APP + 5, std::make_unique<vek::VekProgressRecord>()));
    vek::DrainProgressRecords(sink, WM_APP + 5);
    uitest::Pump(30);
    EXPECT_EQ(sink.received.size(), 1u);
}

TEST(VekRecordDrain, LeavesAPendingQuitForTheMessageLoop)
{
    // A child window drains its records while its parent's destruction has already asked the
    // loop to quit: the quit and its exit code must survive the drain.
    ProgressSink sink;
    vek::VekWindowImpl::RegisterWindowClass(L"VekProgressSink", 0, nullptr, nullptr);
    ASSERT_NE(sink.Create(L"VekProgressSink", HWND_MESSAGE, RECT{}, L"", 0), nullptr);
    const struct {
        const char* name;
        void (*post)(HWND, UINT);
        void (*drain)(HWND, UINT);
    } helpers[] = {
        {"progress records",
         [](HWND window, UINT message) {
             vek::PostProgressRecord(window, message, std::make_unique<vek::VekProgressRecord>());
         },
         vek::DrainProgressRecords},
        {"job update records",
         [](HWND window, UINT message) {
             vek::PostJobUpdateRecord(window, message, std::make_unique<vek::VekJobUpdateRecord>());
         },
         vek::DrainJobUpdateRecords},
    };
    for (const auto& helper : helpers) {
        SCOPED_TRACE(helper.name);
        helper.post(sink, WM_APP + 6);
        ::PostQuitMessage(3);
        helper.drain(sink, WM_APP + 6);
        MSG msg{};
        ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(msg.wParam, 3u);
        EXPECT_FALSE(::PeekMessageW(&msg, sink, WM_APP + 6, WM_APP + 6, PM_REMOVE)) << "the record was drained";
    }
}

TEST(VekFonts, DesignPixelsToPointsAndFonts)
{
    const struct {
        int pixels;
        int points;
    } sizes[] = {{14, 10}, {18, 13}, {23, 17}, {16, 12}, {22, 16}, {2, 1}};
    for (const auto& size : sizes)
        EXPECT_EQ(vek::PointsFromDesignPixels(size.pixels), size.points) << size.pixels;

    vek::VekWindowDC screen(nullptr);
    vek::VekFontSet fonts;
    ASSERT_TRUE(vek::CreateFontSet(screen.Get(), fonts));
    LOGFONTW title{}, text{};
    ASSERT_TRUE(::GetObjectW(fonts.title.Get(), sizeof(title), &title));
    ASSERT_TRUE(::GetObjectW(fonts.text.Get(), sizeof(text), &text));
    const int dpi = ::GetDeviceCaps(screen.Get(), LOGPIXELSY);
    EXPECT_EQ(title.lfHeight, -::MulDiv(17, dpi, 72));
    EXPECT_STREQ(title.lfFaceName, L"Segoe UI Light");
    EXPECT_EQ(text.lfHeight, -::MulDiv(10, dpi, 72));
    EXPECT_EQ(text.lfWeight, FW_NORMAL);
    EXPECT_EQ(text.lfQuality, CLEARTYPE_QUALITY);
}

TEST(VekScreen, ScalingOfDesignSizes)
{
    const struct {
        int dpi;
        int n;
        int scaled;
        int signedScaled;
    } cases[] = {
        {96, 512, 512, 512}, {144, 200, 300, 300}, {144, 10, 15, 15}, {120, 467, 584, 584}, {144, -7, -10, -11},
    };
    for (const auto& c : cases) {
        const vek::VekScale scale(c.dpi, c.dpi);
        EXPECT_EQ(scale.X(c.n), c.scaled) << c.dpi << " " << c.n;
        EXPECT_EQ(scale.Y(c.n), c.scaled) << c.dpi << " " << c.n;
        EXPECT_EQ(vek::ScaleSigned(c.n, c.dpi), c.signedScaled) << c.dpi << " " << c.n;
    }
    EXPECT_GT(vek::GetScreenCaps(LOGPIXELSX), 0);

    // The animated bar's size follows the screen.
    const struct {
        int dpiX, dpiY;
        SIZE drawn;
    } bars[] = {{96, 96, {200, 10}}, {144, 144, {300, 15}}, {120, 96, {250, 10}}};
    for (const auto& bar : bars) {
        const SIZE drawn = vek::InfiniteBar::DrawnSize(SIZE{200, 10}, bar.dpiX, bar.dpiY);
        EXPECT_EQ(drawn.cx, bar.drawn.cx);
        EXPECT_EQ(drawn.cy, bar.drawn.cy);
    }
}

// The screen as a table row gives it.
class TableScreen : public vek::VekScreenMetrics {
public:
    RECT workArea{};
    int fullWidth = 0, fullHeight = 0;
    SIZE mode{};
    bool GetWorkArea(RECT& area) override
    {
        area = workArea;
        return true;
    }
    int GetFullScreenWidth() override { return fullWidth; }
    int GetFullScreenHeight() override { return fullHeight; }
    bool GetDisplayMode(SIZE& size) override
    {
        size = mode;
        return mode.cx != 0 || mode.cy != 0;
    }
};

TEST(VekWindowFitter, ScreenAndWindowSizes)
{
    const struct {
        const char* name;
        SIZE window;
        RECT workArea;
        SIZE full;
        SIZE mode;
        DWORD flags;
        HRESULT result;
        SIZE fitted;
    } cases[] = {
        {"fits the work area", {600, 400}, {0, 0, 1920, 1040}, {}, {}, 2 | 8, S_FALSE, {600, 400}},
        {"clamped, aspect kept", {1200, 900}, {0, 0, 1024, 728}, {}, {}, 1 | 2, S_OK, {970, 728}},
        {"clamped to the work area", {1200, 900}, {0, 0, 1024, 728}, {}, {}, 2 | 8, S_OK, {1024, 728}},
        {"work area away from the origin", {800, 600}, {100, 50, 900, 650}, {}, {}, 2, S_OK, {800, 600}},
        {"display mode", {2000, 1000}, {}, {}, {1600, 900}, 0, S_OK, {1600, 900}},
        {"display mode less the reserved size",
         {1920, 1080},
         {0, 0, 1920, 1040},
         {1920, 1063},
         {1920, 1080},
         4,
         S_OK,
         {1920, 1057}},
        {"no display mode", {700, 500}, {}, {}, {}, 0, S_OK, {700, 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uitest::TestWindow window(c.window.cx, c.window.cy, 0, false);
        TableScreen screen;
        screen.workArea = c.workArea;
        screen.fullWidth = c.full.cx;
        screen.fullHeight = c.full.cy;
        screen.mode = c.mode;
        vek::VekWindowFitter fitter(&screen);
        ASSERT_EQ(fitter.Attach(window), S_OK);
        SIZE size{};
        EXPECT_EQ(fitter.Fit(size, c.flags), c.result);
        EXPECT_EQ(size.cx, c.fitted.cx);
        EXPECT_EQ(size.cy, c.fitted.cy);
        const RECT rect = window.GetWindowRect();
        const SIZE expected = (c.flags & 8) ? c.fitted : c.window;
        EXPECT_EQ(rect.right - rect.left, expected.cx);
        EXPECT_EQ(rect.bottom - rect.top, expected.cy);
    }
}

TEST(VekWindowFitter, UnknownSizesAndMissingWindow)
{
    vek::VekWindowFitter fitter;
    SIZE size{};
    EXPECT_EQ(fitter.Fit(size, 2), E_INVALIDARG);
    EXPECT_EQ(fitter.Attach(reinterpret_cast<HWND>(0x4321)), E_INVALIDARG);
    uitest::TestWindow minimised(0, 0);
    ASSERT_EQ(fitter.Attach(minimised), S_OK);
    EXPECT_EQ(fitter.Fit(size, 2), E_UNEXPECTED);
    TableScreen screen;
    screen.fullWidth = 0;
    uitest::TestWindow window(300, 200);
    vek::VekWindowFitter reserved(&screen);
    ASSERT_EQ(reserved.Attach(window), S_OK);
    EXPECT_EQ(reserved.Fit(size, 4), E_UNEXPECTED);
    // The real screen (Xvfb's 1280 x 1024) fits a small window.
    vek::VekWindowFitter real;
    ASSERT_EQ(real.Attach(window), S_OK);
    EXPECT_EQ(real.Fit(size, 2), S_FALSE);
    EXPECT_EQ(size.cx, 300);
}

} // namespace

TEST(VekMessageLoop, FiltersSeeMessagesFirstAndQuitEndsTheLoop)
{
    struct Swallow : vek::VekMessageFilter {
        std::vector<UINT> seen;
        bool PreTranslateMessage(MSG& message) override
        {
            seen.push_back(message.message);
            return message.message == WM_APP + 1;
        }
    };
    Swallow filter;
    vek::VekMessageLoop loop;
    loop.AddMessageFilter(&filter);
    loop.AddMessageFilter(&filter); // added once only
    PostThreadMessageW(GetCurrentThreadId(), WM_APP + 1, 0, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP + 2, 0, 0);
    PostQuitMessage(7);
    EXPECT_EQ(7, loop.Run());
    EXPECT_EQ((std::vector<UINT>{WM_APP + 1, WM_APP + 2}), filter.seen);

    loop.RemoveMessageFilter(&filter);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP + 3, 0, 0);
    PostQuitMessage(0);
    EXPECT_EQ(0, loop.Run());
    EXPECT_EQ(2u, filter.seen.size());
}
