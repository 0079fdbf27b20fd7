#pragma once
// A named lock held for the life of the process, per Windows session or across all sessions:
// an open, unshared, delete-on-close file in a lock folder below the library's data folder.
// While one process holds the file open no other can open it; it disappears with its holder.
// The folder and the file are opened as themselves, the file relative to the folder's handle:
// a link planted in their place is never followed, and the deletion goes through that handle.
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
    // A lock folder or file refused as a link, or a file refused for its owner, that could not be
    // made anew (ERROR_REPARSE_POINT_ENCOUNTERED).
    static constexpr DWORD kRefused = 4395;

    // Opens the lock folder as itself; a link is removed and the folder made anew when
    // mayRemake, else refused. A Win32 error code.
    DWORD OpenLockFolder(const std::wstring& folder, bool mayRemake, qkHandle& handle);
    // Takes the lock file in the folder, relative to the folder's handle and never through a
    // link. A Win32 error code.
    DWORD TakeIn(const std::wstring& folder, const std::wstring& fileName, bool mayRemake);

    qkFile m_lockFile;
    DWORD m_lastError = 0;
};
