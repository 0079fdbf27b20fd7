#pragma once
// The colours of the dialog's and the job window's text lines.
#include <windows.h>

namespace vek {

constexpr COLORREF kTextGrey = 0x666666;
constexpr COLORREF kTextGreen = 0x1CA323; // progress and countdowns

} // namespace vek
