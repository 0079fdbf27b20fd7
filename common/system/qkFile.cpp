#include "common/system/qkFile.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

#include <shlwapi.h>
#include <string>

BOOL qkFile::Fail(DWORD error)
{
    m_lastError = error;
    QK_TRACE(L"error %lu", error);
    return FALSE;
}

BOOL qkFile::Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                  DWORD flagsAndAttributes, HANDLE templateFile)
{
    if (path == nullptr || path[0] == L'\0')
        return Fail(ERROR_INVALID_PARAMETER);
    m_file.Close();
    HANDLE file = ::CreateFileW(path, access, shareMode, security, disposition, flagsAndAttributes, templateFile);
    if (file == nullptr || file == INVALID_HANDLE_VALUE) {
        m_lastError = ::GetLastError();
        QK_TRACE(L"CreateFileW %s : %lu", path, m_lastError);
        return FALSE;
    }
    m_file.Reset(file);
    return TRUE;
}

BOOL qkFile::Read(void* buffer, DWORD count)
{
    DWORD read = 0;
    if (!::ReadFile(m_file.Get(), buffer, count, &read, nullptr))
        return Fail(::GetLastError());
    if (read != count)
        return Fail(ERROR_HANDLE_EOF); // a short read is the end of the file, not success
    return TRUE;
}

BOOL qkFile::Write(const void* buffer, DWORD count)
{
    DWORD written = 0;
    if (!::WriteFile(m_file.Get(), buffer, count, &written, nullptr))
        return Fail(::GetLastError());
    if (written != count)
        return Fail(ERROR_WRITE_FAULT);
    return TRUE;
}

BOOL qkFile::Seek(DWORD distanceLow, LONG distanceHigh, DWORD method)
{
    ::SetLastError(ERROR_SUCCESS);
    DWORD low = ::SetFilePointer(m_file.Get(), static_cast<LONG>(distanceLow), &distanceHigh, method);
    // 0xFFFFFFFF is also a valid low half: only the error code tells.
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
            return Fail(error);
    }
    return TRUE;
}

BOOL qkFile::GetPosition(ULONGLONG* position)
{
    if (position == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *position = 0;
    LONG high = 0;
    ::SetLastError(ERROR_SUCCESS);
    DWORD low = ::SetFilePointer(m_file.Get(), 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
            return Fail(error);
    }
    *position = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
    return TRUE;
}

BOOL qkFile::GetSize(ULONGLONG* size)
{
    if (size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *size = 0;
    DWORD high = 0;
    ::SetLastError(ERROR_SUCCESS);
    DWORD low = ::GetFileSize(m_file.Get(), &high);
    if (low == INVALID_FILE_SIZE) {
        DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
            return Fail(error);
    }
    *size = (static_cast<ULONGLONG>(high) << 32) | low;
    return TRUE;
}

LONGLONG qkFile::GetLength()
{
    ULONGLONG size = 0;
    if (!GetSize(&size))
        return 0;
    return static_cast<LONGLONG>(size);
}

BOOL qkFile::SetLength(DWORD low, LONG high)
{
    if (!SeekFromBegin(low, high))
        return FALSE;
    if (!::SetEndOfFile(m_file.Get()))
        return Fail(::GetLastError());
    return TRUE;
}

BOOL qkFile::ReadAt(DWORD offsetLow, LONG offsetHigh, void* buffer, DWORD count)
{
    if (!SeekFromBegin(offsetLow, offsetHigh))
        return FALSE;
    return Read(buffer, count);
}

BOOL qkFile::CreateDirectoryPath(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    qkExceptionInfo info;
    try {
        // Two characters more than the path: room for the added backslash and the terminator.
        std::wstring buffer(path);
        buffer.resize(buffer.size() + 2, L'\0');
        if (!::PathAddBackslashW(buffer.data())) {
            ::SetLastError(ERROR_BUFFER_OVERFLOW);
            return FALSE;
        }
        buffer.resize(std::wcslen(buffer.c_str()));
        wchar_t* text = buffer.data();

        // The first separator to work on depends on the path's form.
        size_t pos = std::wstring::npos;
        if (buffer.find(L"\\\\?\\") != std::wstring::npos) {
            // Just behind the root, such as the drive root of a \\?\ path.
            const wchar_t* behindRoot = ::PathSkipRootW(text);
            if (behindRoot != nullptr)
                pos = static_cast<size_t>(behindRoot - text);
        } else if (::PathIsUNCW(text)) {
            // The backslash that ends the server-and-share root.
            const wchar_t* behindRoot = ::PathSkipRootW(text);
            if (behindRoot != nullptr && behindRoot > text)
                pos = static_cast<size_t>(behindRoot - text) - 1;
        } else {
            pos = buffer.find(L'\\');
        }

        while (pos != std::wstring::npos && pos < buffer.size()) {
            const wchar_t kept = text[pos];
            text[pos] = L'\0';
            DWORD attributes = ::GetFileAttributesW(text);
            if (attributes != INVALID_FILE_ATTRIBUTES) {
                if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    QK_TRACE(L"%s is not a folder : attributes 0x%08lX", text, attributes);
                    ::SetLastError(ERROR_DIRECTORY);
                    return FALSE;
                }
            } else {
                DWORD error = ::GetLastError();
                if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                    if (!::CreateDirectoryW(text, nullptr)) {
                        error = ::GetLastError();
                        // Another process may have made it since the test: that counts.
                        DWORD now = ::GetFileAttributesW(text);
                        if (error != ERROR_ALREADY_EXISTS || now == INVALID_FILE_ATTRIBUTES ||
                            !(now & FILE_ATTRIBUTE_DIRECTORY)) {
                            QK_TRACE(L"CreateDirectoryW %s : %lu", text, error);
                            ::SetLastError(error);
                            return FALSE;
                        }
                    }
                } else if (error == ERROR_ACCESS_DENIED) {
                    // Taken as existing: a folder further down may still be ours to make.
                    QK_TRACE(L"no access to %s, stepping over it", text);
                } else {
                    QK_TRACE(L"GetFileAttributesW %s : %lu", text, error);
                    ::SetLastError(error);
                    return FALSE;
                }
            }
            text[pos] = kept;
            pos = pos + 1 < buffer.size() ? buffer.find(L'\\', pos + 1) : std::wstring::npos;
        }
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    QK_CATCH(info)
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}
