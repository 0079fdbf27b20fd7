#pragma once
// The library's reader/writer lock: any number of shared holders or one exclusive holder.
// Writers are preferred: once a writer waits, new shared requests queue behind it, and an
// exclusive release hands the lock straight to the next waiting writer. Not recursive.
// Timeouts are not supported: every wait is unbounded (a finite timeout is only traced).
#include "common/base/qkCriticalSection.h"
#include "common/base/qkEvent.h"
#include "common/base/qkSemaphore.h"

class qkReadWriteLock {
public:
    qkReadWriteLock();
    virtual ~qkReadWriteLock();
    qkReadWriteLock(const qkReadWriteLock&) = delete;
    qkReadWriteLock& operator=(const qkReadWriteLock&) = delete;

    // false only when waiting on a gate failed (nothing is then held).
    virtual bool LockShared(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE);
    virtual bool UnlockShared();
    virtual bool LockExclusive(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE);
    virtual bool UnlockExclusive();

    // A snapshot of the counters, for diagnostics and tests.
    void GetState(DWORD* waitingWriters, DWORD* waitingReaders, DWORD* holders);

private:
    static constexpr DWORD kExclusive = 0x10000; // high half of the holders word

    qkCriticalSection m_state; // guards every field below
    qkEvent m_readerGate;      // manual reset; shared requesters wait on it
    qkSemaphore m_writerGate;  // each release hands the lock to one waiting writer
    DWORD m_waitingWriters = 0;
    DWORD m_waitingReaders = 0;
    DWORD m_holders = 0; // low 16 bits: shared holders; 0x10000: held exclusively
};
