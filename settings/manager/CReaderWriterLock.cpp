#include "settings/manager/CReaderWriterLock.h"

namespace qkSettings {

namespace {
constexpr DWORD kWriter = 0x10000;
}

CReaderWriterLock::CReaderWriterLock()
{
    ::InitializeCriticalSection(&m_cs);
}

CReaderWriterLock::~CReaderWriterLock()
{
    ::DeleteCriticalSection(&m_cs);
}

bool CReaderWriterLock::Init()
{
    // The gate starts open: no writer holds or waits for the lock.
    m_gate.Attach(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    m_handoff.Attach(::CreateSemaphoreW(nullptr, 0, 1, nullptr));
    if (!m_gate.IsValid() || !m_handoff.IsValid()) {
        m_gate.Close();
        m_handoff.Close();
        return false;
    }
    return true;
}

void CReaderWriterLock::AcquireRead()
{
    ::EnterCriticalSection(&m_cs);
    if (m_writersWaiting > 0 || (m_state & 0xFFFF0000) != 0) {
        m_readersWaiting += 1;
        do {
            // The gate was closed by the writer that holds or waits for the lock; it opens when
            // the last writer leaves, whatever other readers do in between.
            ::LeaveCriticalSection(&m_cs);
            if (m_readerWaitHook)
                m_readerWaitHook();
            ::WaitForSingleObject(m_gate.Get(), INFINITE);
            ::EnterCriticalSection(&m_cs);
        } while (m_writersWaiting > 0 || (m_state & 0xFFFF0000) != 0);
        m_readersWaiting -= 1;
    }
    m_state += 1;
    ::LeaveCriticalSection(&m_cs);
}

void CReaderWriterLock::ReleaseRead()
{
    ::EnterCriticalSection(&m_cs);
    m_state -= 1;
    bool handOff = m_writersWaiting > 0 && m_state == 0;
    if (handOff) {
        m_state = kWriter;
        m_writersWaiting -= 1;
    }
    ::LeaveCriticalSection(&m_cs);
    if (handOff)
        ::ReleaseSemaphore(m_handoff.Get(), 1, nullptr);
}

void CReaderWriterLock::AcquireWrite()
{
    ::EnterCriticalSection(&m_cs);
    ::ResetEvent(m_gate.Get()); // new readers wait from now on
    if (m_state != 0) {
        m_writersWaiting += 1;
        ::LeaveCriticalSection(&m_cs);
        // The releasing side sets the state to one writer before the hand-off.
        ::WaitForSingleObject(m_handoff.Get(), INFINITE);
        return;
    }
    m_state = kWriter;
    ::LeaveCriticalSection(&m_cs);
}

void CReaderWriterLock::ReleaseWrite()
{
    ::EnterCriticalSection(&m_cs);
    if (m_writersWaiting > 0) {
        m_writersWaiting -= 1;
        ::LeaveCriticalSection(&m_cs);
        ::ReleaseSemaphore(m_handoff.Get(), 1, nullptr);
        return;
    }
    m_state = 0;
    ::SetEvent(m_gate.Get()); // inside the section, so that no writer can come between
    ::LeaveCriticalSection(&m_cs);
}

} // namespace qkSettings
