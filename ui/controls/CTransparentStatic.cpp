#include "ui/controls/CTransparentStatic.h"

#include "common/errors/qkLog.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"

#include <commctrl.h>

namespace vek {

const wchar_t* const CTransparentStatic::kClassName = L"VEK_Static";

HWND CTransparentStatic::Create(HWND parent, UINT controlId, int stringId, const RECT& anchors, HFONT font,
                                COLORREF colour, bool show)
{
    if (parent == nullptr) {
        QK_LOG_ERROR(L"NULL specified as parent window");
        return nullptr;
    }
    if (anchors.top == -1 && anchors.bottom == -1) {
        QK_LOG_ERROR(L"One of top or bottom should be anchor and cannot be -1");
        return nullptr;
    }
    if (anchors.left == -1 && anchors.right == -1) {
        QK_LOG_ERROR(L"One of left or right should be anchor and cannot be -1");
        return nullptr;
    }
    if (!RegisterSuperclass(kClassName, L"STATIC"))
        return nullptr;
    if (VekWindowImpl::Create(kClassName, parent, anchors, L"", WS_CHILD, 0, controlId) == nullptr) {
        QK_LOG_ERROR(L"Failed to create CImageStatic control. last error %d", ::GetLastError());
        return nullptr;
    }
    m_highContrast = vek::IsHighContrast();
    m_text = stringId == -1 ? std::wstring() : CVekResourceLoader::Instance().GetString(static_cast<UINT>(stringId));
    ::SetWindowTextW(m_hWnd, m_text.c_str());
    SetFont(font, TRUE);
    SetColour(colour);

    RECT rect = anchors;
    if (!m_text.empty() && (rect.left == -1 || rect.top == -1 || rect.right == -1 || rect.bottom == -1)) {
        VekWindowDC dc(m_hWnd);
        VekSelectObject selected(dc.Get(), font);
        SIZE text{};
        ::GetTextExtentPoint32W(dc.Get(), m_text.c_str(), static_cast<int>(m_text.size()), &text);
        if (rect.bottom == -1)
            rect.bottom = rect.top + text.cy;
        if (rect.right == -1)
            rect.right = rect.left + text.cx;
        if (rect.top == -1)
            rect.top = rect.bottom - text.cy;
        if (rect.left == -1)
            rect.left = rect.right - text.cx;
        ::MoveWindow(m_hWnd, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, TRUE);
    }
    if (show)
        ShowWindow(SW_SHOW);
    return m_hWnd;
}

HWND CTransparentStatic::Create(HWND parent, const RECT& rect, const wchar_t* name, DWORD style)
{
    if (!RegisterSuperclass(kClassName, L"STATIC"))
        return nullptr;
    if (VekWindowImpl::Create(kClassName, parent, rect, name, style | WS_CHILD) == nullptr) {
        QK_LOG_ERROR(L"Failed to create CImageStatic control. last error %d", ::GetLastError());
        return nullptr;
    }
    m_highContrast = vek::IsHighContrast();
    m_text = name != nullptr ? name : L"";
    return m_hWnd;
}

void CTransparentStatic::SetText(int stringId, const std::wstring& text, bool resize)
{
    std::wstring value = stringId == -1 ? text : CVekResourceLoader::Instance().GetString(static_cast<UINT>(stringId));
    ::SetWindowContextHelpId(m_hWnd, static_cast<DWORD>(stringId));
    m_text = std::move(value);
    ::SetWindowTextW(m_hWnd, m_text.c_str());
    InvalidateAreaInParent(1);
    if (resize) {
        const RECT rect = GetWindowRectInParent();
        const int height = HeightForWidth(rect.right - rect.left);
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, rect.right - rect.left, height,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Invalidate(TRUE);
    ShowWindow(SW_SHOW);
}

int CTransparentStatic::HeightForWidth(int width)
{
    VekWindowDC dc(m_hWnd);
    VekSelectObject selected(dc.Get(), GetFont());
    RECT rect = {0, 0, width, 0};
    ::DrawTextW(dc.Get(), m_text.c_str(), static_cast<int>(m_text.size()), &rect, DT_CALCRECT | DT_WORDBREAK);
    return rect.bottom - rect.top;
}

void CTransparentStatic::SetTooltip(const std::wstring& text)
{
    if (text.empty()) {
        m_hasTooltip = false;
        m_tooltipText.clear();
        m_tooltip.Reset();
        return;
    }
    if (!m_tooltip) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&controls);
        m_tooltip.Reset(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr));
        if (!m_tooltip) {
            QK_LOG_ERROR(L"Failed to create the tooltip of control %d, error %lu", GetDlgCtrlID(), ::GetLastError());
            return;
        }
    }
    m_hasTooltip = true;
    m_tooltipText = text;
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

LRESULT CTransparentStatic::OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    m_highContrast = vek::IsHighContrast();
    InvalidateAreaInParent(1);
    Invalidate(TRUE);
    return 0;
}

LRESULT CTransparentStatic::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    RECT client = GetClientRect();
    VekSelectObject selected(paint.Get(), GetFont());
    ::SetTextColor(paint.Get(), m_highContrast ? RGB(255, 255, 255) : m_colour);
    ::SetBkMode(paint.Get(), TRANSPARENT);
    if (m_extraFormat == 0)
        ::DrawTextW(paint.Get(), m_text.c_str(), static_cast<int>(m_text.size()), &client, m_format);
    else
        ::DrawTextExW(paint.Get(), m_text.data(), static_cast<int>(m_text.size()), &client, m_format | m_extraFormat,
                      nullptr);
    return 0;
}

LRESULT CTransparentStatic::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    return HandleGetObject(m_hWnd, wParam, lParam, L"Text_" + std::to_wstring(GetDlgCtrlID()), m_text);
}

LRESULT CTransparentStatic::OnMouseMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (m_tooltip) {
        MSG msg = {m_hWnd, uMsg, wParam, lParam, static_cast<DWORD>(::GetMessageTime()), {}};
        ::SendMessageW(m_tooltip.Get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
        if (uMsg == WM_MOUSEMOVE) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_hWnd, 0};
            ::TrackMouseEvent(&track);
        }
    }
    handled = FALSE;
    return 0;
}

LRESULT CTransparentStatic::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL& handled)
{
    if (!m_tooltip) {
        handled = FALSE;
        return 0;
    }
    // Deactivating hides the tip; the tool stays registered for the next hover.
    ::SendMessageW(m_tooltip.Get(), TTM_ACTIVATE, FALSE, 0);
    ::SendMessageW(m_tooltip.Get(), TTM_ACTIVATE, TRUE, 0);
    return 0;
}

LRESULT CTransparentStatic::OnNcHitTest(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (!m_hasTooltip) {
        handled = FALSE; // STATIC without SS_NOTIFY: transparent to the mouse
        return 0;
    }
    return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CTransparentStatic::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    m_tooltip.Reset();
    handled = FALSE;
    return 0;
}

} // namespace vek
