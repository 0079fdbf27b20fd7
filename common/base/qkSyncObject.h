#pragma once
// The library's abstract lockable object: a critical section, an event or a semaphore.
// Failures are reported by FALSE and a trace; nothing here throws.
#include <windows.h>

class qkSyncObject {
public:
    virtual ~qkSyncObject() = default;
    // Waits up to the timeout (milliseconds); a waitable object may keep the thread's window
    // messages flowing meanwhile when pumpMessages is set.
    virtual BOOL Lock(DWORD timeout = INFINITE, BOOL pumpMessages = FALSE) = 0;
    virtual BOOL Unlock() = 0;
    // The waitable kernel handle, or null when the object has none.
    virtual HANDLE GetHandle() = 0;
};
