#pragma once
// Owner of a file handle opened for verification, with the open rule the trust code shares:
// read access, read sharing, existing files only, WOW64 file-system redirection switched off
// around the open when the caller does not keep it.
#include <windows.h>

namespace qkVerifyTrust {

class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // TRUE when open; FALSE with the last error kept.
    BOOL Open(const wchar_t* path, BYTE keepRedirection);
    void Close();
    HANDLE Get() const { return m_handle; }
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

} // namespace qkVerifyTrust
