#pragma once
// The launcher's fonts. Sizes are given in pixels at 96 DPI and turned into points
// (size x 0.75, rounded up only when the fraction is above one half: 14 px -> 10 pt,
// 18 px -> 13 pt, 23 px -> 17 pt), then into a character height for the device.
#include "ui/window/VekGdi.h"

namespace vek {

// The four fonts the windows use, created together.
struct VekFontSet {
    VekFont title;    // "Segoe UI Light", 23 px, 400
    VekFont heading;  // "Segoe UI", 18 px, 700
    VekFont boldText; // "Segoe UI", 14 px, 700
    VekFont text;     // "Segoe UI", 14 px, 400
};

// Points for a design size in pixels.
int PointsFromDesignPixels(int pixels);
// A ClearType font of the size, weight and face for the device; false (logged) on failure.
bool CreateFontW(HDC dc, int designPixels, int weight, const wchar_t* face, VekFont& font);
// The four fonts of VekFontSet in order; false at the first failure.
bool CreateFontSet(HDC dc, VekFontSet& fonts);

} // namespace vek
