// The custom controls in a real window under Xvfb: image button states, hyperlink, static image,
// transparent text over an image and the animated bar; each saves a screenshot for a person to
// look at (bin/screenshots/*.png).
#include "UiTestSupport.h"

#include "ui/controls/CStaticImage.h"
#include "ui/controls/CTransparentStatic.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/controls/VekGDIPlusButton.h"
#include "ui/controls/VekHyperLink.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekFonts.h"
#include "ui/util/VekScreen.h"
#include "common/errors/qkLog.h"

#include <commctrl.h>
#include <shellapi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Button = vek::VekGDIPlusButton;

// These tests drive the buttons by messages alone. The real pointer, wherever an earlier test program
// left it on the shared display, adds real moves of its own to a window that holds the capture or lies
// under it: it is parked in the screen's far corner, away from every test window.
void ParkPointer()
{
    ::SetCursorPos(::GetSystemMetrics(SM_CXSCREEN) - 1, ::GetSystemMetrics(SM_CYSCREEN) - 1);
}

LPARAM Point(int x, int y)
{
    return MAKELPARAM(x, y);
}

// Whether a pixel is within a few steps of a colour (0xRRGGBB).
bool Near(DWORD pixel, DWORD colour, int tolerance = 6)
{
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((pixel >> shift) & 0xFF) - static_cast<int>((colour >> shift) & 0xFF)) >
            tolerance)
            return false;
    return true;
}

// The pixel of a capture at a point given in the window's client coordinates.
DWORD PixelAt(const uitest::Capture& capture, HWND window, POINT client)
{
    RECT rect{};
    ::GetWindowRect(window, &rect);
    ::ClientToScreen(window, &client);
    return capture.At(client.x - rect.left, client.y - rect.top);
}

class ControlsTest : public ::testing::Test {
protected:
    uitest::TestWindow window;
    vek::VekFontSet fonts;

    void SetUp() override
    {
        ASSERT_NE(window.GetHwnd(), nullptr);
        vek::VekWindowDC dc(window);
        ASSERT_TRUE(vek::CreateFontSet(dc.Get(), fonts));
    }

    bool MakeFooterButton(Button& button, UINT id, int x, const wchar_t* caption, bool disabledImage = true)
    {
        const RECT rect = {x, 110, x + 120, 142};
        if (!button.Create(window, rect, caption, Button::kWindowStyle, 0, id, IDR_PNG_BUTTON, IDR_PNG_BUTTON_PUSHED,
                           IDR_PNG_BUTTON_HOVER, disabledImage ? IDR_PNG_BUTTON_DISABLED : -1))
            return false;
        button.SetFont(fonts.text.Get());
        return true;
    }
};

TEST_F(ControlsTest, ImageButtonChoosesTheImageOfItsState)
{
    Button hover(Button::kStyleHover), focusStyle(0), noDisabledImage(Button::kStyleHover);
    ASSERT_TRUE(MakeFooterButton(hover, 4303, 10, L"Retry"));
    ASSERT_TRUE(MakeFooterButton(focusStyle, 4304, 140, L"Focus"));
    ASSERT_TRUE(MakeFooterButton(noDisabledImage, 4305, 270, L"Plain", false));

    struct Step {
        const char* name;
        Button* button;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        int image;
    };
    const Step steps[] = {
        {"normal", &hover, 0, 0, 0, IDR_PNG_BUTTON},
        {"mouse over", &hover, WM_MOUSEMOVE, 0, Point(5, 5), IDR_PNG_BUTTON_HOVER},
        {"mouse gone", &hover, WM_MOUSELEAVE, 0, 0, IDR_PNG_BUTTON},
        {"focus alone with the hover style", &hover, WM_SETFOCUS, 0, 0, IDR_PNG_BUTTON},
        {"focus without the hover style", &focusStyle, WM_SETFOCUS, 0, 0, IDR_PNG_BUTTON_HOVER},
        {"pressed", &hover, WM_LBUTTONDOWN, MK_LBUTTON, Point(5, 5), IDR_PNG_BUTTON_PUSHED},
        {"dragged off while pressed", &hover, WM_MOUSEMOVE, MK_LBUTTON, Point(500, 5), IDR_PNG_BUTTON},
        {"released", &hover, WM_LBUTTONUP, 0, Point(500, 5), IDR_PNG_BUTTON},
        {"disabled", &hover, WM_ENABLE, 0, 0, IDR_PNG_BUTTON_DISABLED},
        {"disabled without a disabled image", &noDisabledImage, WM_ENABLE, 0, 0, IDR_PNG_BUTTON},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.message == WM_ENABLE)
            ::EnableWindow(*step.button, FALSE);
        else if (step.message != 0)
            ::SendMessageW(*step.button, step.message, step.wParam, step.lParam);
        EXPECT_EQ(step.button->GetCurrentImageId(), step.image);
    }
    // Released off the button: no click.
    EXPECT_TRUE(window.commands.empty());
}

