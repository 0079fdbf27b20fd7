#pragma once
// A platform critical section as a lockable object: recursive for its owning thread; the
// timeout and the pump flag of Lock do not apply (a lock waits until the section is free).
#include "common/base/qkSyncObject.h"

class qkCriticalSection : public qkSyncObject {
public:
    // Initialises the section; a failure leaves it unusable (every Lock and Unlock fails).
    qkCriticalSection();
    ~qkCriticalSection() override;
    qkCriticalSection(const qkCriticalSection&) = delete;
    qkCriticalSection& operator=(const qkCriticalSection&) = delete;

    BOOL Lock(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE) override;
    BOOL Unlock() override;
    HANDLE GetHandle() override;

    // Deletes a previous section and initialises a new one.
    BOOL Initialize();
    BOOL Enter();
    // Enters when the section is free or already this thread's; FALSE at once when another
    // thread holds it.
    BOOL TryEnter();
    void Delete();
    BOOL IsInitialized() const { return m_initialized; }

private:
    CRITICAL_SECTION m_section;
    BOOL m_initialized = FALSE;
};
