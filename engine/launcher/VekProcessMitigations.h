#pragma once
// Process hardening, the first thing the launcher does: DLLs only from the system folder, the
// current folder out of the search path, extension points disabled, heap termination on
// corruption and data-execution prevention. Every step becomes a SecurityResult; none stops the
// start. Functions that older systems lack are looked up in kernel32 by name, so that the
// launcher still starts there.
#include "engine/launcher/SecurityResult.h"

#include <windows.h>

#include <vector>

namespace vek {

// The system functions the hardening calls; a null entry is a function the system lacks.
struct MitigationApi {
    BOOL(WINAPI* SetDefaultDllDirectories)(DWORD) = nullptr;
    BOOL(WINAPI* SetDllDirectoryW)(LPCWSTR) = nullptr;
    BOOL(WINAPI* SetProcessMitigationPolicy)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T) = nullptr;
    BOOL(WINAPI* HeapSetInformation)(HANDLE, HEAP_INFORMATION_CLASS, PVOID, SIZE_T) = nullptr;
    DEP_SYSTEM_POLICY_TYPE(WINAPI* GetSystemDEPPolicy)() = nullptr;
    BOOL(WINAPI* SetProcessDEPPolicy)(DWORD) = nullptr;

    // This system's functions: kernel32's exports by name, SetDllDirectoryW imported.
    static MitigationApi FromKernel32();
};

// Runs the steps in order and appends one record per step.
void ApplyProcessMitigations(std::vector<SecurityResult>& results);
void ApplyProcessMitigations(const MitigationApi& api, std::vector<SecurityResult>& results);

// Loads a DLL from the system folder only; null on failure.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

} // namespace vek
