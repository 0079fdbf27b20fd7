#include "common/persist/qkTalFileStreamImpl.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"

qkTalFileStreamImpl* qkTalFileStreamImpl::Create()
{
    qkExceptionInfo info;
    try {
        qkTalFileStreamImpl* stream = new qkTalFileStreamImpl();
        stream->AddRef();
        return stream;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return nullptr;
}

void* qkTalFileStreamImpl::GetInterface(REFIID iid)
{
    if (iid == GUID_NULL || iid == IID_IByteStream || iid == IID_IUnknown)
        return static_cast<IByteStream*>(this);
    return nullptr;
}

qkFile& qkTalFileStreamImpl::GetFile()
{
    qkScopedLock lock(m_lock);
    return m_file;
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::GetSize(ULONGLONG* size)
{
    qkScopedLock lock(m_lock);
    return size && m_file.GetSize(size);
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::SetSize(ULONGLONG size)
{
    qkScopedLock lock(m_lock);
    if (!m_file.SetLength(static_cast<DWORD>(size), static_cast<LONG>(size >> 32))) {
        QK_TRACE(L"cannot set the file length to %llu: %lu", size, m_file.GetLastError());
        return FALSE;
    }
    return m_file.SeekFromBegin(0, 0);
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::GetPosition(ULONGLONG* position)
{
    qkScopedLock lock(m_lock);
    return position && m_file.GetPosition(position);
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::SetPosition(ULONGLONG position)
{
    qkScopedLock lock(m_lock);
    return m_file.SeekFromBegin(static_cast<DWORD>(position), static_cast<LONG>(position >> 32));
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::Write(const void* data, ULONG count)
{
    qkScopedLock lock(m_lock);
    if (count == 0)
        return TRUE;
    return data && m_file.Write(data, count);
}

BOOL STDMETHODCALLTYPE qkTalFileStreamImpl::Read(void* buffer, ULONG count)
{
    qkScopedLock lock(m_lock);
    if (count == 0)
        return TRUE;
    return buffer && m_file.Read(buffer, count);
}
