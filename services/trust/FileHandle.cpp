#include "services/trust/FileHandle.h"

#include "common/system/qkWow64FsRedirection.h"

namespace qkVerifyTrust {

BOOL FileHandle::Open(const wchar_t* path, BYTE keepRedirection)
{
    Close();
    if (path == nullptr || *path == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    {
        qkWow64FsRedirection redirection;
        if (keepRedirection == 0)
            redirection.Enable(false);
        m_handle =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = GetLastError();
    }
    SetLastError(error); // the open's error, not the restore's
    return IsOpen() ? TRUE : FALSE;
}

void FileHandle::Close()
{
    if (IsOpen()) {
        const DWORD error = GetLastError();
        CloseHandle(m_handle);
        SetLastError(error);
    }
    m_handle = INVALID_HANDLE_VALUE;
}

} // namespace qkVerifyTrust
