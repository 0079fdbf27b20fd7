#pragma once
// Screen resolution and high contrast. Design sizes are given for 96 dots per inch; a design
// length n becomes (int)(n x DPI / 96 + 0.5), with the horizontal resolution for x and widths
// and the vertical one for y and heights.
#include <windows.h>

namespace vek {

// GetDeviceCaps of the screen's device context; -1 when no device context can be taken.
int GetScreenCaps(int index);
// MulDiv(|n|, resolution, 96) with the sign of n.
int ScaleSigned(int n, int resolution);
// Whether the high-contrast theme is on (SPI_GETHIGHCONTRAST, HCF_HIGHCONTRASTON).
bool IsHighContrast();
// Makes IsHighContrast answer `on` (-1: the system again), for tests where the theme cannot be
// switched (Wine does not switch it).
void OverrideHighContrast(int on);

// The screen's scale factors, read once when the owner is built.
class VekScale {
public:
    VekScale();
    VekScale(int dpiX, int dpiY);

    int X(int n) const { return static_cast<int>(n * m_factorX + 0.5); }
    int Y(int n) const { return static_cast<int>(n * m_factorY + 0.5); }
    double FactorX() const { return m_factorX; }
    double FactorY() const { return m_factorY; }

private:
    double m_factorX;
    double m_factorY;
};

} // namespace vek
