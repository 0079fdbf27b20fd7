#pragma once
// A file handle with exact-count reads and writes and 64-bit positions. Every failing call keeps
// its Win32 error in the object (read with GetLastError); nothing throws.
#include "common/system/qkHandle.h"

#include <windows.h>

class qkFile {
public:
    qkFile() = default;
    virtual ~qkFile() = default;

    // CreateFileW with exactly these arguments; a null or empty path fails with 87 and leaves
    // any held file open.
    BOOL Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
              DWORD flagsAndAttributes, HANDLE templateFile = nullptr);
    // Succeeds only when exactly count bytes were read; a short read at the end of the file
    // keeps ERROR_HANDLE_EOF.
    BOOL Read(void* buffer, DWORD count);
    // Succeeds only when exactly count bytes were written.
    BOOL Write(const void* buffer, DWORD count);
    bool WriteAll(const void* buffer, DWORD count) { return Write(buffer, count) != FALSE; }
    BOOL Seek(DWORD distanceLow, LONG distanceHigh, DWORD method);
    BOOL SeekFromBegin(DWORD low, LONG high) { return Seek(low, high, FILE_BEGIN); }
    BOOL GetPosition(ULONGLONG* position);
    BOOL GetSize(ULONGLONG* size);
    // The size, 0 when it cannot be read.
    LONGLONG GetLength();
    // Truncates or extends the file to the offset.
    BOOL SetLength(DWORD low, LONG high);
    BOOL ReadAt(DWORD offsetLow, LONG offsetHigh, void* buffer, DWORD count);
    DWORD GetLastError() const { return m_lastError; }

    HANDLE GetHandle() const { return m_file.Get(); }
    qkHandle& Handle() { return m_file; }

    // Creates every missing folder of the path: drive, long-path ("\\?\") and network forms.
    // The folders made before a failure stay; the reason is left in the thread's last error.
    static BOOL CreateDirectoryPath(const wchar_t* path);

private:
    BOOL Fail(DWORD error);

    qkHandle m_file;
    DWORD m_lastError = 0;
};
