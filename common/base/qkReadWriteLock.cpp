#include "common/base/qkReadWriteLock.h"

#include "common/base/qkTrace.h"

qkReadWriteLock::qkReadWriteLock()
{
    if (!m_readerGate.Create(nullptr, TRUE, FALSE, nullptr)) {
        QK_TRACE(L"no reader gate");
    }
}

qkReadWriteLock::~qkReadWriteLock()
{
    m_writerGate.Close();
    m_readerGate.Close();
    m_state.Delete();
}

bool qkReadWriteLock::LockShared(DWORD timeout, BOOL pumpMessages)
{
    if (timeout != INFINITE) {
        QK_TRACE(L"timeout %lu ignored: the wait is unbounded", timeout);
    }
    m_state.Enter();
    if (m_waitingWriters == 0 && (m_holders & 0xFFFF0000u) == 0) {
        ++m_holders;
        const bool openGate = (m_holders == 1 && m_waitingReaders != 0);
        m_state.Unlock();
        if (openGate) {
            m_readerGate.Set();
        }
        return true;
    }
    ++m_waitingReaders;
    for (;;) {
        m_readerGate.SetState(false);
        m_state.Unlock();
        const BOOL waited = m_readerGate.Lock(INFINITE, pumpMessages);
        m_state.Enter();
        if (!waited) {
            // Withdraw the request so that later requests are not blocked by it.
            QK_TRACE(L"waiting on the reader gate failed");
            --m_waitingReaders;
            m_state.Unlock();
            return false;
        }
        if (m_waitingWriters == 0 && (m_holders & 0xFFFF0000u) == 0) {
            break;
        }
    }
    --m_waitingReaders;
    ++m_holders;
    m_state.Unlock();
    return true;
}

bool qkReadWriteLock::UnlockShared()
{
    m_state.Enter();
    const DWORD before = m_holders--;
    // The gate is closed only when no reader waits for it: a reader that was let in but has
    // not yet reached its wait must still find it open, or it would wait for ever.
    if (before == 1 && m_waitingReaders == 0) {
        m_readerGate.SetState(false);
    }
    if (m_waitingWriters != 0 && m_holders == 0) {
        // Ownership passes to one waiting writer while the state lock is still held.
        m_holders = kExclusive;
        --m_waitingWriters;
        m_writerGate.Unlock();
    }
    m_state.Unlock();
    return true;
}

bool qkReadWriteLock::LockExclusive(DWORD timeout, BOOL pumpMessages)
{
    if (timeout != INFINITE) {
        QK_TRACE(L"timeout %lu ignored: the wait is unbounded", timeout);
    }
    m_state.Enter();
    if (m_holders == 0) {
        m_holders = kExclusive;
        m_state.Unlock();
        return true;
    }
    ++m_waitingWriters;
    m_state.Unlock();
    if (!m_writerGate.Lock(INFINITE, pumpMessages)) {
        QK_TRACE(L"waiting on the writer gate failed");
        m_state.Enter();
        if (m_waitingWriters != 0) {
            --m_waitingWriters;
        }
        m_state.Unlock();
        return false;
    }
    // The releaser has already marked the lock exclusive for this writer.
    return true;
}

bool qkReadWriteLock::UnlockExclusive()
{
    m_state.Enter();
    bool handToWriter = false;
    bool openReaders = false;
    if (m_waitingWriters != 0) {
        --m_waitingWriters;
        m_holders = kExclusive;
        handToWriter = true;
    } else {
        m_holders = 0;
        openReaders = m_waitingReaders != 0;
    }
    m_state.Unlock();
    if (handToWriter) {
        m_writerGate.Unlock();
    } else if (openReaders) {
        m_readerGate.Set();
    }
    return true;
}

void qkReadWriteLock::GetState(DWORD* waitingWriters, DWORD* waitingReaders, DWORD* holders)
{
    m_state.Enter();
    *waitingWriters = m_waitingWriters;
    *waitingReaders = m_waitingReaders;
    *holders = m_holders;
    m_state.Unlock();
}
