#include "ui/controls/VekHyperLink.h"

#include "common/errors/qkLog.h"
#include "ui/VekWindowMessages.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/util/VekScreen.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

namespace vek {

const wchar_t* const VekHyperLink::kClassName = L"VEK_HyperLink";

HWND VekHyperLink::Create(HWND parent, const RECT& rect, const std::wstring& label, const std::wstring& url,
                          UINT controlId, DWORD extendedStyle, DWORD style)
{
    if (!RegisterWindowClass(kClassName, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                             reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)), nullptr))
        return nullptr;
    m_label = label;
    m_url = url;
    m_extendedStyle = extendedStyle;
    return VekWindowImpl::Create(kClassName, parent, rect, label.c_str(), style, 0, controlId);
}

LRESULT VekHyperLink::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    m_highContrast = vek::IsHighContrast();
    if (m_highContrast) {
        m_savedLinkColour = m_linkColour;
        m_linkColour = RGB(255, 255, 255);
    }
    if (m_font == nullptr) {
        HWND parent = GetParent();
        m_font = parent ? reinterpret_cast<HFONT>(::SendMessageW(parent, WM_GETFONT, 0, 0)) : nullptr;
        if (m_font == nullptr)
            m_font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    }
    MakeUnderlineFont();
    if (!(m_extendedStyle & kNoTooltip))
        CreateTooltip();
    return 0;
}

LRESULT VekHyperLink::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    m_tooltip.Reset();
    handled = FALSE;
    return 0;
}

void VekHyperLink::SetLinkFont(HFONT font)
{
    m_font = font;
    MakeUnderlineFont();
    if (m_hWnd != nullptr)
        Invalidate(TRUE);
}

void VekHyperLink::MakeUnderlineFont()
{
    LOGFONTW logFont{};
    if (m_font == nullptr || ::GetObjectW(m_font, sizeof(logFont), &logFont) == 0)
        return;
    logFont.lfUnderline = TRUE;
    m_underlineFont.Reset(::CreateFontIndirectW(&logFont));
}

void VekHyperLink::CreateTooltip()
{
    const std::wstring& tip = m_url.empty() ? m_label : m_url;
    if (tip.empty())
        return;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    m_tooltip.Reset(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                      ::GetModuleHandleW(nullptr), nullptr));
    if (!m_tooltip)
        return;
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND;
    tool.hwnd = m_hWnd;
    tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    tool.lpszText = const_cast<wchar_t*>(tip.c_str());
    ::SendMessageW(m_tooltip.Get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

int VekHyperLink::SetLabel(const std::wstring& label, bool autoSize)
{
    int grown = 0;
    if (autoSize && m_hWnd != nullptr) {
        VekWindowDC dc(m_hWnd);
        VekSelectObject selected(dc.Get(), m_underlineFont ? m_underlineFont.Get() : m_font);
        SIZE text{};
        ::GetTextExtentPoint32W(dc.Get(), label.c_str(), static_cast<int>(label.size()), &text);
        const RECT rect = GetWindowRectInParent();
        const int width = std::max<int>(rect.right - rect.left, text.cx + 5);
        const int height = std::max<int>(rect.bottom - rect.top, text.cy + 5);
        grown = height - (rect.bottom - rect.top);
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    m_label = label;
    if (m_hWnd != nullptr) {
        ::SetWindowTextW(m_hWnd, label.c_str());
        Invalidate(TRUE);
    }
    return grown;
}

RECT VekHyperLink::GetLabelRect()
{
    RECT client = GetClientRect();
    VekWindowDC dc(m_hWnd);
    VekSelectObject selected(dc.Get(), m_font);
    RECT text = client;
    ::DrawTextW(dc.Get(), m_label.c_str(), static_cast<int>(m_label.size()), &text,
                (m_drawFlags & ~(DT_CENTER | DT_VCENTER | DT_RIGHT | DT_BOTTOM)) | DT_CALCRECT);
    const int width = text.right - text.left;
    const int height = text.bottom - text.top;
    RECT label = client;
    if (m_drawFlags & DT_CENTER)
        label.left = client.left + (client.right - client.left - width) / 2;
    else if (m_drawFlags & DT_RIGHT)
        label.left = client.right - width;
    if ((m_drawFlags & DT_SINGLELINE) && (m_drawFlags & DT_VCENTER))
        label.top = client.top + (client.bottom - client.top - height) / 2;
    else if ((m_drawFlags & DT_SINGLELINE) && (m_drawFlags & DT_BOTTOM))
        label.top = client.bottom - height;
    label.right = label.left + width;
    label.bottom = label.top + height;
    return label;
}

bool VekHyperLink::InLabel(LPARAM lParam)
{
    const POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    const RECT label = GetLabelRect();
    return ::PtInRect(&label, point) != FALSE;
}

bool VekHyperLink::Navigate()
{
    QK_LOG_INFO(L"open link");
    HWND parent = GetParent();
    const int id = GetDlgCtrlID();
    if (m_extendedStyle & kNotifyButton) {
        NMHDR header = {m_hWnd, static_cast<UINT_PTR>(id), static_cast<UINT>(NM_CLICK)};
        ::SendMessageW(parent, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&header));
        return true;
    }
    if (m_extendedStyle & kCommandButton) {
        ::SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, 0), reinterpret_cast<LPARAM>(m_hWnd));
        return true;
    }
    const int result = m_opener->OpenLink(m_url);
    if (result <= 32) {
        QK_LOG_ERROR(L"Unable to open link with error: %d", result);
        return false;
    }
    m_visited = true;
    InvalidateAreaInParent(0);
    Invalidate(TRUE);
    return true;
}

