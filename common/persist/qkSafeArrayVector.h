#pragma once
// What both safe-array holders accept: the array behind a VARIANT (through VT_BYREF|VT_VARIANT
// chains) when it is one-dimensional with lower bound 0 and of the element type.
#include <windows.h>
#include <oaidl.h>

namespace qkLib {

// The array and its element count, or FALSE.
BOOL GetSafeArrayVector(VARIANT* value, VARTYPE elementType, SAFEARRAY** array, ULONG* count);

} // namespace qkLib
