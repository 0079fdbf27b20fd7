#include "common/base/qkEvent.h"

#include "common/base/qkSynchronize.h"
#include "common/base/qkTrace.h"

#include <string>

qkEvent::qkEvent(bool create)
{
    if (create) {
        m_handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_handle == nullptr) {
            QK_TRACE(L"CreateEventW failed : %lu", ::GetLastError());
        }
    }
}

qkEvent::~qkEvent()
{
    Close();
}

void qkEvent::Close()
{
    if (m_handle != nullptr) {
        ::CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

BOOL qkEvent::Create(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, const wchar_t* name,
                     BOOL global, BOOL suffix)
{
    Close();
    std::wstring objectName;
    if (name != nullptr && !qkSynchronize::GetObjectName(name, objectName, global, suffix)) {
        return FALSE;
    }
    m_handle = ::CreateEventW(security, manualReset, initialState, name != nullptr ? objectName.c_str() : nullptr);
    if (m_handle == nullptr) {
        QK_TRACE(L"CreateEventW %s failed : %lu", name != nullptr ? objectName.c_str() : L"(unnamed)",
                 ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL qkEvent::Open(DWORD access, BOOL inherit, const wchar_t* name, BOOL global, BOOL suffix)
{
    Close();
    std::wstring objectName;
    if (!qkSynchronize::GetObjectName(name, objectName, global, suffix)) {
        return FALSE;
    }
    m_handle = ::OpenEventW(access, inherit, objectName.c_str());
    if (m_handle == nullptr) {
        QK_TRACE(L"OpenEventW %s failed : %lu", objectName.c_str(), ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL qkEvent::Set()
{
    if (m_handle == nullptr) {
        QK_TRACE(L"no handle");
        return FALSE;
    }
    return ::SetEvent(m_handle);
}

BOOL qkEvent::SetState(bool signalled)
{
    if (signalled) {
        return Set();
    }
    if (m_handle == nullptr) {
        QK_TRACE(L"no handle");
        return FALSE;
    }
    return ::ResetEvent(m_handle);
}

BOOL qkEvent::Lock(DWORD timeout, BOOL pumpMessages)
{
    if (m_handle == nullptr) {
        QK_TRACE(L"no handle");
        return FALSE;
    }
    qkSynchronize waiter(pumpMessages);
    return waiter.WaitForSingleObject(m_handle, timeout) == WAIT_OBJECT_0;
}

BOOL qkEvent::Unlock()
{
    return TRUE;
}
