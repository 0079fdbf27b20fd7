#include "common/persist/qkByteArrayHolder.h"

#include "common/persist/qkSafeArrayVector.h"

qkByteArrayHolder::qkByteArrayHolder() : m_current(&m_own)
{
    VariantInit(&m_own);
}

qkByteArrayHolder::~qkByteArrayHolder()
{
    Release();
    VariantClear(&m_own);
}

void qkByteArrayHolder::Release()
{
    while (m_accesses && SUCCEEDED(SafeArrayUnaccessData(m_array)))
        --m_accesses;
    m_accesses = 0;
}

BOOL qkByteArrayHolder::Attach(VARIANT* value)
{
    SAFEARRAY* array = nullptr;
    ULONG count = 0;
    if (!qkLib::GetSafeArrayVector(value, VT_UI1, &array, &count))
        return FALSE;
    Release();
    m_current = value;
    m_array = array;
    m_count = count;
    return TRUE;
}

BOOL qkByteArrayHolder::Create(ULONG count)
{
    Release();
    m_current = &m_own;
    VariantClear(&m_own);
    m_array = SafeArrayCreateVector(VT_UI1, 0, count);
    m_count = m_array ? count : 0;
    if (!m_array)
        return FALSE;
    m_own.vt = VT_ARRAY | VT_UI1;
    m_own.parray = m_array;
    return TRUE;
}

BYTE* qkByteArrayHolder::AccessData()
{
    void* data = nullptr;
    if (!m_array || FAILED(SafeArrayAccessData(m_array, &data)))
        return nullptr;
    ++m_accesses;
    return static_cast<BYTE*>(data);
}

BOOL qkByteArrayHolder::UnaccessData()
{
    if (!m_accesses || FAILED(SafeArrayUnaccessData(m_array)))
        return FALSE;
    --m_accesses;
    return TRUE;
}

BOOL qkByteArrayHolder::Detach(VARIANT* target)
{
    if (!target || m_current != &m_own || m_accesses)
        return FALSE;
    VariantClear(target);
    *target = m_own;
    VariantInit(&m_own);
    m_array = nullptr;
    m_count = 0;
    return TRUE;
}
