#pragma once
// Reads another process's loaded-module list straight from its process environment block,
// including a 64-bit process seen from this program running under WOW64.
#include <windows.h>

#include <map>

#include "common/diag/qkProcessRecord.h"
#include "common/system/qkHandle.h"

class qkPEBReader {
public:
    // A corrupted list that neither ends nor returns to its first entry stops here.
    static constexpr int kMaxModules = 4096;

    qkPEBReader() = default;
    virtual ~qkPEBReader() = default;
    qkPEBReader(const qkPEBReader&) = delete;
    qkPEBReader& operator=(const qkPEBReader&) = delete;

    HRESULT Open(DWORD processId);
    HRESULT ReadModules(std::map<ULONGLONG, qkModuleRecord>& modules);

private:
    // Reads target memory with the target's pointer width.
    bool Read(ULONGLONG address, void* buffer, ULONG size);
    template <typename Pointer>
    HRESULT Walk(std::map<ULONGLONG, qkModuleRecord>& modules);

    using NtQueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    using NtWow64ReadVirtualMemory64Fn = LONG(NTAPI*)(HANDLE, ULONGLONG, PVOID, ULONGLONG, PULONGLONG);

    qkHandle m_process;
    bool m_wow64To64 = false;
    ULONGLONG m_peb = 0;
    NtQueryInformationProcessFn m_ntQueryInformationProcess = nullptr;
    NtQueryInformationProcessFn m_ntWow64QueryInformationProcess64 = nullptr;
    NtWow64ReadVirtualMemory64Fn m_ntWow64ReadVirtualMemory64 = nullptr;
};
