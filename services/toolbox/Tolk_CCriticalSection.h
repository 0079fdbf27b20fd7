#pragma once
// A small lockable critical section of the install toolbox.
#include <windows.h>

namespace Tolk {

class CCriticalSection {
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_section); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    virtual void Lock() { Enter(); }
    virtual void Unlock() { Leave(); }
    virtual ~CCriticalSection()
    {
        ::DeleteCriticalSection(&m_section);
        m_section = CRITICAL_SECTION{};
    }
    virtual void Enter() { ::EnterCriticalSection(&m_section); }
    virtual void Leave() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section{};
};

} // namespace Tolk
