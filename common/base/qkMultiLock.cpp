#include "common/base/qkMultiLock.h"

#include "common/base/qkSynchronize.h"
#include "common/base/qkTrace.h"

qkMultiLock::qkMultiLock(qkSyncObject* const* objects, DWORD count)
{
    if (objects == nullptr || count > MAXIMUM_WAIT_OBJECTS) {
        QK_TRACE(L"no objects or more than %d : %lu", MAXIMUM_WAIT_OBJECTS, count);
        return;
    }
    m_objects = objects;
    m_count = count;
    for (DWORD i = 0; i < count; ++i) {
        m_handles[i] = objects[i] != nullptr ? objects[i]->GetHandle() : nullptr;
    }
}

DWORD qkMultiLock::Lock()
{
    qkSynchronize waiter(FALSE);
    const DWORD result = waiter.WaitForMultipleObjects(m_count, m_handles, INFINITE);
    if ((result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + m_count) ||
        (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + m_count)) {
        m_held[qkSynchronize::GetSignaledIndex(result)] = true;
    }
    return result;
}

void qkMultiLock::Unlock()
{
    for (DWORD i = 0; i < m_count; ++i) {
        if (m_held[i]) {
            m_held[i] = !m_objects[i]->Unlock();
        }
    }
}
