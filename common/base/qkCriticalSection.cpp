#include "common/base/qkCriticalSection.h"

#include "common/base/qkTrace.h"

qkCriticalSection::qkCriticalSection()
{
    Initialize();
}

qkCriticalSection::~qkCriticalSection()
{
    Delete();
}

BOOL qkCriticalSection::Initialize()
{
    Delete();
    // The form that reports failure by its result instead of raising a structured exception.
    if (!::InitializeCriticalSectionAndSpinCount(&m_section, 0)) {
        QK_TRACE(L"InitializeCriticalSectionAndSpinCount failed : %lu", ::GetLastError());
        return FALSE;
    }
    m_initialized = TRUE;
    return TRUE;
}

BOOL qkCriticalSection::Enter()
{
    if (!m_initialized) {
        QK_TRACE(L"not initialised");
        return FALSE;
    }
    ::EnterCriticalSection(&m_section);
    return TRUE;
}

BOOL qkCriticalSection::TryEnter()
{
    if (!m_initialized) {
        QK_TRACE(L"not initialised");
        return FALSE;
    }
    return ::TryEnterCriticalSection(&m_section);
}

void qkCriticalSection::Delete()
{
    if (m_initialized) {
        ::DeleteCriticalSection(&m_section);
        m_initialized = FALSE;
    }
}

BOOL qkCriticalSection::Lock(DWORD timeout, BOOL pumpMessages)
{
    if (timeout != INFINITE || pumpMessages) {
        QK_TRACE(L"timeout %lu and pump flag %d do not apply to a critical section", timeout, pumpMessages);
    }
    return Enter();
}

BOOL qkCriticalSection::Unlock()
{
    if (!m_initialized) {
        QK_TRACE(L"not initialised");
        return FALSE;
    }
    ::LeaveCriticalSection(&m_section);
    return TRUE;
}

HANDLE qkCriticalSection::GetHandle()
{
    QK_TRACE(L"a critical section has no handle");
    return nullptr;
}
