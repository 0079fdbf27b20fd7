#pragma once
#include "common/base/qkReadWriteLock.h"

// Holds the exclusive side for the length of a block.
class qkScopedWriteLock {
public:
    explicit qkScopedWriteLock(qkReadWriteLock& lock);
    virtual ~qkScopedWriteLock();
    qkScopedWriteLock(const qkScopedWriteLock&) = delete;
    qkScopedWriteLock& operator=(const qkScopedWriteLock&) = delete;
    bool Unlock();
    bool IsLocked() const { return m_locked; }

private:
    qkReadWriteLock& m_lock;
    bool m_locked;
};