TEST_F(ControlsTest, ControlsOfOneImageDecodeItOnce)
{
    const unsigned long before = vek::VekResourceImage::DecodedCount();
    Button retry(Button::kStyleHover), cancel(Button::kStyleHover), close(Button::kStyleHover);
    ASSERT_TRUE(MakeFooterButton(retry, 4303, 10, L"Retry"));
    ASSERT_TRUE(MakeFooterButton(cancel, 4304, 140, L"Cancel"));
    ASSERT_TRUE(MakeFooterButton(close, 4305, 270, L"Close"));
    vek::CStaticImage logo, secondLogo;
    ASSERT_NE(logo.Create(window, IDR_PNG_LOGO, 20, 40, true), nullptr);
    ASSERT_NE(secondLogo.Create(window, IDR_PNG_LOGO, 80, 40, true), nullptr);
    for (HWND control : {retry.GetHwnd(), cancel.GetHwnd(), close.GetHwnd(), logo.GetHwnd(), secondLogo.GetHwnd()})
        ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    // The buttons' face and the logo: one decode each.
    EXPECT_EQ(vek::VekResourceImage::DecodedCount() - before, 2u);
}

TEST_F(ControlsTest, ImageButtonClicksAndReportsItsArea)
{
    Button button(Button::kStyleHover);
    ASSERT_TRUE(MakeFooterButton(button, 4303, 10, L"Retry"));
    const int before = window.invalidateCount;
    ::SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, Point(5, 5));
    EXPECT_GT(window.invalidateCount, before);
    EXPECT_EQ(window.lastInvalidateFlag, 1);
    ::SendMessageW(button, WM_LBUTTONUP, 0, Point(5, 5));
    ::SendMessageW(button, WM_KEYDOWN, VK_SPACE, 0);
    ::SendMessageW(button, WM_KEYUP, VK_SPACE, 0);
    ::SendMessageW(button, WM_KEYUP, 'A', 0);
    EXPECT_EQ(window.commands, (std::vector<UINT>{4303, 4303}));

    // The caption sizes the button: 30 wider and 10 taller than the text.
    button.SetCaptionAndResize(L"Restart and Upgrade");
    vek::VekWindowDC dc(button);
    vek::VekSelectObject selected(dc.Get(), fonts.text.Get());
    SIZE text{};
    ::GetTextExtentPoint32W(dc.Get(), L"Restart and Upgrade", 19, &text);
    const RECT rect = button.GetWindowRect();
    EXPECT_EQ(rect.right - rect.left, text.cx + 30);
    EXPECT_EQ(rect.bottom - rect.top, text.cy + 10);
    EXPECT_EQ(button.GetWindowText(), L"Restart and Upgrade");
}

// The lines the process logger writes while it lives.
class LoggedLines : public qkDebugOutput {
public:
    LoggedLines() : qkDebugOutput(L"capture")
    {
        SetDebugType(LevelInformation);
        qkLib::ProcessLogger().SetForwardTo(this);
    }
    ~LoggedLines() override { qkLib::ProcessLogger().SetForwardTo(nullptr); }
    void OutputText(const wchar_t* line) override { lines.emplace_back(line ? line : L""); }
    std::vector<std::wstring> lines;
};

TEST_F(ControlsTest, ImageButtonWithoutTooltipLooksUpNoString)
{
    // The footer and action buttons pass no string (-1): nothing is looked up, so no failed
    // lookup is logged, and the button has no tooltip.
    Button plain(Button::kStyleHover), titled(Button::kStyleHover);
    LoggedLines log;
    ASSERT_TRUE(vek::CreateImageButton(window, plain, 3308, 10, 200, 120, 32, -1, nullptr, IDR_PNG_BUTTON,
                                       IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER, IDR_PNG_BUTTON_DISABLED));
    for (const std::wstring& line : log.lines)
        EXPECT_EQ(line.find(L"Unable to load string"), std::wstring::npos) << line;
    // A string id that is missing still logs and falls back to its default.
    ASSERT_TRUE(vek::CreateImageButton(window, titled, 3309, 140, 200, 120, 32, 9999, L"Fallback", IDR_PNG_BUTTON,
                                       IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER, IDR_PNG_BUTTON_DISABLED));
    bool logged = false;
    for (const std::wstring& line : log.lines)
        logged = logged || line.find(L"Unable to load string 9999") != std::wstring::npos;
    EXPECT_TRUE(logged);
}

