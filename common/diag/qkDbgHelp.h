#pragma once
// The Windows debug-help library bound at run time from the system folder: the minidump writer
// and the stack walker the crash handler and the logical failure analyzer use. A null entry is
// "not available".
#include <windows.h>
#include <dbghelp.h>

#include "common/base/qkCriticalSection.h"
#include "common/system/qkModule.h"

class qkDbgHelp : public qkModule {
public:
    qkDbgHelp();
    ~qkDbgHelp() override;

    // Loads "DBGHELP.DLL" from the system folder and binds; TRUE when a module is held afterwards,
    // even if an entry was missing.
    BOOL Load();
    // Resolve: looks the entries up (TRUE when all were found; FALSE without a module); otherwise
    // clears them.
    BOOL Bind(BOOL resolve);

    // DbgHelp is single-threaded: every caller in the process serialises its calls on this lock.
    static qkCriticalSection& ProcessLock();

    decltype(&::MiniDumpWriteDump) pfnMiniDumpWriteDump;
    decltype(&::StackWalk64) pfnStackWalk64;
    decltype(&::UnDecorateSymbolName) pfnUnDecorateSymbolName;
    DWORD(WINAPI* pfnUnDecorateSymbolNameW)(PCWSTR, PWSTR, DWORD, DWORD);
    decltype(&::SymFunctionTableAccess64) pfnSymFunctionTableAccess64;
    decltype(&::SymGetModuleBase64) pfnSymGetModuleBase64;
    // The symbol handler must know the process before StackWalk64 can find a frame's unwind data.
    decltype(&::SymInitializeW) pfnSymInitializeW;
    decltype(&::SymCleanup) pfnSymCleanup;
    decltype(&::SymSetOptions) pfnSymSetOptions;
};
