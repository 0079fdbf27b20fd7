#pragma once
// A window handle with the few helpers the user interface uses. It does not own the window:
// the window's own lifetime (DestroyWindow, its parent) decides.
#include <windows.h>

#include <string>

namespace vek {

class VekWindow {
public:
    explicit VekWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}
    virtual ~VekWindow() = default;

    HWND GetHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }
    bool IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }

    HWND GetParent() const { return ::GetParent(m_hWnd); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    std::wstring GetWindowText() const;
    BOOL SetWindowText(const wchar_t* text) { return ::SetWindowTextW(m_hWnd, text); }
    RECT GetClientRect() const;
    RECT GetWindowRect() const;
    // The window rectangle in the client coordinates of its parent.
    RECT GetWindowRectInParent() const;
    HFONT GetFont() const { return reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)); }
    void SetFont(HFONT font, BOOL redraw = TRUE)
    {
        ::SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
    }
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL Invalidate(BOOL erase = TRUE) { return ::InvalidateRect(m_hWnd, nullptr, erase); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }

    // Sends WM_VEK_INVALIDATE_AREA with this window's rectangle (screen coordinates) to the
    // parent, so that a parent that paints the background repaints the area beneath.
    void InvalidateAreaInParent(LPARAM flag) const;

protected:
    HWND m_hWnd;
};

// Owns a window this code made outside the window layer (a tooltip, a test window):
// DestroyWindow in the destructor.
class VekOwnedWindow {
public:
    explicit VekOwnedWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}
    ~VekOwnedWindow() { Reset(); }
    VekOwnedWindow(const VekOwnedWindow&) = delete;
    VekOwnedWindow& operator=(const VekOwnedWindow&) = delete;

    void Reset(HWND hWnd = nullptr)
    {
        if (m_hWnd != nullptr && m_hWnd != hWnd && ::IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
        m_hWnd = hWnd;
    }
    HWND Get() const { return m_hWnd; }
    explicit operator bool() const { return m_hWnd != nullptr; }

private:
    HWND m_hWnd;
};

} // namespace vek
