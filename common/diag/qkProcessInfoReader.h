#pragma once
// Collects facts about another process given its id: image path, parent id, WOW64 flag and the
// loaded modules. Every system function is bound at run time from the process-status library,
// kernel32's tool-help functions and NTDLL, so that a missing one only lowers the methods
// available:
//   automatic (0): the process-status reader, with the tool-help reader when that found no path;
//   tool-help (1); process-status with (2) or without (3, native) the module list.
// A reader belongs to one thread; SeDebugPrivilege is enabled for that thread during a read.
#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <memory>

#include "common/diag/qkProcessRecord.h"
#include "common/system/qkKernel32.h"
#include "common/system/qkModule.h"

class qkProcessInfoReader {
public:
    enum Method : DWORD { MethodAutomatic = 0, MethodToolHelp = 1, MethodProcessStatus = 2, MethodNative = 3 };

    qkProcessInfoReader() = default;
    virtual ~qkProcessInfoReader();
    qkProcessInfoReader(const qkProcessInfoReader&) = delete;
    qkProcessInfoReader& operator=(const qkProcessInfoReader&) = delete;

    // TRUE when the process-status set or the tool-help set is complete.
    BOOL Load();
    void UseNativeMethod() { m_method = MethodNative; }
    void SetMethod(DWORD method) { m_method = method; }
    BOOL GetProcessInfo(DWORD processId, qkProcessRecord& record);

    BOOL IsProcessStatusComplete() const { return m_processStatusComplete; }
    BOOL IsToolHelpComplete() const { return m_toolHelpComplete; }

private:
    // A module holder with function pointers bound by name.
    struct LateBound : qkModule {
        template <typename Fn>
        Fn Get(const char* name) const
        {
            return GetProc<Fn>(name);
        }
    };

    void Unload();
    BOOL ReadWithProcessStatus(DWORD processId, qkProcessRecord& record);
    BOOL ReadWithToolHelp(DWORD processId, qkProcessRecord& record);
    BOOL ReadModuleSnapshot(DWORD processId, const wchar_t* exeName, qkProcessRecord& record);

    LateBound m_psapi;
    std::unique_ptr<LateBound> m_ntdll;
    BOOL m_processStatusComplete = FALSE;
    LateBound m_toolHelp;
    BOOL m_toolHelpComplete = FALSE;
    DWORD m_method = MethodAutomatic;
    qkKernel32 m_kernel32;

    // Process-status entries.
    BOOL(WINAPI* m_enumProcesses)(DWORD*, DWORD, DWORD*) = nullptr;
    BOOL(WINAPI* m_enumProcessModules)(HANDLE, HMODULE*, DWORD, DWORD*) = nullptr;
    DWORD(WINAPI* m_getModuleFileNameExW)(HANDLE, HMODULE, LPWSTR, DWORD) = nullptr;
    BOOL(WINAPI* m_getModuleInformation)(HANDLE, HMODULE, void*, DWORD) = nullptr;
    LONG(NTAPI* m_ntQueryInformationProcess)(HANDLE, ULONG, PVOID, ULONG, PULONG) = nullptr;
    // Tool-help entries.
    HANDLE(WINAPI* m_createToolhelp32Snapshot)(DWORD, DWORD) = nullptr;
    BOOL(WINAPI* m_module32FirstW)(HANDLE, MODULEENTRY32W*) = nullptr;
    BOOL(WINAPI* m_module32NextW)(HANDLE, MODULEENTRY32W*) = nullptr;
    BOOL(WINAPI* m_process32FirstW)(HANDLE, PROCESSENTRY32W*) = nullptr;
    BOOL(WINAPI* m_process32NextW)(HANDLE, PROCESSENTRY32W*) = nullptr;
};
