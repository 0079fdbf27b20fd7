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
    m_gate.Attach(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
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
            ::ResetEvent(m_gate.Get());
            ::LeaveCriticalSection(&m_cs);
            ::WaitForSingleObject(m_gate.Get(), INFINITE);
            ::EnterCriticalSection(&m_cs);
        } while (m_writersWaiting > 0 || (m_state & 0xFFFF0000) != 0);
        m_readersWaiting -= 1;
        m_state += 1;
        ::LeaveCriticalSection(&m_cs);
        return;
    }
    m_state += 1;
    bool wake = m_state == 1 && m_readersWaiting > 0;
    ::LeaveCriticalSection(&m_cs);
    if (wake)
        ::SetEvent(m_gate.Get());
}

void CReaderWriterLock::ReleaseRead()
{
    ::EnterCriticalSection(&m_cs);
    m_state -= 1;
    if (m_state == 0)
        ::ResetEvent(m_gate.Get());
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
    bool wake = m_readersWaiting > 0;
    ::LeaveCriticalSection(&m_cs);
    if (wake)
        ::SetEvent(m_gate.Get());
}

} // namespace qkSettings
