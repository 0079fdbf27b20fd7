#pragma once
// Facts about another process and its loaded modules, as the process inspection reads them.
#include <windows.h>

#include <map>
#include <string>

class qkModuleRecord {
public:
    virtual ~qkModuleRecord() = default;
    DWORD handle = 0; // the module handle as the reading method reports it (truncated to 32 bits)
    std::wstring path;
    ULONGLONG baseAddress = 0; // 64-bit, so that modules of 64-bit processes fit
    DWORD imageSize = 0;
};

class qkProcessRecord : public qkModuleRecord {
public:
    void Clear() { *this = qkProcessRecord(); }
    DWORD processId = 0;
    DWORD parentProcessId = 0;
    BOOL wow64 = FALSE; // a 32-bit process on a 64-bit system
    // By base address.
    std::map<ULONGLONG, qkModuleRecord> modules;
};
