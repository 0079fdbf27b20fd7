#pragma once
// Manual-reset event that the client sets when it is destroyed; the status callback ignores data
// notifications once it is set. Shared by the client and its open requests.
#include <windows.h>

namespace Jux {

class CCloseEvent {
public:
    CCloseEvent() = default;
    ~CCloseEvent() { if (m_event) CloseHandle(m_event); }
    CCloseEvent(const CCloseEvent&) = delete;
    CCloseEvent& operator=(const CCloseEvent&) = delete;

    // (Re)creates an unnamed manual-reset event, not signalled.
    bool Create()
    {
        if (m_event) CloseHandle(m_event);
        m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return m_event != nullptr;
    }
    void Set() { if (m_event) SetEvent(m_event); }
    void Reset() { if (m_event) ResetEvent(m_event); }
    bool IsSet() const { return m_event && WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }

private:
    HANDLE m_event = nullptr;
};

} // namespace Jux
