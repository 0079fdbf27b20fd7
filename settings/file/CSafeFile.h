#pragma once
// The file under the settings database and its journal: one handle with positioned reads and
// writes, resizing, deletion by disposition, a chunked whole-file copy, and the backup that
// keeps a copy of the store under its path + ".bak" (written first as "._bak", then moved into
// place, so that ".bak" is always a complete copy). Every operation returns an NTSTATUS.
#include <windows.h>

#include <memory>

#include "common/base/qkCriticalSection.h"
#include "common/system/qkHandle.h"
#include "settings/store/CStringBuffer.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

struct FileOpenParams {
    const CountedString* name = nullptr;
    PSECURITY_DESCRIPTOR securityDescriptor = nullptr;
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    DWORD creationDisposition = OPEN_EXISTING;
    DWORD extraFlags = 0;
    bool strict = false;
};

// Lets tests fail reads, fail or shorten writes, and watch the file operations of every
// CSafeFile in the process.
class IFileWriteFaults {
public:
    virtual ~IFileWriteFaults() = default;
    // Called before each write and flush. Return a failure status to fail the call without
    // writing; lower *length to write only a prefix (the call then reports success with the
    // shorter count, as a full disk may).
    virtual NtStatus BeforeWrite(const wchar_t* fileName, ULONGLONG offset, DWORD* length) = 0;
    virtual NtStatus BeforeFlush(const wchar_t* fileName)
    {
        (void)fileName;
        return status::kSuccess;
    }
    // Called before each positioned read; a failure status fails it.
    virtual NtStatus BeforeRead(const wchar_t* fileName, ULONGLONG offset)
    {
        (void)fileName;
        (void)offset;
        return status::kSuccess;
    }
    // Called before a size change or a deletion.
    virtual NtStatus BeforeChange(const wchar_t* fileName)
    {
        (void)fileName;
        return status::kSuccess;
    }
    // Told after each write, size change (an open that truncates is a change to 0), flush and
    // deletion that succeeded, so that a test can model what a crash would leave on disk.
    virtual void AfterWrite(const wchar_t* fileName, ULONGLONG offset, const void* data, DWORD length)
    {
        (void)fileName;
        (void)offset;
        (void)data;
        (void)length;
    }
    virtual void AfterSetSize(const wchar_t* fileName, ULONGLONG size)
    {
        (void)fileName;
        (void)size;
    }
    virtual void AfterFlush(const wchar_t* fileName) { (void)fileName; }
    virtual void AfterDelete(const wchar_t* fileName) { (void)fileName; }
};

class CSafeFile {
public:
    CSafeFile() = default;
    CSafeFile(const CSafeFile&) = delete;
    CSafeFile& operator=(const CSafeFile&) = delete;

    // Looks up NtSetInformationFile once (the settings module's first reference).
    static NtStatus InitializeModule();
    static void SetWriteFaults(std::shared_ptr<IFileWriteFaults> faults);

    NtStatus Open(const FileOpenParams& params);
    void Close();
    bool IsOpen() const { return m_handle.IsValid(); }

    NtStatus Read(void* buffer, DWORD length, DWORD* count);
    NtStatus ReadAt(ULONGLONG offset, void* buffer, DWORD length, DWORD* count);
    NtStatus Write(const void* buffer, DWORD length, DWORD* count);
    NtStatus WriteAt(ULONGLONG offset, const void* buffer, DWORD length, DWORD* count);
    // All of length bytes at offset, or shortStatus (reading) or kUnsuccessful (writing) when
    // fewer moved.
    NtStatus ReadExactAt(ULONGLONG offset, void* buffer, DWORD length, NtStatus shortStatus);
    NtStatus WriteExactAt(ULONGLONG offset, const void* buffer, DWORD length);
    NtStatus Tell(ULONGLONG* position);
    NtStatus Seek(ULONGLONG position);
    NtStatus GetSize(ULONGLONG* size);
    NtStatus SetSize(ULONGLONG size);
    NtStatus Flush();
    NtStatus MarkForDeletion();
    NtStatus CopyTo(const CountedString& destination);
    NtStatus MakeBackup();

    static NtStatus DeleteFile(const CountedString& name);
    static NtStatus Rename(const CountedString& source, const CountedString& destination);
    static NtStatus RestoreBackup(const CountedString& storePath);

    const CountedString& Name() const { return m_name.Get(); }

private:
    NtStatus CheckWritable() const;
    NtStatus DoWrite(const ULONGLONG* offset, const void* buffer, DWORD length, DWORD* count);

    qkHandle m_handle{INVALID_HANDLE_VALUE};
    qkCriticalSection m_position; // a positioned read or write is a seek and the call
    CStringBuffer m_name;
    bool m_forWriting = false;
    bool m_strict = false;
    DWORD m_extraFlags = 0;
};

} // namespace qkSettings