TEST_F(ControlsTest, ImageButtonScreenshot)
{
    Button normal(Button::kStyleHover), over(Button::kStyleHover), pressed(Button::kStyleHover),
        disabled(Button::kStyleHover), contrast(Button::kStyleHover | Button::kStyleSingleEdge);
    ASSERT_TRUE(MakeFooterButton(normal, 1, 10, L"Normal"));
    ASSERT_TRUE(MakeFooterButton(over, 2, 140, L"Hover"));
    ASSERT_TRUE(MakeFooterButton(pressed, 3, 270, L"Pressed"));
    ASSERT_TRUE(MakeFooterButton(disabled, 4, 400, L"Disabled"));
    const RECT contrastRect = {10, 160, 130, 192};
    ASSERT_TRUE(contrast.Create(window, contrastRect, L"Contrast", Button::kWindowStyle, 0, 5, IDR_PNG_BUTTON,
                                IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER));
    contrast.SetFont(fonts.text.Get());
    contrast.SetHighContrast(true);
    Button close(Button::kStyleHover), closeOver(Button::kStyleHover);
    ASSERT_TRUE(vek::CreateImageButton(window, close, 3306, 480, 10, 32, 32, 223, L"Close", IDR_PNG_CLOSE,
                                       IDR_PNG_CLOSE_PUSHED, IDR_PNG_CLOSE_HOVER, IDR_PNG_CLOSE_DISABLED));
    ASSERT_TRUE(vek::CreateImageButton(window, closeOver, 3307, 516, 10, 32, 32, 174, L"Minimize", IDR_PNG_CLOSE,
                                       IDR_PNG_CLOSE_PUSHED, IDR_PNG_CLOSE_HOVER, IDR_PNG_CLOSE_DISABLED));
    ParkPointer();
    ::SendMessageW(over, WM_MOUSEMOVE, 0, Point(5, 5));
    ::SendMessageW(closeOver, WM_MOUSEMOVE, 0, Point(5, 5));
    // The pressed button holds the capture, which the real pointer's position reaches: it is put
    // where a person's press would have it.
    POINT onPressed{5, 5};
    ::ClientToScreen(pressed, &onPressed);
    ::SetCursorPos(onPressed.x, onPressed.y);
    ::SendMessageW(pressed, WM_LBUTTONDOWN, MK_LBUTTON, Point(5, 5));
    ::EnableWindow(disabled, FALSE);

    const uitest::Capture capture = uitest::CaptureWindow(window);
    EXPECT_FALSE(capture.Save(L"image_buttons").empty());
    // Each state shows its own artwork (sampled left of the caption, below the highlight).
    const struct {
        Button* button;
        DWORD colour;
    } samples[] = {
        {&normal, 0x1F6FB5}, {&over, 0x4A90D9}, {&pressed, 0x174F82}, {&disabled, 0xB8C7D6}, {&contrast, 0x000000},
    };
    for (const auto& sample : samples) {
        const RECT rect = sample.button->GetWindowRectInParent();
        const DWORD pixel = PixelAt(capture, window, POINT{rect.left + 6, rect.top + 24});
        EXPECT_TRUE(Near(pixel, sample.colour)) << std::hex << pixel << " expected " << sample.colour;
    }
    ::ReleaseCapture();
}

// An opener that records what it was asked to open.
class RecordingOpener : public vek::IVekLinkOpener {
public:
    int result = 42;
    std::vector<std::wstring> opened;
    int OpenLink(const std::wstring& url) override
    {
        opened.push_back(url);
        return result;
    }
};

