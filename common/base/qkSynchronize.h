#pragma once
// The waiting routine behind events, semaphores and multi-locks. A waiter is built on the
// stack for each wait; with the pump flag it keeps the calling thread's window messages
// flowing while it waits (window procedures may then run inside the wait), so it suits
// threads that own windows. Results are the platform's wait results.
#include <windows.h>

#include <string>

class qkSynchronize {
public:
    explicit qkSynchronize(BOOL pumpMessages = FALSE) : m_pumpMessages(pumpMessages) {}
    virtual ~qkSynchronize() = default;

    // With stop-on-quit set, a WM_QUIT ends a pumping wait with WAIT_OBJECT_0 + count and
    // stays in the queue.
    void SetStopOnQuit(BOOL stopOnQuit) { m_stopOnQuit = stopOnQuit; }

    DWORD WaitForSingleObject(HANDLE handle, DWORD timeout);
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeout);
    // The message-pumping wait for any of the handles.
    DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeout);

    // n for WAIT_OBJECT_0 + n and WAIT_ABANDONED_0 + n; 0 (traced) for anything else.
    static DWORD GetSignaledIndex(DWORD waitResult);
    // Time left of a timeout across tick-count wrap-around; FALSE (remaining 0) once elapsed.
    // A timeout of 0 or INFINITE is returned as it is.
    static BOOL GetRemainingTime(DWORD startTick, DWORD nowTick, DWORD timeout, DWORD* remaining);
    // A kernel-object name: "Global\" + name with the global flag, the process's silo id
    // appended with the suffix flag (FALSE when there is none).
    static BOOL GetObjectName(const wchar_t* name, std::wstring& out, BOOL global, BOOL suffix);

private:
    DWORD PumpingWait(DWORD count, const HANDLE* handles, DWORD timeout, bool& quitTaken, WPARAM& quitCode);

    BOOL m_pumpMessages;
    BOOL m_stopOnQuit = FALSE;
};
