#pragma once
// A text label without a background of its own (the parent's shows through), placed by anchor
// edges, with an optional tooltip. A label without a tooltip lets the mouse through to the
// window beneath, as a plain STATIC does; with one it takes the mouse so that the tooltip sees
// it. White text in high contrast; UI Automation sees "Text_<control id>" named by its text.
#include "ui/window/VekWindowImpl.h"

#include <string>

namespace vek {

class CTransparentStatic : public VekWindowImpl {
public:
    static const wchar_t* const kClassName; // "VEK_Static", a superclass of STATIC

    CTransparentStatic() = default;

    // anchors: left, top, right, bottom in the parent's client coordinates; -1 marks a free edge
    // that the text's size decides (one of left/right and one of top/bottom must be given).
    // stringId -1: no text. The window, or null.
    HWND Create(HWND parent, UINT controlId, int stringId, const RECT& anchors, HFONT font, COLORREF colour, bool show);
    // The plain form.
    HWND Create(HWND parent, const RECT& rect, const wchar_t* name, DWORD style);

    // stringId -1: the given text; else the string in the user-interface language. Asks the
    // parent to repaint the area; `resize` fits the height to the text for the current width.
    void SetText(int stringId, const std::wstring& text, bool resize);
    void GetText(std::wstring& text) const { text = m_text; }
    void SetColour(COLORREF colour) { m_colour = colour; }
    void SetFormat(UINT flags) { m_format = flags; }
    UINT GetFormat() const { return m_format; }
    void SetExtraFormat(UINT flags) { m_extraFormat = flags; }
    // An empty text removes the tooltip.
    void SetTooltip(const std::wstring& text);

    COLORREF GetColour() const { return m_colour; }
    bool HasTooltip() const { return m_hasTooltip; }
    HWND GetTooltipWindow() const { return m_tooltip.Get(); }
    bool IsHighContrast() const { return m_highContrast; }
    // The text's height when wrapped at the given width.
    int HeightForWidth(int width);

    VEK_BEGIN_MSG_MAP(CTransparentStatic)
    VEK_MESSAGE_HANDLER(WM_THEMECHANGED, OnThemeChanged)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouseMessage)
    VEK_MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    VEK_MESSAGE_HANDLER(WM_NCHITTEST, OnNcHitTest)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_END_MSG_MAP()

private:
    LRESULT OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnMouseMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnNcHitTest(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);

    COLORREF m_colour = 0;
    UINT m_format = DT_WORDBREAK;
    bool m_highContrast = false;
    std::wstring m_text;
    UINT m_extraFormat = 0;
    VekOwnedWindow m_tooltip;
    std::wstring m_tooltipText;
    bool m_hasTooltip = false;
};

} // namespace vek
