#pragma once
// Helpers of the user-interface tests: GDI+ and the common controls for the whole run, a
// top-level test window that paints a background and records what its children tell it, a
// message pump, and screenshots saved as PNG beside the test program (screenshots/<name>.png)
// for a person to look at.
#include "ui/window/VekWindowImpl.h"

#include <string>
#include <vector>

namespace uitest {

// Runs the thread's messages for the given time.
void Pump(DWORD milliseconds);

// A top-level window with a painted background (a light gradient and the banner image).
class TestWindow : public vek::VekWindowImpl {
public:
    // Hidden windows serve tests that only measure (a shown window as large as the screen counts as
    // full-screen to Wine, and destroying it waits for a window manager).
    explicit TestWindow(int width = 560, int height = 260, DWORD exStyle = 0, bool show = true);

    std::vector<UINT> commands;      // control ids of WM_COMMAND
    std::vector<UINT> notifications; // NMHDR codes of WM_NOTIFY
    int invalidateCount = 0;         // WM_VEK_INVALIDATE_AREA received
    LPARAM lastInvalidateFlag = -1;
    int closeCount = 0; // WM_CLOSE received (the window stays)

    VEK_BEGIN_MSG_MAP(TestWindow)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(WM_VEK_INVALIDATE_AREA_ID, OnInvalidateArea)
    VEK_MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    VEK_MESSAGE_HANDLER(WM_NOTIFY, OnNotify)
    VEK_MESSAGE_HANDLER(WM_CLOSE, OnClose)
    VEK_MESSAGE_HANDLER(WM_CTLCOLORBTN, OnCtlColorButton)
    VEK_REFLECT_NOTIFICATIONS()
    VEK_END_MSG_MAP()

private:
    static const UINT WM_VEK_INVALIDATE_AREA_ID;
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnInvalidateArea(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnClose(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColorButton(UINT, WPARAM, LPARAM, BOOL&);
};

// The pixels of a window as the screen shows them (32-bit 0x00RRGGBB, rows top down).
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<DWORD> pixels;

    DWORD At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // Saves screenshots/<name>.png beside the test program; the path, or empty on failure.
    std::wstring Save(const std::wstring& name) const;
};

// Repaints the window (unless told not to: then it shows what its own painting left there), lets
// the display settle and reads its screen area.
Capture CaptureWindow(HWND hWnd, bool repaint = true);

} // namespace uitest
