#pragma once
// The settings managers' reader/writer lock. It prefers writers: a new reader waits while any
// writer holds or waits for the lock. Readers wait on a manual-reset gate; writers are handed
// the lock one at a time through a semaphore.
//
// The gate is open exactly while no writer holds or waits for the lock, and only writers move
// it, always inside the critical section: a reader that has left the section but not yet begun
// its wait cannot have the gate closed behind it by other readers coming and going.
#include <windows.h>

#include <functional>

#include "common/system/qkHandle.h"

namespace qkSettings {

class CReaderWriterLock {
public:
    CReaderWriterLock();
    ~CReaderWriterLock();
    CReaderWriterLock(const CReaderWriterLock&) = delete;
    CReaderWriterLock& operator=(const CReaderWriterLock&) = delete;

    // Creates the gate and the hand-off semaphore; false when either cannot be had.
    bool Init();
    void AcquireRead();
    void ReleaseRead();
    void AcquireWrite();
    void ReleaseWrite();

    // Called by a waiting reader between leaving the critical section and waiting on the gate
    // (a seam through which tests hold a reader at that point).
    void SetReaderWaitHook(std::function<void()> hook) { m_readerWaitHook = std::move(hook); }

private:
    CRITICAL_SECTION m_cs;
    qkHandle m_gate;
    qkHandle m_handoff;
    LONG m_writersWaiting = 0;
    LONG m_readersWaiting = 0;
    DWORD m_state = 0; // low 16 bits: active readers; 0x10000: a writer
    std::function<void()> m_readerWaitHook;
};

class CReadGuard {
public:
    explicit CReadGuard(CReaderWriterLock& lock) : m_lock(lock) { m_lock.AcquireRead(); }
    ~CReadGuard() { m_lock.ReleaseRead(); }
    CReadGuard(const CReadGuard&) = delete;
    CReadGuard& operator=(const CReadGuard&) = delete;

private:
    CReaderWriterLock& m_lock;
};

class CWriteGuard {
public:
    explicit CWriteGuard(CReaderWriterLock& lock) : m_lock(lock) { m_lock.AcquireWrite(); }
    ~CWriteGuard() { m_lock.ReleaseWrite(); }
    CWriteGuard(const CWriteGuard&) = delete;
    CWriteGuard& operator=(const CWriteGuard&) = delete;

private:
    CReaderWriterLock& m_lock;
};

} // namespace qkSettings