TEST_F(ControlsTest, HyperlinkOpensOnlyOnAClickInsideItsLabel)
{
    struct Case {
        const char* name;
        DWORD style;
        bool closeParent;
        int openerResult;
        bool releaseInside;
        size_t opened;
        bool visited;
        size_t commands;
        size_t notifications;
        int closes;
    };
    const Case cases[] = {
        {"click opens the address", 0, false, 42, true, 1, true, 0, 0, 0},
        {"release outside: nothing", 0, true, 42, false, 0, false, 0, 0, 0},
        {"close parent after opening", 0, true, 42, true, 1, true, 0, 0, 1},
        {"open fails: unvisited, parent stays", 0, true, 2, true, 1, false, 0, 0, 0},
        {"command style", vek::VekHyperLink::kCommandButton, false, 42, true, 0, false, 1, 0, 0},
        {"notify style", vek::VekHyperLink::kNotifyButton, false, 42, true, 0, false, 0, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uitest::TestWindow parent;
        RecordingOpener opener;
        opener.result = c.openerResult;
        vek::VekHyperLink link;
        const RECT rect = {20, 100, 240, 130};
        ASSERT_NE(link.Create(parent, rect, L"click here.", L"https://help.talvern.example/", 4306, c.style), nullptr);
        link.SetLinkOpener(&opener);
        link.SetCloseParentOnClick(c.closeParent);
        const RECT label = link.GetLabelRect();
        const LPARAM inside = Point((label.left + label.right) / 2, (label.top + label.bottom) / 2);
        ::SendMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, inside);
        EXPECT_TRUE(link.IsPressed());
        ::SendMessageW(link, WM_LBUTTONUP, 0, c.releaseInside ? inside : Point(1, 1));
        uitest::Pump(30);
        EXPECT_FALSE(link.IsPressed());
        EXPECT_EQ(opener.opened.size(), c.opened);
        EXPECT_EQ(link.IsVisited(), c.visited);
        EXPECT_EQ(parent.commands.size(), c.commands);
        EXPECT_EQ(parent.notifications.size(), c.notifications);
        EXPECT_EQ(parent.closeCount, c.closes);
        EXPECT_GT(parent.invalidateCount, 0);
    }
}

TEST_F(ControlsTest, HyperlinkKeyAutoSizeAndScreenshot)
{
    RecordingOpener opener;
    vek::VekHyperLink link, visited, small;
    ASSERT_NE(link.Create(window, RECT{20, 90, 540, 115}, L"To access your downloaded files, click here...",
                          L"https://help.talvern.example/a", 1),
              nullptr);
    ASSERT_NE(
        visited.Create(window, RECT{20, 120, 260, 145}, L"Open Help Center.", L"https://help.talvern.example/b", 2),
        nullptr);
    for (vek::VekHyperLink* each : {&link, &visited}) {
        each->SetLinkOpener(&opener);
        each->SetLinkFont(fonts.text.Get());
    }
    ::SendMessageW(visited, WM_KEYUP, VK_RETURN, 0);
    EXPECT_EQ(opener.opened, (std::vector<std::wstring>{L"https://help.talvern.example/b"}));
    EXPECT_TRUE(visited.IsVisited());

    // Auto-size grows the window to the text and never shrinks it.
    ASSERT_NE(small.Create(window, RECT{20, 160, 40, 170}, L"", L"", 3), nullptr);
    small.SetLinkFont(fonts.heading.Get());
    const int grown = small.SetLabel(L"Choose Package Location", true);
    const RECT bigger = small.GetWindowRect();
    EXPECT_GT(grown, 0);
    EXPECT_EQ(bigger.bottom - bigger.top, 10 + grown);
    EXPECT_GT(bigger.right - bigger.left, 20);
    small.SetLabel(L"x", true);
    const RECT after = small.GetWindowRect();
    EXPECT_EQ(after.right - after.left, bigger.right - bigger.left);

    const uitest::Capture capture = uitest::CaptureWindow(window);
    EXPECT_FALSE(capture.Save(L"hyperlinks").empty());
    // Link blue and visited purple both appear on their lines.
    auto hasColour = [&](const vek::VekHyperLink& each, DWORD colour) {
        const RECT rect = each.GetWindowRectInParent();
        for (int y = rect.top; y < rect.bottom; ++y)
            for (int x = rect.left; x < rect.right; ++x)
                if (Near(PixelAt(capture, window, POINT{x, y}), colour, 40))
                    return true;
        return false;
    };
    EXPECT_TRUE(hasColour(link, 0x0000FF));
    EXPECT_TRUE(hasColour(visited, 0x800080));
}

