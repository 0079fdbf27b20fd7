#pragma once
// A kernel event as a lockable object: Lock waits for it to be signalled (optionally keeping
// window messages flowing); Unlock does nothing. Named events may carry the "Global\" prefix
// and the silo id as a suffix (qkSynchronize::GetObjectName).
#include "common/base/qkSyncObject.h"

class qkEvent : public qkSyncObject {
public:
    // No handle.
    qkEvent() = default;
    // With create: an unnamed manual-reset event, not signalled (a failure is traced).
    explicit qkEvent(bool create);
    ~qkEvent() override;
    qkEvent(const qkEvent&) = delete;
    qkEvent& operator=(const qkEvent&) = delete;

    BOOL Lock(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE) override;
    BOOL Unlock() override;
    HANDLE GetHandle() override { return m_handle; }

    // Creates or opens (an existing named event counts) the event; closes any handle first.
    BOOL Create(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, const wchar_t* name,
                BOOL global = FALSE, BOOL suffix = FALSE);
    BOOL Open(DWORD access, BOOL inherit, const wchar_t* name, BOOL global = FALSE, BOOL suffix = FALSE);
    BOOL Set();
    // true: Set; false: reset to non-signalled.
    BOOL SetState(bool signalled);
    void Close();

private:
    HANDLE m_handle = nullptr;
};
