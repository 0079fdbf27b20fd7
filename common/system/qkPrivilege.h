#pragma once
// Enables one named privilege in a process or thread token for as long as the object lives;
// the destructor writes the previous state back.
#include "common/system/qkHandle.h"

#include <windows.h>
#include <vector>

class qkPrivilege {
public:
    qkPrivilege() = default;
    virtual ~qkPrivilege();
    qkPrivilege(const qkPrivilege&) = delete;
    qkPrivilege& operator=(const qkPrivilege&) = delete;

    bool EnableForProcess(HANDLE process, const wchar_t* name);
    bool EnableForCurrentProcess(const wchar_t* name);
    // The thread's own token; a thread without one falls back to the process token.
    bool EnableForThread(HANDLE thread, const wchar_t* name);
    bool EnableForCurrentThread(const wchar_t* name);
    // Enables the privilege in the opened token and keeps the previous state.
    bool Enable(const wchar_t* name);
    // Writes the previous state back, once.
    void Restore();

    // Whether the privilege is enabled in the token (a null token: the process's).
    static bool IsEnabled(HANDLE token, const wchar_t* name);

private:
    qkHandle m_token;
    std::vector<BYTE> m_previous; // TOKEN_PRIVILEGES; empty: nothing to restore
};
