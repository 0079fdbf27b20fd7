#pragma once
// An unnamed semaphore (initial count 0, maximum 1) as a lockable object: Lock obtains it,
// Unlock releases one count. It is the writer gate of qkReadWriteLock, waking one waiter per
// release.
#include "common/base/qkSyncObject.h"

class qkSemaphore : public qkSyncObject {
public:
    // Creates the semaphore; a failure is traced and leaves no handle.
    qkSemaphore();
    ~qkSemaphore() override;
    qkSemaphore(const qkSemaphore&) = delete;
    qkSemaphore& operator=(const qkSemaphore&) = delete;

    BOOL Lock(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE) override;
    BOOL Unlock() override;
    HANDLE GetHandle() override { return m_handle; }
    void Close();

private:
    HANDLE m_handle = nullptr;
};
