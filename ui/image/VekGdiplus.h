#pragma once
// GDI+ for the user interface (its headers need the COM and min/max helpers that
// WIN32_LEAN_AND_MEAN and NOMINMAX take away).
#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus
#include <gdiplus.h>
