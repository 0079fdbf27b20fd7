#pragma once
#include "common/base/qkReadWriteLock.h"

// Holds the shared side for the length of a block.
class qkScopedReadLock {
public:
    explicit qkScopedReadLock(qkReadWriteLock& lock);
    virtual ~qkScopedReadLock();
    qkScopedReadLock(const qkScopedReadLock&) = delete;
    qkScopedReadLock& operator=(const qkScopedReadLock&) = delete;
    // Releases early; true when no longer held.
    bool Unlock();
    bool IsLocked() const { return m_locked; }

private:
    qkReadWriteLock& m_lock;
    bool m_locked;
};