TEST(VekLinkOpener, NeverOpensAsSystemWithoutTheSessionUser)
{
    struct Case {
        const char* name;
        bool system;
        bool sessionInstalled;
        bool sessionResult;
        int expected;
        int shellCalls;
        int sessionCalls;
    };
    const Case cases[] = {
        {"user: the shell opens it", false, true, true, 42, 1, 0},
        {"SYSTEM without a session opener: refused", true, false, false, SE_ERR_ACCESSDENIED, 0, 0},
        {"SYSTEM: opened as the session user", true, true, true, 33, 0, 1},
        {"SYSTEM: the session user's open fails", true, true, false, SE_ERR_ACCESSDENIED, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int shellCalls = 0, sessionCalls = 0;
        vek::VekLinkOpener::SetSessionOpener(c.sessionInstalled
                                                 ? vek::VekLinkOpener::SessionOpener([&](const std::wstring&) {
                                                       ++sessionCalls;
                                                       return c.sessionResult;
                                                   })
                                                 : vek::VekLinkOpener::SessionOpener());
        vek::VekLinkOpener opener([&] { return c.system; },
                                  [&](const std::wstring&) {
                                      ++shellCalls;
                                      return 42;
                                  });
        EXPECT_EQ(opener.OpenLink(L"https://help.talvern.example/"), c.expected);
        EXPECT_EQ(shellCalls, c.shellCalls);
        EXPECT_EQ(sessionCalls, c.sessionCalls);
    }
    vek::VekLinkOpener::SetSessionOpener({});
    EXPECT_FALSE(vek::VekLinkOpener::IsRunningAsSystem()); // the tests run as the prefix's user
}

TEST_F(ControlsTest, StaticImageAndTransparentTextOverAnImage)
{
    const uitest::Capture before = uitest::CaptureWindow(window);

    vek::CStaticImage logo, success, alert, error, missing;
    ASSERT_NE(logo.Create(window, IDR_PNG_LOGO, 20, 90, true), nullptr);
    ASSERT_NE(success.Create(window, IDR_PNG_SUCCESS, 80, 90, true), nullptr);
    ASSERT_NE(alert.Create(window, IDR_PNG_ALERT, 140, 90, true), nullptr);
    ASSERT_NE(error.Create(window, IDR_PNG_LOGO, 200, 90, true), nullptr);
    error.SetImage(IDR_PNG_ERROR);
    EXPECT_EQ(error.GetResourceId(), IDR_PNG_ERROR);
    const RECT logoRect = logo.GetWindowRectInParent();
    EXPECT_EQ(logoRect.right - logoRect.left, 48);
    EXPECT_EQ(logoRect.bottom - logoRect.top, 48);
    // A missing image leaves an empty control; no parent, no control.
    ASSERT_NE(missing.Create(window, 4242, 260, 90, true), nullptr);
    EXPECT_EQ(missing.GetWindowRectInParent().right, 260);
    vek::CStaticImage orphan;
    EXPECT_EQ(orphan.Create(nullptr, IDR_PNG_LOGO, 0, 0, true), nullptr);

    // Text drawn over the banner image at the top of the window.
    vek::CTransparentStatic title, status;
    ASSERT_NE(title.Create(window, 3322, 318, RECT{12, 8, -1, -1}, fonts.title.Get(), RGB(0x66, 0x66, 0x66), true),
              nullptr);
    ASSERT_NE(status.Create(window, 4322, 314, RECT{12, 40, -1, -1}, fonts.boldText.Get(), RGB(0x1C, 0xA3, 0x23), true),
              nullptr);
    status.SetText(-1, L"Downloaded... - 42%", false);

    const uitest::Capture capture = uitest::CaptureWindow(window);
    EXPECT_FALSE(capture.Save(L"static_image_and_transparent_text").empty());

    // The logo's own blue is on screen where the control is.
    EXPECT_TRUE(Near(PixelAt(capture, window, POINT{logoRect.left + 8, logoRect.top + 24}), 0x1F6FB5, 10));
    // Transparent text: inside the label only the glyphs change the picture beneath.
    const RECT label = title.GetWindowRectInParent();
    int changed = 0, total = 0;
    for (int y = label.top; y < label.bottom; ++y)
        for (int x = label.left; x < label.right; ++x, ++total)
            if (PixelAt(capture, window, POINT{x, y}) != PixelAt(before, window, POINT{x, y}))
                ++changed;
    EXPECT_GT(changed, 0);
    EXPECT_LT(changed, total * 6 / 10) << changed << " of " << total;
}

TEST_F(ControlsTest, TransparentTextAnchors)
{
    const std::wstring text = L"Talvern Download Manager"; // string 318
    vek::VekWindowDC dc(window);
    vek::VekSelectObject selected(dc.Get(), fonts.text.Get());
    SIZE size{};
    ::GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);

    const struct {
        const char* name;
        RECT anchors;
        bool created;
        RECT expected;
    } cases[] = {
        {"left and top anchored", {10, 20, -1, -1}, true, {10, 20, 10 + size.cx, 20 + size.cy}},
        {"only the left edge free", {-1, 20, 200, 40}, true, {200 - size.cx, 20, 200, 40}},
        {"bottom anchored", {10, -1, -1, 100}, true, {10, 100 - size.cy, 10 + size.cx, 100}},
        {"top and bottom free", {10, -1, 200, -1}, false, {}},
        {"left and right free", {-1, 20, -1, 40}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vek::CTransparentStatic label;
        HWND hWnd = label.Create(window, 3321, 318, c.anchors, fonts.text.Get(), 0, true);
        EXPECT_EQ(hWnd != nullptr, c.created);
        if (hWnd == nullptr)
            continue;
        const RECT rect = label.GetWindowRectInParent();
        EXPECT_EQ(rect.left, c.expected.left);
        EXPECT_EQ(rect.top, c.expected.top);
        EXPECT_EQ(rect.right, c.expected.right);
        EXPECT_EQ(rect.bottom, c.expected.bottom);
    }
}

TEST_F(ControlsTest, TransparentTextTooltipTakesTheMouse)
{
    vek::CTransparentStatic label;
    ASSERT_NE(label.Create(window, 4342, 222, RECT{10, 100, -1, -1}, fonts.text.Get(), 0, true), nullptr);
    // Without a tooltip the mouse goes through to the window beneath.
    EXPECT_EQ(::SendMessageW(label, WM_NCHITTEST, 0, 0), HTTRANSPARENT);
    label.SetTooltip(L"Details");
    EXPECT_TRUE(label.HasTooltip());
    HWND tooltip = label.GetTooltipWindow();
    ASSERT_NE(tooltip, nullptr);
    EXPECT_EQ(::SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0), 1);
    EXPECT_NE(::SendMessageW(label, WM_NCHITTEST, 0, 0), HTTRANSPARENT);
    label.SetTooltip(L"");
    EXPECT_FALSE(label.HasTooltip());
    EXPECT_FALSE(::IsWindow(tooltip));

    // Resizing to the text wraps it at the current width.
    label.SetText(-1, L"The installation results in restart of the device. Make sure that you save unsaved data.",
                  true);
    const RECT rect = label.GetWindowRectInParent();
    EXPECT_EQ(rect.bottom - rect.top, label.HeightForWidth(rect.right - rect.left));
    EXPECT_EQ(::GetWindowContextHelpId(label), static_cast<DWORD>(-1));
}

