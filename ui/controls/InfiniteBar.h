#pragma once
// The indeterminate (busy) progress bar: plays the animated GIF 105 frame by frame, each frame
// for the delay the GIF gives the frame that comes next (hundredths of a second; 0 or missing
// counts as 100 ms), drawn at its own size scaled to the screen and never mirrored (at the
// right edge in a right-to-left window). It paints no background: the parent's shows through.
// The owner creates it as a child window, shows it and calls Start; Stop when the work ends.
#include "ui/image/VekResourceImage.h"
#include "ui/window/VekWindowImpl.h"

#include <memory>
#include <vector>

namespace vek {

class InfiniteBar : public VekWindowImpl {
public:
    static const wchar_t* const kClassName;

    InfiniteBar() = default;

    // A child window of the parent on the rectangle; null when the images cannot be loaded.
    HWND Create(HWND parent, const RECT& rect, UINT controlId = 0, DWORD style = WS_CHILD | WS_VISIBLE);
    // Prepares the frames and starts at frame 0; true at once when already started.
    bool Start();
    // The animation stops at the next tick; the next Start begins again at frame 0.
    void Stop();

    bool IsAnimating() const { return m_animating; }
    UINT GetFrameIndex() const { return m_frameIndex; }
    UINT GetFrameCount() const { return m_frameCount; }
    // The timer period the current frame was given, in milliseconds.
    UINT GetLastDelay() const { return m_lastDelay; }
    // The animation's size on a screen of the given resolution (its own size at 96 DPI).
    static SIZE DrawnSize(SIZE image, int dpiX, int dpiY);

    VEK_BEGIN_MSG_MAP(InfiniteBar)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(VEK_OCM_BASE + WM_CTLCOLORSTATIC, OnCtlColorStatic)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_TIMER, OnTimer)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_END_MSG_MAP()

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
    LRESULT OnCtlColorStatic(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&);

    bool PrepareFrames();
    void AdvanceFrame();

    VekResourceImage m_gif;
    VekResourceImage m_track; // loaded with the bar, not drawn
    UINT m_frameIndex = 0;
    UINT m_frameCount = 0;
    std::vector<BYTE> m_delays; // the PropertyTagFrameDelay item: 32-bit delays, 1/100 s
    UINT m_lastDelay = 0;
    bool m_animating = false;
    bool m_initialised = false;
    bool m_leftToRight = true;
};

} // namespace vek
