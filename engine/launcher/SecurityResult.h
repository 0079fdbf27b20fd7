#pragma once
// The outcome of one hardening step. Hardening runs before the log file exists, so the records
// are kept and logged once it is open.
#include <windows.h>

#include <string>

struct SecurityResult {
    std::wstring name;     // the mitigation's name as logged
    bool available = true; // the system offers the function
    bool needed = true;    // the mitigation applies to this system
    HRESULT result = S_OK; // 0 on success, else the HRESULT of the system error
    std::wstring message;  // an explanation, often empty

    // One line: information when not needed, not available or applied; error when it failed.
    void LogResult() const;
};
