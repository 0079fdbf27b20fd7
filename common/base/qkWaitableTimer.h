#pragma once
// Owner of a waitable timer: cancels it before closing it.
#include "common/system/qkHandle.h"

class qkWaitableTimer : public qkHandle {
public:
    explicit qkWaitableTimer(HANDLE timer = nullptr) : qkHandle(timer) {}
    ~qkWaitableTimer() override;

    // TRUE without a handle; FALSE (traced) when CancelWaitableTimer fails.
    BOOL Cancel();
    // Cancels and closes the timer, clears the armed flag; always TRUE.
    BOOL Close();
    BOOL IsArmed() const { return m_armed; }

private:
    BOOL m_armed = FALSE;
};
