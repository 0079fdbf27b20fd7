#pragma once
// Starts one process as the caller, in the caller's folder and environment, with the child
// mitigation policy attached, and keeps its handles until destroyed.
#include <windows.h>

#include "common/system/qkHandle.h"

namespace vek {

class ProcessLauncher {
public:
    ProcessLauncher() = default;
    virtual ~ProcessLauncher() = default;
    ProcessLauncher(const ProcessLauncher&) = delete;
    ProcessLauncher& operator=(const ProcessLauncher&) = delete;

    // Throws std::runtime_error "GetExitCodeProcess() failed" when the code cannot be read.
    virtual DWORD GetExitCode();
    virtual DWORD GetProcessId() { return m_processId; }
    // E_INVALIDARG for an empty command line; the start-up information's failure; the HRESULT of
    // CreateProcessW's error. Hidden when show is false.
    virtual HRESULT Launch(const wchar_t* commandLine, bool show);
    // The same with the program named apart from its command line: the system starts exactly
    // that file and searches no folder for it (null: the command line's first token is searched).
    virtual HRESULT Launch(const wchar_t* application, const wchar_t* commandLine, bool show);
    virtual HRESULT Launch(const wchar_t* commandLine) { return Launch(commandLine, true); }
    // The wait result on the process handle.
    virtual DWORD Wait(DWORD timeoutMs);

private:
    qkHandle m_process;
    qkHandle m_thread;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
};

} // namespace vek
