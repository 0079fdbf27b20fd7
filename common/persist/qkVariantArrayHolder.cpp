#include "common/persist/qkVariantArrayHolder.h"

#include "common/persist/qkSafeArrayVector.h"

qkVariantArrayHolder::qkVariantArrayHolder() : m_current(&m_own)
{
    VariantInit(&m_own);
}

qkVariantArrayHolder::~qkVariantArrayHolder()
{
    Release();
    VariantClear(&m_own);
}

void qkVariantArrayHolder::Release()
{
    while (m_locks && SUCCEEDED(SafeArrayUnlock(m_array)))
        --m_locks;
    m_locks = 0;
}

BOOL qkVariantArrayHolder::Attach(VARIANT* value)
{
    SAFEARRAY* array = nullptr;
    ULONG count = 0;
    if (!qkLib::GetSafeArrayVector(value, VT_VARIANT, &array, &count))
        return FALSE;
    Release();
    m_current = value;
    m_array = array;
    m_count = count;
    return TRUE;
}

BOOL qkVariantArrayHolder::Create(ULONG count)
{
    Release();
    m_current = &m_own;
    VariantClear(&m_own);
    SAFEARRAYBOUND bound{count, 0};
    m_array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    m_count = m_array ? count : 0;
    if (!m_array)
        return FALSE;
    m_own.vt = VT_ARRAY | VT_VARIANT;
    m_own.parray = m_array;
    return TRUE;
}

BOOL qkVariantArrayHolder::Lock()
{
    if (!m_array || FAILED(SafeArrayLock(m_array)))
        return FALSE;
    ++m_locks;
    return TRUE;
}

BOOL qkVariantArrayHolder::Unlock()
{
    if (!m_locks || FAILED(SafeArrayUnlock(m_array)))
        return FALSE;
    --m_locks;
    return TRUE;
}

VARIANT* qkVariantArrayHolder::GetElement(ULONG index)
{
    if (!m_locks || index >= m_count)
        return nullptr;
    LONG at = static_cast<LONG>(index);
    void* element = nullptr;
    return SUCCEEDED(SafeArrayPtrOfIndex(m_array, &at, &element)) ? static_cast<VARIANT*>(element) : nullptr;
}

BOOL qkVariantArrayHolder::Detach(VARIANT* target)
{
    if (!target || m_current != &m_own || m_locks)
        return FALSE;
    VariantClear(target);
    *target = m_own;
    VariantInit(&m_own);
    m_array = nullptr;
    m_count = 0;
    return TRUE;
}
