#pragma once
// Waits for the first of several lockable objects (at most 64, the platform's limit) and
// marks it held until Unlock. The objects must outlive the lock.
#include "common/base/qkSyncObject.h"

class qkMultiLock {
public:
    qkMultiLock(qkSyncObject* const* objects, DWORD count);
    virtual ~qkMultiLock() = default;
    qkMultiLock(const qkMultiLock&) = delete;
    qkMultiLock& operator=(const qkMultiLock&) = delete;

    // Waits without a timeout; the wait result (WAIT_OBJECT_0 + n for the n-th object).
    DWORD Lock();
    // Unlocks every held object.
    void Unlock();
    bool IsHeld(DWORD index) const { return index < m_count && m_held[index]; }

private:
    qkSyncObject* const* m_objects = nullptr;
    DWORD m_count = 0;
    HANDLE m_handles[MAXIMUM_WAIT_OBJECTS] = {};
    bool m_held[MAXIMUM_WAIT_OBJECTS] = {};
};
