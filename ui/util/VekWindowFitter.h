#pragma once
// Keeps a window within the screen: measures it, finds the usable screen size (the work area,
// or the first display's current mode, optionally less what the full-screen client area
// exceeds the work area by), clamps the window to it, optionally keeps the aspect ratio, and
// can resize the window.
#include <windows.h>

namespace vek {

// Where the fitter reads the screen; the system's by default, a table in tests.
class VekScreenMetrics {
public:
    virtual ~VekScreenMetrics() = default;
    // SystemParametersInfoW(SPI_GETWORKAREA); false with the last error set on failure.
    virtual bool GetWorkArea(RECT& area);
    // GetSystemMetrics(SM_CXFULLSCREEN / SM_CYFULLSCREEN).
    virtual int GetFullScreenWidth();
    virtual int GetFullScreenHeight();
    // The current mode of the first display device whose mode can be read.
    virtual bool GetDisplayMode(SIZE& size);
};

class VekWindowFitter {
public:
    enum Flags : DWORD {
        kKeepAspect = 1,   // keep the aspect ratio
        kUseWorkArea = 2,  // the work area is the limit (else the display mode)
        kLessReserved = 4, // with the display mode: subtract the reserved size
        kResize = 8,       // resize the window
    };

    explicit VekWindowFitter(VekScreenMetrics* metrics = nullptr);
    virtual ~VekWindowFitter() = default;

    // E_INVALIDARG unless the handle is a window.
    HRESULT Attach(HWND hWnd);
    // S_OK when the window had to be clamped, S_FALSE when it fitted, E_INVALIDARG without a
    // window, E_UNEXPECTED when a size is unknown, else the failing call's HRESULT. `size`
    // receives the final width and height.
    HRESULT Fit(SIZE& size, DWORD flags);

private:
    HWND m_hWnd = nullptr;
    ULONG m_aspect = 0; // height x 100 / width; 0 unknown
    SIZE m_window{};
    SIZE m_limit{};
    SIZE m_reserved{};
    VekScreenMetrics m_system;
    VekScreenMetrics* m_metrics;
};

} // namespace vek
