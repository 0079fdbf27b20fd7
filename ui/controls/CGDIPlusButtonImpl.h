#pragma once
// The launcher's owner-drawn push button: one of up to four PNG images (normal, pushed,
// focus-or-hover, disabled) stretched over the button with GDI+, the caption centred on top.
// The background is the parent's button brush or a solid colour; high contrast replaces the
// images by black (and, with the single 3-D edge style, an edge). Hover tracking, an optional
// tooltip and optional auto-repeat. Every visible change of state is reported to the parent
// with WM_VEK_INVALIDATE_AREA first, so that a parent that paints its background repaints it.
// The window is of the system class "BUTTON", routed through the message map from its creation.
#include "ui/image/VekSharedResourceImage.h"
#include "ui/window/VekWindowImpl.h"

#include <map>
#include <memory>
#include <string>

namespace vek {

class CGDIPlusButtonImpl : public VekWindowImpl {
public:
    // Extended style bits.
    enum : DWORD {
        kStyleHover = 0x01,      // mouse-over selects the focus-or-hover image; click on release
        kStyleSingleEdge = 0x02, // high contrast: white caption inside a 3-D edge
        kStyleDoubleEdge = 0x04,
        kStyleAutoSize = 0x08,
        kStyleAutoRepeat = 0x20, // held down: repeated WM_COMMAND
    };
    // State bits.
    enum : DWORD { kMouseOver = 1, kFocus = 2, kPressed = 4 };
    // Window styles of the button (child, visible, clip siblings, clip children).
    static const DWORD kWindowStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;

    explicit CGDIPlusButtonImpl(DWORD extendedStyle = 0);
    ~CGDIPlusButtonImpl() override;

    // Image ids -1 are not given; without a disabled image the disabled state draws the normal one.
    bool Create(HWND parent, const RECT& rect, const wchar_t* caption, DWORD style, DWORD exStyle, UINT controlId,
                int normal, int pushed, int focusOrHover, int disabled = -1);

    void SetImages(int normal, int pushed, int focusOrHover, int disabled = -1);
    void SetBackgroundColour(COLORREF colour, bool solid);
    void SetTooltipText(const std::wstring& text);
    // Sets the caption and sizes the button 30 pixels wider and 10 taller than the text.
    void SetCaptionAndResize(const std::wstring& caption);

    DWORD GetState() const { return m_state; }
    DWORD GetExtendedStyle() const { return m_extendedStyle; }
    // The PNG id the button draws now (-1: none), as the drawing would choose it.
    int GetCurrentImageId() const;
    bool IsHighContrast() const { return m_highContrast; }
    void SetHighContrast(bool on) { m_highContrast = on; }

    VEK_BEGIN_MSG_MAP(CGDIPlusButtonImpl)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouseRelay)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_PRINTCLIENT, OnPrintClient)
    VEK_MESSAGE_HANDLER(WM_SETFOCUS, OnSetFocus)
    VEK_MESSAGE_HANDLER(WM_KILLFOCUS, OnKillFocus)
    VEK_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    VEK_MESSAGE_HANDLER(WM_LBUTTONDBLCLK, OnLButtonDown)
    VEK_MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    VEK_MESSAGE_HANDLER(WM_CAPTURECHANGED, OnCaptureChanged)
    VEK_MESSAGE_HANDLER(WM_ENABLE, OnEnable)
    VEK_MESSAGE_HANDLER(WM_SETCURSOR, OnSetCursor)
    VEK_MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    VEK_MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    VEK_MESSAGE_HANDLER(WM_KEYDOWN, OnKeyDown)
    VEK_MESSAGE_HANDLER(WM_KEYUP, OnKeyUp)
    VEK_MESSAGE_HANDLER(WM_TIMER, OnTimer)
    VEK_MESSAGE_HANDLER(WM_UPDATEUISTATE, OnUpdateUiState)
    VEK_MESSAGE_HANDLER(WM_THEMECHANGED, OnThemeChanged)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_END_MSG_MAP()

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnMouseRelay(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPrintClient(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnSetFocus(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnKillFocus(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnCaptureChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEnable(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnKeyDown(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
    LRESULT OnKeyUp(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled);
    LRESULT OnUpdateUiState(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&);

    void DoPaint(HDC dc);
    // Sets or clears state bits; a change is reported to the parent, then redrawn.
    void SetStateBits(DWORD bits, bool on);
    void SendClick();
    void CreateTooltip();
    VekResourceImage* CachedImage(int resourceId);

    VekOwnedWindow m_tooltip;
    std::wstring m_tooltipText;
    int m_images[4] = {-1, -1, -1, -1};
    int m_imageCount = 0;
    COLORREF m_background = RGB(255, 255, 255);
    bool m_solidBackground = false;
    bool m_leftToRight = true;
    bool m_highContrast = false;
    DWORD m_extendedStyle;
    int m_normalIndex = -1;
    int m_pushedIndex = -1;
    int m_focusIndex = -1;
    int m_disabledIndex = -1;
    std::map<int, std::shared_ptr<VekResourceImage>> m_cache; // shared with every control of the same image
    DWORD m_state = 0;
    HCURSOR m_cursor = nullptr;
};

// Creates a button for the user-interface windows: images as Create takes them, the tooltip
// text from the string table (or its default; a string id of -1 takes the default alone, and
// null there gives no tooltip), the window on the rectangle, shown.
bool CreateImageButton(HWND parent, CGDIPlusButtonImpl& button, UINT controlId, int x, int y, int width, int height,
                       int tooltipStringId, const wchar_t* tooltipDefault, int normal, int pushed, int focusOrHover,
                       int disabled = -1);

} // namespace vek