TEST_F(ControlsTest, AnimatedBarMovesBetweenScreenshots)
{
    vek::InfiniteBar bar;
    const RECT rect = {20, 200, 320, 208};
    ASSERT_NE(bar.Create(window, rect), nullptr);
    EXPECT_FALSE(bar.IsAnimating());
    ASSERT_TRUE(bar.Start());
    EXPECT_TRUE(bar.IsAnimating());
    EXPECT_GT(bar.GetFrameCount(), 1u);
    EXPECT_EQ(bar.GetFrameIndex(), 1u); // frame 0 shown, frame 1 next
    EXPECT_EQ(bar.GetLastDelay(), 40u); // the GIF's 4 hundredths
    ASSERT_TRUE(bar.Start());           // a second start does not restart
    EXPECT_EQ(bar.GetFrameIndex(), 1u);

    const uitest::Capture first = uitest::CaptureWindow(window);
    uitest::Pump(300);
    const uitest::Capture second = uitest::CaptureWindow(window);
    EXPECT_FALSE(first.Save(L"progress_bar_1").empty());
    EXPECT_FALSE(second.Save(L"progress_bar_2").empty());
    EXPECT_NE(bar.GetFrameIndex(), 1u);
    int different = 0;
    for (int x = rect.left; x < rect.right; ++x)
        if (PixelAt(first, window, POINT{x, 204}) != PixelAt(second, window, POINT{x, 204}))
            ++different;
    EXPECT_GT(different, 10);

    bar.Stop();
    uitest::Pump(100);
    const UINT stopped = bar.GetFrameIndex();
    uitest::Pump(200);
    EXPECT_EQ(bar.GetFrameIndex(), stopped);
    ASSERT_TRUE(bar.Start());
    EXPECT_EQ(bar.GetFrameIndex(), 1u); // started again from frame 0
}

