#include "ui/controls/CGDIPlusButtonImpl.h"

#include "common/errors/qkLog.h"
#include "ui/VekWindowMessages.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"

#include <commctrl.h>
#include <windowsx.h>

namespace vek {

CGDIPlusButtonImpl::CGDIPlusButtonImpl(DWORD extendedStyle) : m_extendedStyle(extendedStyle) {}

CGDIPlusButtonImpl::~CGDIPlusButtonImpl() = default;

bool CGDIPlusButtonImpl::Create(HWND parent, const RECT& rect, const wchar_t* caption, DWORD style, DWORD exStyle,
                                UINT controlId, int normal, int pushed, int focusOrHover, int disabled)
{
    SetImages(normal, pushed, focusOrHover, disabled);
    if (VekWindowImpl::Create(L"BUTTON", parent, rect, caption, style, exStyle, controlId) == nullptr) {
        QK_LOG_ERROR(L"Unable to create button control %d: last err=%d", controlId, ::GetLastError());
        return false;
    }
    return true;
}

void CGDIPlusButtonImpl::SetImages(int normal, int pushed, int focusOrHover, int disabled)
{
    m_imageCount = 0;
    for (int id : {normal, pushed, focusOrHover, disabled})
        if (id != -1 && m_imageCount < 4)
            m_images[m_imageCount++] = id;
    for (int i = m_imageCount; i < 4; ++i)
        m_images[i] = -1;
    m_normalIndex = 0;
    m_pushedIndex = 1;
    m_focusIndex = 2;
    m_disabledIndex = disabled != -1 ? 3 : -1;
    if (m_hWnd != nullptr)
        Invalidate(FALSE);
}

void CGDIPlusButtonImpl::SetBackgroundColour(COLORREF colour, bool solid)
{
    m_background = colour;
    m_solidBackground = solid;
}

void CGDIPlusButtonImpl::SetTooltipText(const std::wstring& text)
{
    m_tooltipText = text;
    if (m_hWnd != nullptr)
        CreateTooltip();
}

void CGDIPlusButtonImpl::SetCaptionAndResize(const std::wstring& caption)
{
    InvalidateAreaInParent(1);
    {
        VekWindowDC dc(m_hWnd);
        VekSelectObject selected(dc.Get(), GetFont());
        SIZE text{};
        ::GetTextExtentPoint32W(dc.Get(), caption.c_str(), static_cast<int>(caption.size()), &text);
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, text.cx + 30, text.cy + 10, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ::SetWindowTextW(m_hWnd, caption.c_str());
    InvalidateAreaInParent(1);
    Invalidate(FALSE);
}

int CGDIPlusButtonImpl::GetCurrentImageId() const
{
    int index;
    if (m_hWnd != nullptr && !::IsWindowEnabled(m_hWnd))
        index = m_disabledIndex;
    else if (m_state & kPressed)
        index = m_pushedIndex;
    else if ((m_extendedStyle & kStyleHover) ? (m_state & kMouseOver) : (m_state & kFocus))
        index = m_focusIndex;
    else
        index = m_normalIndex;
    if (index == -1 || index >= m_imageCount)
        index = m_normalIndex;
    return (index >= 0 && index < m_imageCount) ? m_images[index] : -1;
}

LRESULT CGDIPlusButtonImpl::OnCreate(UINT, WPARAM, LPARAM, BOOL& handled)
{
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(GetStyle() | BS_OWNERDRAW));
    m_cursor = ::LoadCursorW(nullptr, IDC_HAND);
    m_highContrast = vek::IsHighContrast();
    m_leftToRight = (GetExStyle() & WS_EX_LAYOUTRTL) == 0;
    if (!m_tooltipText.empty())
        CreateTooltip();
    handled = FALSE; // the BUTTON class sets itself up too
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    ::KillTimer(m_hWnd, kTimerAutoRepeatFirst);
    ::KillTimer(m_hWnd, kTimerAutoRepeatNext);
    m_tooltip.Reset();
    handled = FALSE;
    return 0;
}

void CGDIPlusButtonImpl::CreateTooltip()
{
    if (!m_tooltip) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&controls);
        m_tooltip.Reset(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr));
        if (!m_tooltip) {
            QK_LOG_ERROR(L"Failed to create the tooltip of button %d, error %lu", GetDlgCtrlID(), ::GetLastError());
            return;
        }
    }
    ::SendMessageW(m_tooltip.Get(), TTM_ACTIVATE, TRUE, 0);
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND;
    tool.hwnd = m_hWnd;
    tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    tool.lpszText = m_tooltipText.data();
    ::SendMessageW(m_tooltip.Get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    ::SendMessageW(m_tooltip.Get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

LRESULT CGDIPlusButtonImpl::OnMouseRelay(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (m_tooltip) {
        MSG msg = {m_hWnd, uMsg, wParam, lParam, static_cast<DWORD>(::GetMessageTime()), {}};
        ::SendMessageW(m_tooltip.Get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    handled = FALSE; // the specific handlers below still see the message
    return 0;
}

VekResourceImage* CGDIPlusButtonImpl::CachedImage(int resourceId)
{
    auto found = m_cache.find(resourceId);
    if (found != m_cache.end())
        return found->second.get();
    std::shared_ptr<VekResourceImage> image = VekSharedResourceImage::Get(static_cast<UINT>(resourceId), L"PNG",
                                                                          CVekResourceLoader::Instance().GetModule());
    if (!image)
        return nullptr; // not cached: a later paint tries again
    return m_cache.emplace(resourceId, std::move(image)).first->second.get();
}

void CGDIPlusButtonImpl::DoPaint(HDC dc)
{
    const std::wstring caption = GetWindowText();
    RECT client = GetClientRect();

    if (m_highContrast) {
        ::FillRect(dc, &client, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    } else if (m_solidBackground) {
        VekBrush brush(::CreateSolidBrush(m_background));
        ::FillRect(dc, &client, brush.Get());
    } else {
        auto brush = reinterpret_cast<HBRUSH>(::SendMessageW(GetParent(), WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                                             reinterpret_cast<LPARAM>(m_hWnd)));
        ::FillRect(dc, &client, brush != nullptr ? brush : ::GetSysColorBrush(COLOR_BTNFACE));
    }

    // In high contrast the caption is white on the black fill, with or without the edge.
    COLORREF textColour = m_highContrast ? RGB(255, 255, 255) : RGB(0, 0, 0);
    if (m_highContrast) {
        if (m_extendedStyle & kStyleSingleEdge) {
            RECT edge = client;
            ::InflateRect(&edge, -1, -1);
            const UINT border = (m_state & (kPressed | kFocus)) ? BDR_SUNKENINNER : BDR_RAISEDINNER;
            ::DrawEdge(dc, &edge, border, BF_RECT);
        }
    } else {
        const int imageId = GetCurrentImageId();
        if (imageId != -1) {
            VekResourceImage* image = CachedImage(imageId);
            if (image == nullptr) {
                QK_LOG_ERROR(L"Failed to load %d resource", imageId);
                return;
            }
            // Images keep their orientation in a mirrored (right-to-left) layout.
            const DWORD layout = ::GetLayout(dc);
            if (!m_leftToRight)
                ::SetLayout(dc, layout & ~LAYOUT_RTL);
            {
                Gdiplus::Graphics graphics(dc);
                graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
                graphics.DrawImage(image->GetImage(), Gdiplus::Rect(0, 0, client.right, client.bottom));
            }
            if (!m_leftToRight)
                ::SetLayout(dc, layout);
        }
    }

    VekSelectObject selected(dc, GetFont());
    ::SetTextColor(dc, textColour);
    ::SetBkMode(dc, TRANSPARENT);
    ::DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

LRESULT CGDIPlusButtonImpl::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    DoPaint(paint.Get());
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnPrintClient(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    DoPaint(reinterpret_cast<HDC>(wParam));
    return 0;
}

void CGDIPlusButtonImpl::SetStateBits(DWORD bits, bool on)
{
    const DWORD state = on ? (m_state | bits) : (m_state & ~bits);
    if (state == m_state)
        return;
    m_state = state;
    InvalidateAreaInParent(1);
    Invalidate(FALSE);
}

void CGDIPlusButtonImpl::SendClick()
{
    ::SendMessageW(GetParent(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), BN_CLICKED), reinterpret_cast<LPARAM>(m_hWnd));
}

LRESULT CGDIPlusButtonImpl::OnSetFocus(UINT, WPARAM, LPARAM, BOOL&)
{
    SetStateBits(kFocus, true);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnKillFocus(UINT, WPARAM, LPARAM, BOOL&)
{
    SetStateBits(kFocus, false);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnLButtonDown(UINT, WPARAM, LPARAM, BOOL& handled)
{
    ::SetCapture(m_hWnd);
    SetStateBits(kPressed, true);
    if (m_extendedStyle & kStyleAutoRepeat) {
        int delay = 0; // 0..3
        ::SystemParametersInfoW(SPI_GETKEYBOARDDELAY, 0, &delay, 0);
        ::SetTimer(m_hWnd, kTimerAutoRepeatFirst, 250 + 250 * static_cast<UINT>(delay), nullptr);
    }
    // Without the hover style the button class makes the click on release.
    if (!(m_extendedStyle & kStyleHover))
        handled = FALSE;
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnLButtonUp(UINT, WPARAM, LPARAM, BOOL& handled)
{
    if (!(m_extendedStyle & kStyleHover)) {
        SetStateBits(kPressed, false);
        handled = FALSE;
        return 0;
    }
    const bool click = (m_state & kPressed) != 0;
    SetStateBits(kPressed, false);
    if (click)
        SendClick();
    if (::GetCapture() == m_hWnd)
        ::ReleaseCapture();
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnCaptureChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    SetStateBits(kPressed, false);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnEnable(UINT, WPARAM, LPARAM, BOOL&)
{
    InvalidateAreaInParent(1);
    Invalidate(FALSE);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnSetCursor(UINT, WPARAM, LPARAM, BOOL&)
{
    ::SetCursor(m_cursor);
    return TRUE;
}

LRESULT CGDIPlusButtonImpl::OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (::GetCapture() == m_hWnd) {
        const RECT client = GetClientRect();
        SetStateBits(kPressed, ::PtInRect(&client, point) != FALSE);
    } else if ((m_extendedStyle & kStyleHover) && !(m_state & kMouseOver)) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_hWnd, 0};
        ::TrackMouseEvent(&track);
        SetStateBits(kMouseOver, true);
    }
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&)
{
    SetStateBits(kMouseOver, false);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnKeyUp(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    if (wParam == VK_RETURN || wParam == VK_SPACE)
        SendClick();
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    if (wParam == kTimerAutoRepeatFirst) {
        ::KillTimer(m_hWnd, kTimerAutoRepeatFirst);
        if (m_state & kPressed)
            SendClick();
        DWORD speed = 0; // 0..31
        const UINT period =
            ::SystemParametersInfoW(SPI_GETKEYBOARDSPEED, 0, &speed, 0) ? 10000 / (10 * speed + 25) : 250;
        ::SetTimer(m_hWnd, kTimerAutoRepeatNext, period, nullptr);
        return 0;
    }
    if (wParam == kTimerAutoRepeatNext) {
        if (m_state & kPressed)
            SendClick();
        if (::GetCapture() != m_hWnd)
            ::KillTimer(m_hWnd, kTimerAutoRepeatNext);
        return 0;
    }
    handled = FALSE;
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnUpdateUiState(UINT, WPARAM, LPARAM, BOOL& handled)
{
    Invalidate(FALSE);
    handled = FALSE;
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    m_highContrast = vek::IsHighContrast();
    m_leftToRight = (GetExStyle() & WS_EX_LAYOUTRTL) == 0;
    InvalidateAreaInParent(1);
    Invalidate(FALSE);
    return 0;
}

LRESULT CGDIPlusButtonImpl::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const std::wstring id = L"Button_" + std::to_wstring(GetDlgCtrlID());
    std::wstring name = GetWindowText().substr(0, 100);
    if (name.empty())
        name = id;
    return HandleGetObject(m_hWnd, wParam, lParam, id, name);
}

bool CreateImageButton(HWND parent, CGDIPlusButtonImpl& button, UINT controlId, int x, int y, int width, int height,
                       int tooltipStringId, const wchar_t* tooltipDefault, int normal, int pushed, int focusOrHover,
                       int disabled)
{
    // -1 asks for no tooltip: no string is looked up (a lookup of it only fails and logs).
    std::wstring tooltip;
    if (tooltipStringId >= 0)
        CVekResourceLoader::Instance().LoadStringEx(tooltip, static_cast<UINT>(tooltipStringId), tooltipDefault);
    else if (tooltipDefault != nullptr)
        tooltip = tooltipDefault;
    button.SetTooltipText(tooltip);
    const RECT rect = {x, y, x + width, y + height};
    if (!button.Create(parent, rect, L"", CGDIPlusButtonImpl::kWindowStyle, 0, controlId, normal, pushed, focusOrHover,
                       disabled))
        return false;
    button.ShowWindow(SW_SHOW);
    return true;
}

} // namespace vek
