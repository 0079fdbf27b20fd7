#pragma once
// The launcher's links: window class "VEK_HyperLink". Draws a label in link colours on a
// transparent background, and on a click (or Enter) notifies the parent (notify style), sends it
// a command (command style) or opens the address through the link opener. Reports its area to
// the parent for repainting; white in high contrast; UI Automation sees "HyperLink_<id>".
#include "ui/controls/VekLinkOpener.h"
#include "ui/window/VekGdi.h"
#include "ui/window/VekWindowImpl.h"

#include <string>

namespace vek {

class VekHyperLink : public VekWindowImpl {
public:
    static const wchar_t* const kClassName;

    // Extended style bits.
    enum : DWORD {
        kNotUnderlined = 0x01,
        kUnderlineHover = 0x02,
        kCommandButton = 0x04, // WM_COMMAND with the control id to the parent
        kNotifyButton = 0x08,  // WM_NOTIFY NM_CLICK to the parent
        kNoTooltip = 0x40,
    };

    VekHyperLink() = default;

    HWND Create(HWND parent, const RECT& rect, const std::wstring& label, const std::wstring& url, UINT controlId,
                DWORD extendedStyle = 0, DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP);

    // With auto-size the window grows (never shrinks) to the text plus 5 pixels each way;
    // returns how much taller it became.
    int SetLabel(const std::wstring& label, bool autoSize = false);
    void SetUrl(const std::wstring& url) { m_url = url; }
    void SetLinkFont(HFONT font);
    HFONT GetLinkFont() const { return m_font; }
    void SetCloseParentOnClick(bool close) { m_closeParentOnClick = close; }
    void SetLinkOpener(IVekLinkOpener* opener) { m_opener = opener; }
    void SetDrawTextFlags(UINT flags) { m_drawFlags = flags; }

    // Follows the link as its style says; true when it went through.
    bool Navigate();

    const std::wstring& GetLabel() const { return m_label; }
    bool IsVisited() const { return m_visited; }
    bool IsPressed() const { return m_pressed; }
    COLORREF GetLinkColour() const { return m_linkColour; }
    // The colour of the label while not visited; in high contrast it is kept for the return to
    // the normal theme (the label stays white meanwhile).
    void SetLinkColour(COLORREF colour);
    // The label's rectangle in client coordinates.
    RECT GetLabelRect();

    VEK_BEGIN_MSG_MAP(VekHyperLink)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouseRelay)
    VEK_MESSAGE_HANDLER(WM_KEYUP, OnKeyUp)
    VEK_MESSAGE_HANDLER(WM_THEMECHANGED, OnThemeChanged)
    VEK_MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
    VEK_MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
    VEK_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    VEK_MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    VEK_MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    VEK_MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    VEK_MESSAGE_HANDLER(WM_SETCURSOR, OnSetCursor)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_PRINTCLIENT, OnPrintClient)
    VEK_MESSAGE_HANDLER(WM_ENABLE, OnEnable)
    VEK_MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_END_MSG_MAP()

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnMouseRelay(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnKeyUp(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPrintClient(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnEnable(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTALLKEYS; }
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&);

    void DoPaint(HDC dc);
    void MakeUnderlineFont();
    void CreateTooltip();
    bool InLabel(LPARAM lParam);

    std::wstring m_label;
    std::wstring m_url;
    VekOwnedWindow m_tooltip;
    HFONT m_font = nullptr; // the normal font (not owned)
    VekFont m_underlineFont;
    COLORREF m_linkColour = RGB(0, 0, 255);
    COLORREF m_visitedColour = RGB(128, 0, 128);
    COLORREF m_savedLinkColour = RGB(0, 0, 255);
    UINT m_drawFlags = DT_CENTER | DT_VCENTER | DT_SINGLELINE; // 37
    DWORD m_extendedStyle = 0;
    bool m_visited = false;
    bool m_hover = false;
    bool m_pressed = false;
    bool m_highContrast = false;
    bool m_closeParentOnClick = false;
    IVekLinkOpener* m_opener = &VekLinkOpener::Default();
};

} // namespace vek
