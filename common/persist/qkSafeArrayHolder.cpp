#include "common/persist/qkSafeArrayHolder.h"

namespace {

// The array and its element count, or FALSE.
BOOL FindVector(VARIANT* value, VARTYPE elementType, SAFEARRAY** array, ULONG* count)
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

} // namespace

qkSafeArrayHolder::qkSafeArrayHolder(VARTYPE elementType, ReleaseHold release)
    : m_elementType(elementType), m_release(release), m_current(&m_own)
{
    VariantInit(&m_own);
}

qkSafeArrayHolder::~qkSafeArrayHolder()
{
    ReleaseHolds();
    VariantClear(&m_own);
}

void qkSafeArrayHolder::ReleaseHolds()
{
    while (m_holds && SUCCEEDED(m_release(m_array)))
        --m_holds;
    m_holds = 0;
}

BOOL qkSafeArrayHolder::Attach(VARIANT* value)
{
    SAFEARRAY* array = nullptr;
    ULONG count = 0;
    if (!FindVector(value, m_elementType, &array, &count))
        return FALSE;
    ReleaseHolds();
    m_current = value;
    m_array = array;
    m_count = count;
    return TRUE;
}

void qkSafeArrayHolder::Reset()
{
    ReleaseHolds();
    m_current = &m_own;
    VariantClear(&m_own);
    m_array = nullptr;
    m_count = 0;
}

BOOL qkSafeArrayHolder::Adopt(SAFEARRAY* array, ULONG count)
{
    if (!array)
        return FALSE;
    m_array = array;
    m_count = count;
    m_own.vt = VT_ARRAY | m_elementType;
    m_own.parray = array;
    return TRUE;
}

BOOL qkSafeArrayHolder::Held(HRESULT taken)
{
    if (FAILED(taken))
        return FALSE;
    ++m_holds;
    return TRUE;
}

BOOL qkSafeArrayHolder::Unhold()
{
    if (!m_holds || FAILED(m_release(m_array)))
        return FALSE;
    --m_holds;
    return TRUE;
}

BOOL qkSafeArrayHolder::Detach(VARIANT* target)
{
    if (!target || m_current != &m_own || m_holds)
        return FALSE;
    VariantClear(target);
    *target = m_own;
    VariantInit(&m_own);
    m_array = nullptr;
    m_count = 0;
    return TRUE;
}
