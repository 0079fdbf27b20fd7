#include "common/base/qkSemaphore.h"

#include "common/base/qkSynchronize.h"
#include "common/base/qkTrace.h"

qkSemaphore::qkSemaphore()
{
    m_handle = ::CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (m_handle == nullptr) {
        QK_TRACE(L"CreateSemaphoreW failed : %lu", ::GetLastError());
    }
}

qkSemaphore::~qkSemaphore()
{
    Close();
}

void qkSemaphore::Close()
{
    if (m_handle != nullptr) {
        ::CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

BOOL qkSemaphore::Lock(DWORD timeout, BOOL pumpMessages)
{
    if (m_handle == nullptr) {
        QK_TRACE(L"no handle");
        return FALSE;
    }
    qkSynchronize waiter(pumpMessages);
    return waiter.WaitForSingleObject(m_handle, timeout) == WAIT_OBJECT_0;
}

BOOL qkSemaphore::Unlock()
{
    if (m_handle == nullptr) {
        QK_TRACE(L"no handle");
        return FALSE;
    }
    if (!::ReleaseSemaphore(m_handle, 1, nullptr)) {
        QK_TRACE(L"ReleaseSemaphore failed : %lu", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}
