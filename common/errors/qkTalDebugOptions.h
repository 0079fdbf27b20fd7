#pragma once
// The machine's debug options: the crash-handler switches and the line logger's switches with
// a per-module filter, read from "<silo>\Keel Core\Debug\CrashHandler" and "...\DebugOutput"
// under HKEY_LOCAL_MACHINE. Nothing in the program writes these keys; a missing key or value
// keeps its default. Built on the stack by a configured logger's first initialisation, loaded,
// applied and dropped.
#include <windows.h>

#include <map>
#include <string>

class qkDebugOutput;

class qkTalDebugOptions {
public:
    // Orders module names without regard to the case of ASCII letters.
    struct AsciiNoCaseLess {
        bool operator()(const std::wstring& left, const std::wstring& right) const;
    };
    using ModuleMap = std::map<std::wstring, DWORD, AsciiNoCaseLess>;

    qkTalDebugOptions();
    virtual ~qkTalDebugOptions() = default;

    // The defaults of both keys; an empty module map.
    void Reset();
    // Reads both keys below the silo registry path; false when there is no silo.
    bool Load();
    // Reads <base>\CrashHandler and <base>\DebugOutput. A missing key is no failure; false
    // when a path or a name cannot be stored or the module list cannot be enumerated.
    bool LoadFromKey(const wchar_t* basePath);
    // Copies the logger part into the logger (through its setters), then applies the module
    // filter; false when the folder cannot be set.
    bool ApplyTo(qkDebugOutput& logger) const;
    // True when the module filter turns logging off for the module name.
    bool IsModuleSilenced(const std::wstring& moduleName) const;

    // Logger part (key "DebugOutput").
    DWORD DebugType;
    std::wstring Directory;
    DWORD OutputToDebugger;
    DWORD OutputToFile;
    DWORD AppendProcessIdToFile;
    DWORD PrependThreadId;
    DWORD PrependProcessId;
    DWORD PrependDateTime;
    DWORD PrependModuleName;
    DWORD AppendNewLine;
    DWORD PrependType;
    DWORD ExclusiveModules;
    ModuleMap Modules; // subkey "Modules": module name -> non-zero = logging on

    // Crash part (key "CrashHandler"): loaded with the rest; nothing in this program acts on it.
    DWORD DumpOnNew;
    DWORD TerminateOnNew;
    DWORD ThrowOnNew;
    DWORD DumpOnException;
    DWORD TerminateOnException;
    DWORD DumpOnPurecall;
    DWORD TerminateOnPurecall;
    DWORD DumpOnSecurity;
    DWORD TerminateOnSecurity;
    DWORD DumpOnInvalidParameter;
    DWORD TerminateOnInvalidParameter;
    std::wstring CrashDirectory;
    DWORD DumpType; // MINIDUMP_TYPE mask
    DWORD AppendDateTimeToFile;
    DWORD AppendVersionToFile;
    DWORD CallbackEnabled;
    std::wstring CallbackPath;

private:
    bool LoadFromKeyGuarded(const wchar_t* basePath);
    bool LoadModules(HKEY debugOutputKey, REGSAM access);
};
