#include "common/system/qkHandle.h"

qkHandle::~qkHandle()
{
    Close();
}

BOOL qkHandle::Close()
{
    if (IsValid()) {
        if (!::CloseHandle(m_handle))
            return FALSE;
    }
    m_handle = nullptr;
    return TRUE;
}

qkHandle& qkHandle::Attach(HANDLE handle)
{
    Close();
    m_handle = handle;
    return *this;
}

BOOL qkHandle::Reset(HANDLE handle)
{
    Close();
    m_handle = handle;
    return TRUE;
}

HANDLE qkHandle::Detach()
{
    HANDLE handle = m_handle;
    m_handle = nullptr;
    return handle;
}
