#pragma once
// Where and how error instances are written and who is called afterwards, read from
// "<silo>\Keel Core\Debug\ErrorClient" under HKEY_LOCAL_MACHINE. A missing key switches error
// reporting off (LogLogicalFailures false); a present key switches it on unless the value says
// otherwise. Value semantics: the error instance keeps one cached copy and hands out copies.
#include <windows.h>

#include <string>

class qkTalErrorClientOptions {
public:
    qkTalErrorClientOptions() = default;
    qkTalErrorClientOptions(const qkTalErrorClientOptions&) = default;
    qkTalErrorClientOptions& operator=(const qkTalErrorClientOptions&) = default;
    virtual ~qkTalErrorClientOptions() = default;

    // Empties the strings, clears the flags and DumpType.
    void Reset();
    // Reset, then reads the key below the silo registry path. True also when the key is
    // missing; false when there is no silo or memory runs out.
    bool Load();
    // The same from a key path of the caller's choice (under HKEY_LOCAL_MACHINE).
    bool LoadFromKey(const wchar_t* keyPath);

    std::wstring ProductName;
    std::wstring ProductVersion;
    std::wstring Directory; // root of the error-instance buckets; empty: none written
    bool LogLogicalFailures = false;
    bool DumpOnLogicalFailure = false;
    DWORD DumpType = 0; // MINIDUMP_TYPE mask for logical-failure dumps
    bool CallbackOnLogicalFailure = false;
    std::wstring LogicalFailureCallback;

private:
    bool LoadFromKeyGuarded(const wchar_t* keyPath);
};
