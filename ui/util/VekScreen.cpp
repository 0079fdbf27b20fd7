#include "ui/util/VekScreen.h"

#include "ui/window/VekGdi.h"

#include <atomic>
#include <cstdlib>

namespace vek {

int GetScreenCaps(int index)
{
    VekWindowDC screen(nullptr);
    if (screen.Get() == nullptr)
        return -1;
    return ::GetDeviceCaps(screen.Get(), index);
}

int ScaleSigned(int n, int resolution)
{
    const int scaled = ::MulDiv(std::abs(n), resolution, 96);
    return n < 0 ? -scaled : scaled;
}

namespace {

std::atomic<int> g_highContrastOverride{-1};

} // namespace

void OverrideHighContrast(int on)
{
    g_highContrastOverride = on;
}

bool IsHighContrast()
{
    const int forced = g_highContrastOverride;
    if (forced != -1)
        return forced != 0;
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof(contrast);
    if (!::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0))
        return false;
    return (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

namespace {

int ScreenDpi(int index)
{
    const int dpi = GetScreenCaps(index);
    return dpi > 0 ? dpi : 96;
}

} // namespace

VekScale::VekScale() : VekScale(ScreenDpi(LOGPIXELSX), ScreenDpi(LOGPIXELSY)) {}

VekScale::VekScale(int dpiX, int dpiY) : m_factorX(dpiX / 96.0), m_factorY(dpiY / 96.0) {}

} // namespace vek
