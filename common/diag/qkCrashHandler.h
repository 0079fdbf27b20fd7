#pragma once
// Turns a fatal event (allocation failure, unhandled exception, pure virtual call, invalid-parameter
// report of the C run time, or a direct call) into a crash dump and, for unhandled exceptions, a
// report by a callback program; optionally it then ends the process. The dump is first asked of
// the external dump service "qkDmpSvc"; only when the service does not write it is a minidump
// written in-process. Every entry point runs under one lock, so crashes on several threads are
// handled one after the other.
//
// GCC has no structured exception handling: the unhandled-exception hook is the process's
// unhandled-exception filter, and a dump without exception pointers (a direct call, an allocation
// failure, ...) describes the caller of HandleCrash through qkContextCapture, so that its stack
// walks back from there. No exception leaves a hook: each catches what the handling throws.
#include <windows.h>

#include <memory>
#include <new>
#include <string>

#include "common/base/qkCriticalSection.h"
#include "common/diag/qkDbgHelp.h"

class qkCrashHandler;

// One hook kind per class: each installs a static callback in its run-time or system slot and
// forwards the event to its owner.
// The C++ library's new handler (GCC's operator new does not use the C run time's slot).
class qkNewHandlerHook {
public:
    explicit qkNewHandlerHook(qkCrashHandler* owner) : m_owner(owner) {}
    virtual ~qkNewHandlerHook() { Uninstall(); }
    void Install(bool throwOnNew);
    void Uninstall();
    virtual void OnEvent();

private:
    static void Callback();
    std::new_handler m_previous = nullptr;
    bool m_installed = false;
    bool m_throw = false;
    qkCrashHandler* m_owner;
};

class qkUnhandledExceptionHook {
public:
    explicit qkUnhandledExceptionHook(qkCrashHandler* owner) : m_owner(owner) {}
    virtual ~qkUnhandledExceptionHook() { Uninstall(); }
    void Install();
    void Uninstall();
    virtual LONG OnEvent(EXCEPTION_POINTERS* pointers);

private:
    static LONG WINAPI Callback(EXCEPTION_POINTERS* pointers);
    LPTOP_LEVEL_EXCEPTION_FILTER m_previous = nullptr;
    bool m_installed = false;
    qkCrashHandler* m_owner;
};

class qkPurecallHook {
public:
    explicit qkPurecallHook(qkCrashHandler* owner) : m_owner(owner) {}
    virtual ~qkPurecallHook() { Uninstall(); }
    void Install();
    void Uninstall();
    virtual void OnEvent();

private:
    static void __cdecl Callback();
    void(__cdecl* m_previous)() = nullptr;
    bool m_installed = false;
    qkCrashHandler* m_owner;
};

class qkInvalidParameterHook {
public:
    using DefaultReport = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);

    explicit qkInvalidParameterHook(qkCrashHandler* owner) : m_owner(owner) {}
    virtual ~qkInvalidParameterHook() { Uninstall(); }
    void Install();
    void Uninstall();
    virtual void OnEvent(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned line);
    // The run time's own report, run when there was no previous handler; found in the loaded run
    // time at the first Install unless set before.
    void SetDefaultReport(DefaultReport report) { m_defaultReport = report; }
    static DefaultReport FindDefaultReport();

private:
    static void __cdecl Callback(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned line,
                                 uintptr_t reserved);
    void(__cdecl* m_previous)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) = nullptr;
    DefaultReport m_defaultReport = nullptr;
    bool m_installed = false;
    qkCrashHandler* m_owner;
};

class qkCrashHandler {
public:
    enum CrashType : DWORD {
        CrashDirect = 1,
        CrashNew = 2,
        CrashException = 3,
        CrashPurecall = 4,
        CrashSecurity = 5,
        CrashInvalidParameter = 6,
    };
    static constexpr DWORD kTerminateExitCode = 0xFFFFFFFF;
    // How long the callback program may take; a crashing thread never waits for ever.
    static constexpr DWORD kDefaultCallbackTimeout = 10 * 60 * 1000;
    static constexpr wchar_t kDumpServiceName[] = L"qkDmpSvc";

    // What the owner fills from the "CrashHandler" debug options and the program's version.
    struct Settings {
        DWORD dump[7] = {};      // by crash type 2-6: the dump switch
        DWORD terminate[7] = {}; // by crash type 2-6: the terminate switch
        bool throwOnNew = false;
        std::wstring dumpBasePath; // folder, base name and extension
        std::wstring version;
        DWORD appendDateTime = 0;
        DWORD appendVersion = 0;
        DWORD dumpType = 0; // MINIDUMP_TYPE mask
        DWORD callback = 0;
        std::wstring callbackPath;
        DWORD callbackTimeout = kDefaultCallbackTimeout; // milliseconds
    };

    qkCrashHandler();
    virtual ~qkCrashHandler();
    qkCrashHandler(const qkCrashHandler&) = delete;
    qkCrashHandler& operator=(const qkCrashHandler&) = delete;

    // Takes the settings, binds DbgHelp and, unless told otherwise, installs the four hooks.
    BOOL Initialize(const Settings& settings, bool installHooks = true);
    void Uninitialize();

    // Without pointers the dump describes the code that called HandleCrash.
    virtual BOOL HandleCrash(DWORD type, EXCEPTION_POINTERS* pointers);
    // FALSE also when the program did not end within the callback time-out (it is left running).
    virtual BOOL RunCrashCallback(DWORD type, EXCEPTION_POINTERS* pointers);

    // The dump's file name for this process at this local time.
    std::wstring MakeDumpName(const SYSTEMTIME& localTime, DWORD processId, BOOL* ok) const;
    // Without pointers the dump describes the code that called StartDumpService.
    BOOL StartDumpService(EXCEPTION_POINTERS* pointers);
    BOOL WriteDump(const std::wstring& path, DWORD dumpType, EXCEPTION_POINTERS* pointers);

    qkInvalidParameterHook& InvalidParameterHook() { return m_invalidParameterHook; }

private:
    BOOL HandleCrashLocked(DWORD type, EXCEPTION_POINTERS* pointers);
    BOOL RunCrashCallbackLocked(DWORD type, EXCEPTION_POINTERS* pointers);
    BOOL StartDumpServiceWith(EXCEPTION_POINTERS* pointers);
    bool DumpSwitch(DWORD type) const;
    bool TerminateSwitch(DWORD type) const;
    static void TraceToken();

    qkNewHandlerHook m_newHook;
    qkUnhandledExceptionHook m_exceptionHook;
    qkPurecallHook m_purecallHook;
    qkInvalidParameterHook m_invalidParameterHook;
    bool m_initialized = false;
    Settings m_settings;
    qkDbgHelp m_dbgHelp;
    qkCriticalSection m_lock;
};
