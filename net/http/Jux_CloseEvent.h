#pragma once
// Manual-reset event that the client sets when it is destroyed; the status callback ignores data
// notifications once it is set. Shared by the client and its open requests.
#include <windows.h>

#include "common/system/qkHandle.h"

namespace Jux {

class CCloseEvent {
public:
    CCloseEvent() = default;
    CCloseEvent(const CCloseEvent&) = delete;
    CCloseEvent& operator=(const CCloseEvent&) = delete;

    // (Re)creates an unnamed manual-reset event, not signalled.
    bool Create()
    {
        m_event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return m_event.IsValid();
    }
    void Set()
    {
        if (m_event.IsValid())
            SetEvent(m_event.Get());
    }
    void Reset()
    {
        if (m_event.IsValid())
            ResetEvent(m_event.Get());
    }
    bool IsSet() const { return m_event.IsValid() && WaitForSingleObject(m_event.Get(), 0) == WAIT_OBJECT_0; }

private:
    qkHandle m_event;
};

} // namespace Jux
