#include "common/persist/qkTalMemoryStreamImpl.h"

#include <cstring>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"

qkTalMemoryStreamImpl* qkTalMemoryStreamImpl::Create()
{
    qkExceptionInfo info;
    try {
        qkTalMemoryStreamImpl* stream = new qkTalMemoryStreamImpl();
        stream->AddRef();
        return stream;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return nullptr;
}

void* qkTalMemoryStreamImpl::GetInterface(REFIID iid)
{
    if (iid == GUID_NULL || iid == IID_IByteStream || iid == IID_IUnknown)
        return static_cast<IByteStream*>(this);
    return nullptr;
}

BOOL qkTalMemoryStreamImpl::SetBufferSize(ULONG size)
{
    if (size == m_memory.GetSize())
        return TRUE;
    if (size == 0) {
        m_memory.Free();
        return TRUE;
    }
    if (m_memory.GetSize() == 0)
        return m_memory.Allocate(qkMemory::KindCrtHeap, size) != nullptr;
    return m_memory.Resize(size) != nullptr;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::GetSize(ULONGLONG* size)
{
    qkScopedLock lock(m_lock);
    if (!size)
        return FALSE;
    *size = m_memory.GetSize();
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::SetSize(ULONGLONG size)
{
    qkScopedLock lock(m_lock);
    if (size > 0xFFFFFFFFull || !SetBufferSize(static_cast<ULONG>(size))) {
        QK_TRACE(L"cannot size the buffer to %llu bytes", size);
        return FALSE;
    }
    m_position = 0;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::GetPosition(ULONGLONG* position)
{
    qkScopedLock lock(m_lock);
    if (!position)
        return FALSE;
    *position = m_position;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::SetPosition(ULONGLONG position)
{
    qkScopedLock lock(m_lock);
    if (position > m_memory.GetSize()) {
        QK_TRACE(L"position %llu beyond the size %lu", position, m_memory.GetSize());
        return FALSE;
    }
    m_position = static_cast<ULONG>(position);
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::Write(const void* data, ULONG count)
{
    qkScopedLock lock(m_lock);
    if (count == 0)
        return TRUE;
    if (!data)
        return FALSE;
    const ULONGLONG end = static_cast<ULONGLONG>(m_position) + count;
    if (end > 0xFFFFFFFFull || (end > m_memory.GetSize() && !SetBufferSize(static_cast<ULONG>(end)))) {
        QK_TRACE(L"cannot grow the buffer to %llu bytes", end);
        return FALSE;
    }
    std::memcpy(static_cast<BYTE*>(m_memory.GetData()) + m_position, data, count);
    m_position += count;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalMemoryStreamImpl::Read(void* buffer, ULONG count)
{
    qkScopedLock lock(m_lock);
    if (count == 0)
        return TRUE;
    if (!buffer || m_memory.GetSize() - m_position < count) {
        QK_TRACE(L"%lu bytes asked, %lu left", count, m_memory.GetSize() - m_position);
        return FALSE;
    }
    std::memcpy(buffer, static_cast<const BYTE*>(m_memory.GetData()) + m_position, count);
    m_position += count;
    return TRUE;
}