TEST(InfiniteBarLayout, RightToLeftDrawsUnmirroredAtTheRightEdge)
{
    uitest::TestWindow window(560, 120, WS_EX_LAYOUTRTL);
    vek::InfiniteBar bar;
    const RECT rect = {20, 80, 420, 88}; // wider than the 300-pixel animation
    ASSERT_NE(bar.Create(window, rect, 0, WS_CHILD | WS_VISIBLE), nullptr);
    ASSERT_TRUE(bar.Start());
    const uitest::Capture capture = uitest::CaptureWindow(window);
    EXPECT_FALSE(capture.Save(L"progress_bar_right_to_left").empty());
    RECT screen = bar.GetWindowRect();
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const int y = (screen.top + screen.bottom) / 2 - frame.top;
    // The animation (grey track or green segment) lies at the bar's right end on screen; its
    // left end shows the window beneath.
    auto animation = [](DWORD pixel) { return Near(pixel, 0xDDDDDD, 12) || Near(pixel, 0x1CA323, 12); };
    const DWORD right = capture.At(screen.right - 5 - frame.left, y);
    const DWORD left = capture.At(screen.left + 5 - frame.left, y);
    EXPECT_TRUE(animation(right)) << std::hex << right;
    EXPECT_FALSE(animation(left)) << std::hex << left;
}

} // namespace

namespace {

// The theme as the controls read it on WM_THEMECHANGED.
class HighContrastTheme {
public:
    ~HighContrastTheme() { vek::OverrideHighContrast(-1); }
    void Switch(bool on, std::initializer_list<HWND> windows)
    {
        vek::OverrideHighContrast(on ? 1 : 0);
        for (HWND hWnd : windows)
            ::SendMessageW(hWnd, WM_THEMECHANGED, 0, 0);
    }
};

TEST_F(ControlsTest, HighContrastThemeSwitch)
{
    vek::VekHyperLink link;
    ASSERT_NE(link.Create(window, RECT{20, 90, 260, 115}, L"click here.", L"https://help.talvern.example/", 1),
              nullptr);
    vek::CTransparentStatic label;
    ASSERT_NE(label.Create(window, 2, 222, RECT{20, 130, -1, -1}, fonts.boldText.Get(), RGB(0x66, 0x66, 0x66), true),
              nullptr);
    vek::CStaticImage logo;
    ASSERT_NE(logo.Create(window, IDR_PNG_LOGO, 300, 90, true), nullptr);
    Button button(Button::kStyleHover | Button::kStyleSingleEdge);
    ASSERT_TRUE(MakeFooterButton(button, 3, 380, L"Retry"));
    const RECT logoRect = logo.GetWindowRectInParent();
    const POINT logoPoint = {logoRect.left + 8, logoRect.top + 24};

    HighContrastTheme theme;
    theme.Switch(true, {link, label, logo, button});
    EXPECT_EQ(link.GetLinkColour(), RGB(255, 255, 255));
    EXPECT_TRUE(label.IsHighContrast());
    EXPECT_TRUE(button.IsHighContrast());
    const uitest::Capture contrast = uitest::CaptureWindow(window);
    EXPECT_FALSE(contrast.Save(L"high_contrast").empty());
    // The image's colours are inverted: the logo's blue becomes its complement.
    EXPECT_TRUE(Near(PixelAt(contrast, window, logoPoint), 0xE0904A, 10))
        << std::hex << PixelAt(contrast, window, logoPoint);

    theme.Switch(false, {link, label, logo, button});
    EXPECT_EQ(link.GetLinkColour(), RGB(0, 0, 255));
    EXPECT_FALSE(label.IsHighContrast());
    const uitest::Capture normal = uitest::CaptureWindow(window);
    EXPECT_TRUE(Near(PixelAt(normal, window, logoPoint), 0x1F6FB5, 10));
}

} // namespace

namespace {

// Serves the bar's images from a fixture DLL for the length of a test.
class BarResources {
public:
    explicit BarResources(const wchar_t* dll)
    {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path);
        folder.resize(folder.find_last_of(L'\\') + 1);
        m_module = ::LoadLibraryW((folder + dll).c_str());
        m_previous = CVekResourceLoader::Instance().GetModule();
        if (m_module != nullptr)
            CVekResourceLoader::Instance().SetModule(m_module);
    }
    ~BarResources()
    {
        CVekResourceLoader::Instance().SetModule(m_previous);
        if (m_module != nullptr)
            ::FreeLibrary(m_module);
    }
    bool Loaded() const { return m_module != nullptr; }

private:
    HMODULE m_module = nullptr;
    HMODULE m_previous = nullptr;
};

