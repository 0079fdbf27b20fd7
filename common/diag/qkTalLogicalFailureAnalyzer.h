#pragma once
// Describes a logical failure for an error instance: the process and its main module, the module
// that holds the failure address, a short walk of the reporting thread's stack (with the first
// frame in one of our own modules, those whose company name contains "Talvern"), and on request
// a minidump embedded in the instance file. Everything lands as typed values in the instance's
// key/value collection:
//   0 zero, 1 report time (UTC), 2 instance GUID, 6 process id, 7 thread id, 33 session id,
//   17-19 the caller's numbers, 16 the id text (or the failing module's name);
//   process: 8 name, 9 version, 10 link time, 25 our company, 26 path;
//   failing module: 11 name, 12 version, 13 link time, 14 offset, 27 path, 29 debug GUID;
//   stack: 15 signature (CRC-32 over the frames' module names and offsets); the first frame in
//   our own module: 21 name, 22 version, 23 link time, 24 offset, 28 path, 30 debug GUID.
#include <windows.h>

#include <string>

#include "common/diag/qkDbgHelp.h"
#include "common/persist/IValueCollection.h"

class qkTalErrorInstanceStore;

class qkTalLogicalFailureAnalyzer {
public:
    static constexpr int kMaxFrames = 10;

    // What is known of one loaded module.
    struct ModuleInfo {
        ULONG_PTR base = 0;
        std::wstring path;
        std::wstring name; // without folder and extension
        std::wstring version;
        std::wstring company;
        SYSTEMTIME linkTime{};
        GUID debugGuid{};
        bool hasDebugGuid = false;
    };

    qkTalLogicalFailureAnalyzer() = default;
    virtual ~qkTalLogicalFailureAnalyzer() = default;
    qkTalLogicalFailureAnalyzer(const qkTalLogicalFailureAnalyzer&) = delete;
    qkTalLogicalFailureAnalyzer& operator=(const qkTalLogicalFailureAnalyzer&) = delete;

    // Binds DbgHelp once; later calls answer S_OK at once.
    HRESULT Prepare();
    HRESULT Analyze(const CONTEXT* context, const wchar_t* idText, ULONG_PTR failureAddress, DWORD number1,
                    DWORD number2, DWORD number3, IKeyValueCollection* collection);
    // Writes a minidump of this process next to the store's file (".tmp") and embeds it as the
    // "Dump" attachment; the temporary file is removed afterwards.
    HRESULT WriteDump(qkTalErrorInstanceStore& store, DWORD dumpType, EXCEPTION_RECORD* record, CONTEXT* context);
    // Ends the per-report state (no debugger-engine session is ever opened here).
    void ResetSession() {}

    // The module that holds the address: E_INVALIDARG for an address outside any module.
    static HRESULT FindModule(ULONG_PTR address, ModuleInfo& module);
    static HRESULT ReadLinkTime(ULONG_PTR base, SYSTEMTIME& time);
    static void ReadVersion(const std::wstring& path, ModuleInfo& module);
    HRESULT ReadDebugGuid(ULONG_PTR base, GUID& guid);

private:
    HRESULT AnalyzeStack(const CONTEXT* context, IKeyValueCollection* collection);
    HRESULT AnalyzeProcess(IKeyValueCollection* collection);
    HRESULT AnalyzeFailingModule(ULONG_PTR failureAddress, IKeyValueCollection* collection);
    HRESULT DescribeModule(ULONG_PTR address, ModuleInfo& module);
    HRESULT AnalyzeGuarded(const CONTEXT* context, const wchar_t* idText, ULONG_PTR failureAddress, DWORD number1,
                           DWORD number2, DWORD number3, IKeyValueCollection* collection);
    HRESULT WriteDumpGuarded(qkTalErrorInstanceStore& store, DWORD dumpType, EXCEPTION_RECORD* record,
                             CONTEXT* context);

    using ImageDirectoryEntryToDataExFn = PVOID(WINAPI*)(PVOID, BOOLEAN, USHORT, PULONG, PIMAGE_SECTION_HEADER*);

    qkDbgHelp m_dbgHelp;
    qkModule m_imageHelp;
    ImageDirectoryEntryToDataExFn m_imageDirectoryEntryToDataEx = nullptr;
    bool m_prepared = false;
};
