#pragma once
// Resets an event to non-signalled when its scope ends.
#include "common/base/qkEvent.h"

class qkEventResetGuard {
public:
    explicit qkEventResetGuard(qkEvent* event) : m_event(event) {}
    virtual ~qkEventResetGuard()
    {
        if (m_event != nullptr) {
            m_event->SetState(false);
        }
    }
    qkEventResetGuard(const qkEventResetGuard&) = delete;
    qkEventResetGuard& operator=(const qkEventResetGuard&) = delete;

private:
    qkEvent* m_event;
};