TEST(InfiniteBarFrames, DelaysFromTheAnimation)
{
    const struct {
        const wchar_t* dll;
        UINT frames;
        UINT delay;
        UINT nextIndex;
    } cases[] = {
        {L"ui_bar_ZeroDelay.dll", 3, 100, 1},  // a delay of 0 counts as 100 ms
        {L"ui_bar_SingleFrame.dll", 1, 70, 0}, // one frame: frame 0 again at its delay (below)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dll, c.dll + wcslen(c.dll)));
        BarResources resources(c.dll);
        ASSERT_TRUE(resources.Loaded());
        uitest::TestWindow window;
        vek::InfiniteBar bar;
        ASSERT_NE(bar.Create(window, RECT{20, 100, 320, 108}), nullptr);
        ASSERT_TRUE(bar.Start());
        // Wine's GDI+ gives a single-frame GIF no delay table (Windows gives its 7): 100 ms then.
        vek::VekResourceImage gif;
        ASSERT_TRUE(gif.Load(IDR_VEK_PROGRESS_GIF, L"GIF", CVekResourceLoader::Instance().GetModule()));
        const UINT delay = gif.GetImage()->GetPropertyItemSize(0x5100) != 0 ? c.delay : 100;
        EXPECT_EQ(bar.GetFrameCount(), c.frames);
        EXPECT_EQ(bar.GetLastDelay(), delay);
        EXPECT_EQ(bar.GetFrameIndex(), c.nextIndex);
        uitest::Pump(delay + 60);
        EXPECT_EQ(bar.GetLastDelay(), delay); // re-armed with the next frame's delay
    }
    // Without its images the bar is not created.
    BarResources none(L"ui_bar_Missing.dll");
    EXPECT_FALSE(none.Loaded());
    CVekResourceLoader::Instance().SetModule(::GetModuleHandleW(L"kernel32.dll"));
    uitest::TestWindow window;
    vek::InfiniteBar bar;
    EXPECT_EQ(bar.Create(window, RECT{20, 100, 320, 108}), nullptr);
    EXPECT_EQ(bar.GetHwnd(), nullptr);
}

} // namespace

namespace {

TEST(ImageButtonAutoRepeat, RepeatsWhileHeldAndStopsOnRelease)
{
    uitest::TestWindow window;
    ParkPointer();
    Button button(Button::kStyleHover | Button::kStyleAutoRepeat);
    ASSERT_TRUE(button.Create(window, RECT{10, 100, 130, 132}, L"+", Button::kWindowStyle, 0, 7, IDR_PNG_BUTTON,
                              IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER));
    int delay = 0;
    ::SystemParametersInfoW(SPI_GETKEYBOARDDELAY, 0, &delay, 0);
    ::SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, Point(5, 5));
    uitest::Pump(250 + 250 * static_cast<DWORD>(delay) + 400);
    const size_t held = window.commands.size();
    EXPECT_GE(held, 2u); // the first repeat, then the faster ones
    ::SendMessageW(button, WM_LBUTTONUP, 0, Point(5, 5));
    const size_t released = window.commands.size();
    EXPECT_EQ(released, held + 1); // the click of the release itself
    uitest::Pump(200);
    EXPECT_EQ(window.commands.size(), released);
}

} // namespace

namespace {

TEST(TransparentTextTooltip, ShowsUnderThePointerAndHidesWhenItLeaves)
{
    uitest::TestWindow window;
    vek::CTransparentStatic label;
    ASSERT_NE(label.Create(window, 4342, 222, RECT{20, 100, -1, -1}, nullptr, 0, true), nullptr);
    label.SetTooltip(L"Preparing the download");
    HWND tooltip = label.GetTooltipWindow();
    ASSERT_NE(tooltip, nullptr);

    // Real pointer moves (Xvfb moves its pointer for SetCursorPos).
    const RECT rect = label.GetWindowRect();
    const POINT inside = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    ::SetCursorPos(inside.x - 2, inside.y);
    uitest::Pump(50);
    ::SetCursorPos(inside.x, inside.y);
    bool shown = false;
    for (int i = 0; i < 40 && !shown; ++i) {
        uitest::Pump(50);
        shown = ::IsWindowVisible(tooltip) != FALSE;
    }
    EXPECT_TRUE(shown);
    if (shown) {
        EXPECT_FALSE(uitest::CaptureWindow(window).Save(L"tooltip").empty());
    }
    ::SetCursorPos(5, 5);
    bool hidden = false;
    for (int i = 0; i < 40 && !hidden; ++i) {
        uitest::Pump(50);
        hidden = !::IsWindowVisible(tooltip);
    }
    EXPECT_TRUE(hidden);
}

} // namespace