LRESULT VekHyperLink::OnMouseRelay(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (m_tooltip) {
        MSG msg = {m_hWnd, uMsg, wParam, lParam, static_cast<DWORD>(::GetMessageTime()), {}};
        ::SendMessageW(m_tooltip.Get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    handled = FALSE;
    return 0;
}

LRESULT VekHyperLink::OnKeyUp(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    if (wParam == VK_RETURN) {
        Navigate();
        if (m_closeParentOnClick)
            ::PostMessageW(GetParent(), WM_CLOSE, 0, 0);
    }
    return 0;
}

void VekHyperLink::SetLinkColour(COLORREF colour)
{
    m_savedLinkColour = colour;
    if (!m_highContrast)
        m_linkColour = colour;
    if (IsWindow())
        Invalidate(TRUE);
}

LRESULT VekHyperLink::OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    const bool highContrast = vek::IsHighContrast();
    if (highContrast && !m_highContrast) {
        m_savedLinkColour = m_linkColour;
        m_linkColour = RGB(255, 255, 255);
    } else if (!highContrast && m_highContrast) {
        m_linkColour = m_savedLinkColour;
    }
    m_highContrast = highContrast;
    Invalidate(TRUE);
    return 0;
}

LRESULT VekHyperLink::OnFocus(UINT, WPARAM, LPARAM, BOOL&)
{
    InvalidateAreaInParent(0);
    Invalidate(TRUE);
    return 0;
}

LRESULT VekHyperLink::OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (InLabel(lParam)) {
        ::SetFocus(m_hWnd);
        ::SetCapture(m_hWnd);
        m_pressed = true;
    }
    InvalidateAreaInParent(0);
    Invalidate(TRUE);
    return 0;
}

LRESULT VekHyperLink::OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    bool navigated = false;
    if (::GetCapture() == m_hWnd) {
        ::ReleaseCapture();
        if (InLabel(lParam))
            navigated = Navigate();
        else
            QK_LOG_INFO(L"Mouse clicked not in the hyperlink rectangle");
    } else {
        QK_LOG_INFO(L"The mouse focus not set to hyperlink");
    }
    m_pressed = false;
    InvalidateAreaInParent(0);
    Invalidate(TRUE);
    if (m_closeParentOnClick && navigated)
        ::PostMessageW(GetParent(), WM_CLOSE, 0, 0);
    return 0;
}

LRESULT VekHyperLink::OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const bool over = InLabel(lParam);
    if (over != m_hover) {
        m_hover = over;
        if (over) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_hWnd, 0};
            ::TrackMouseEvent(&track);
        }
        Invalidate(TRUE);
    }
    return 0;
}

LRESULT VekHyperLink::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_hover) {
        m_hover = false;
        Invalidate(TRUE);
    }
    return 0;
}

LRESULT VekHyperLink::OnSetCursor(UINT, WPARAM, LPARAM, BOOL& handled)
{
    POINT point{};
    ::GetCursorPos(&point);
    ::ScreenToClient(m_hWnd, &point);
    const RECT label = GetLabelRect();
    if (!::PtInRect(&label, point)) {
        handled = FALSE;
        return 0;
    }
    ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
    return TRUE;
}

void VekHyperLink::DoPaint(HDC dc)
{
    RECT client = GetClientRect();
    const bool underline = !(m_extendedStyle & kNotUnderlined) && (!(m_extendedStyle & kUnderlineHover) || m_hover);
    VekSelectObject selected(dc, underline && m_underlineFont ? m_underlineFont.Get() : m_font);
    COLORREF colour = m_visited ? m_visitedColour : m_linkColour;
    if (!::IsWindowEnabled(m_hWnd))
        colour = ::GetSysColor(COLOR_GRAYTEXT);
    else if (m_pressed && !m_highContrast)
        colour = RGB(0x22, 0x22, 0x22);
    ::SetTextColor(dc, colour);
    ::SetBkMode(dc, TRANSPARENT);
    ::DrawTextW(dc, m_label.c_str(), static_cast<int>(m_label.size()), &client, m_drawFlags);
    if (::GetFocus() == m_hWnd) {
        RECT label = GetLabelRect();
        ::DrawFocusRect(dc, &label);
    }
}

LRESULT VekHyperLink::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    DoPaint(paint.Get());
    return 0;
}

LRESULT VekHyperLink::OnPrintClient(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    DoPaint(reinterpret_cast<HDC>(wParam));
    return 0;
}

LRESULT VekHyperLink::OnEnable(UINT, WPARAM, LPARAM, BOOL&)
{
    Invalidate(TRUE);
    return 0;
}

LRESULT VekHyperLink::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const std::wstring id = L"HyperLink_" + std::to_wstring(GetDlgCtrlID());
    const std::wstring name = (m_label.empty() ? m_url : m_label).substr(0, 100);
    return HandleGetObject(m_hWnd, wParam, lParam, id, name);
}

} // namespace vek
