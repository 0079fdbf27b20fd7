#include "common/base/qkScopedWriteLock.h"

qkScopedWriteLock::qkScopedWriteLock(qkReadWriteLock& lock) : m_lock(lock)
{
    m_locked = m_lock.LockExclusive(INFINITE, FALSE);
}

qkScopedWriteLock::~qkScopedWriteLock()
{
    Unlock();
}

bool qkScopedWriteLock::Unlock()
{
    if (m_locked && m_lock.UnlockExclusive()) {
        m_locked = false;
    }
    return !m_locked;
}
