#include "common/base/qkWaitableTimer.h"

#include "common/base/qkTrace.h"

qkWaitableTimer::~qkWaitableTimer()
{
    Close();
}

BOOL qkWaitableTimer::Cancel()
{
    if (!IsValid()) {
        return TRUE;
    }
    if (!::CancelWaitableTimer(Get())) {
        QK_TRACE(L"CancelWaitableTimer failed : %lu", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL qkWaitableTimer::Close()
{
    if (IsValid()) {
        Cancel();
        qkHandle::Close();
    }
    m_armed = FALSE;
    return TRUE;
}
