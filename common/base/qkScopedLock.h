#pragma once
// Locks a lockable object for the length of a block and unlocks it in its destructor.
// The locked flag belongs to the thread that uses the guard.
#include "common/base/qkSyncObject.h"

class qkScopedLock {
public:
    // Locks at once; IsLocked() keeps the result.
    qkScopedLock(qkSyncObject& object, DWORD timeout = INFINITE, BOOL pumpMessages = FALSE);
    // Deferred: does not lock.
    explicit qkScopedLock(qkSyncObject* object);
    virtual ~qkScopedLock();
    qkScopedLock(const qkScopedLock&) = delete;
    qkScopedLock& operator=(const qkScopedLock&) = delete;

    BOOL Lock(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE);
    // TRUE when no longer locked; a failed unlock keeps the flag so that a later call (or the
    // destructor) tries again.
    BOOL Unlock();
    BOOL IsLocked() const { return m_locked; }

private:
    qkSyncObject* m_object;
    BOOL m_locked = FALSE;
};
