#include "common/persist/qkSafeArrayVector.h"

BOOL qkLib::GetSafeArrayVector(VARIANT* value, VARTYPE elementType, SAFEARRAY** array, ULONG* count)
{
    // Follow references to the VARIANT that holds the array; a cycle cannot be longer than this.
    for (int hops = 0; value && value->vt == (VT_BYREF | VT_VARIANT) && hops < 64; ++hops)
        value = value->pvarVal;
    if (!value || (value->vt & ~VT_BYREF) != (VT_ARRAY | elementType))
        return FALSE;
    SAFEARRAY* found = (value->vt & VT_BYREF) ? (value->pparray ? *value->pparray : nullptr) : value->parray;
    LONG lower = 0, upper = 0;
    if (!found || SafeArrayGetDim(found) != 1 || FAILED(SafeArrayGetLBound(found, 1, &lower)) || lower != 0 ||
        FAILED(SafeArrayGetUBound(found, 1, &upper)))
        return FALSE;
    *array = found;
    *count = static_cast<ULONG>(upper + 1);
    return TRUE;
}
