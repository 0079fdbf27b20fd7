#pragma once
// A named lock held for the life of the process, per Windows session or across all sessions:
// an open, unshared, delete-on-close file in a lock folder below the library's data folder.
// While one process holds the file open no other can open it; it disappears with its holder.
#include "common/system/qkFile.h"

#include <windows.h>
#include <string>

class qkSingleInstance {
public:
    static constexpr DWORD kGlobal = 1;

    qkSingleInstance() = default;
    virtual ~qkSingleInstance();
    qkSingleInstance(const qkSingleInstance&) = delete;
    qkSingleInstance& operator=(const qkSingleInstance&) = delete;

    // The folder below which "_lck" lies; the default is "%QKDATA%\" expanded.
    virtual BOOL GetLockFolder(std::wstring& folder);

    // TRUE when this process now holds the lock (mode 1: global, other: this session).
    BOOL Create(const wchar_t* name, DWORD mode);
    BOOL Release();
    BOOL PrepareLockFolder(std::wstring& folder);
    BOOL BuildLockFilePath(const wchar_t* name, DWORD mode, std::wstring& path);
    DWORD GetLastError() const { return m_lastError; }
    bool IsHeld() const { return m_lockFile.GetHandle() != nullptr; }

protected:
    qkFile m_lockFile;
    DWORD m_lastError = 0;
};
