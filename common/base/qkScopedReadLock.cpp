#include "common/base/qkScopedReadLock.h"

qkScopedReadLock::qkScopedReadLock(qkReadWriteLock& lock) : m_lock(lock)
{
    m_locked = m_lock.LockShared(INFINITE, FALSE);
}

qkScopedReadLock::~qkScopedReadLock()
{
    Unlock();
}

bool qkScopedReadLock::Unlock()
{
    if (m_locked && m_lock.UnlockShared()) {
        m_locked = false;
    }
    return !m_locked;
}
