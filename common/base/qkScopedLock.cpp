#include "common/base/qkScopedLock.h"

#include "common/base/qkTrace.h"

qkScopedLock::qkScopedLock(qkSyncObject& object, DWORD timeout, BOOL pumpMessages) : m_object(&object)
{
    Lock(timeout, pumpMessages);
}

qkScopedLock::qkScopedLock(qkSyncObject* object) : m_object(object) {}

qkScopedLock::~qkScopedLock()
{
    Unlock();
}

BOOL qkScopedLock::Lock(DWORD timeout, BOOL pumpMessages)
{
    if (m_object == nullptr) {
        QK_TRACE(L"no object");
        m_locked = FALSE;
        return FALSE;
    }
    m_locked = m_object->Lock(timeout, pumpMessages) > 0 ? TRUE : FALSE;
    return m_locked;
}

BOOL qkScopedLock::Unlock()
{
    if (!m_locked) {
        return TRUE;
    }
    if (m_object->Unlock() > 0) {
        m_locked = FALSE;
    }
    return m_locked ? FALSE : TRUE;
}
