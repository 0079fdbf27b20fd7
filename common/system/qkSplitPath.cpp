#include "common/system/qkSplitPath.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

#include <cstdlib>
#include <vector>

namespace {

struct SplitParts {
    std::wstring drive;
    std::wstring directory;
    std::wstring fileName;
    std::wstring extension;
};

// _wsplitpath_s with buffers one character longer than the path, so that every piece fits.
bool SplitWithCrt(const std::wstring& path, SplitParts& parts)
{
    const size_t n = path.size() + 1;
    std::vector<wchar_t> drive(n), directory(n), fileName(n), extension(n);
    errno_t error =
        ::_wsplitpath_s(path.c_str(), drive.data(), n, directory.data(), n, fileName.data(), n, extension.data(), n);
    if (error != 0) {
        QK_TRACE(L"cannot split %s : errno %d", path.c_str(), error);
        return false;
    }
    parts.drive = drive.data();
    parts.directory = directory.data();
    parts.fileName = fileName.data();
    parts.extension = extension.data();
    return true;
}

} // namespace

void qkSplitPath::Clear()
{
    for (std::wstring* member :
         {&m_path, &m_drive, &m_directory, &m_driveAndDirectory, &m_fileName, &m_extension, &m_nameAndExtension,
          &m_longPath, &m_longDirectory, &m_longDriveAndDirectory, &m_longFileName, &m_longExtension,
          &m_longNameAndExtension, &m_prefix, &m_uncRoot, &m_server, &m_share})
        member->clear();
}

BOOL qkSplitPath::Split(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return SplitModulePath(nullptr);
    qkExceptionInfo info;
    try {
        Clear();
        m_path = path;
        const std::wstring& p = m_path;
        const size_t n = p.size();
        size_t index = 0;

        if (p[0] == L'\\' && n >= 2) {
            if (p[1] == L'?') {
                if (n < 4 || p[2] != L'?' || p[3] != L'\\') {
                    QK_TRACE(L"malformed prefix : %s", path);
                    return FALSE;
                }
                m_prefix = L"\\??\\";
            } else if (p[1] == L'\\') {
                if (n < 3) {
                    QK_TRACE(L"malformed prefix : %s", path);
                    return FALSE;
                }
                if (p[2] == L'.') {
                    if (n < 4 || p[3] != L'\\') {
                        QK_TRACE(L"malformed prefix : %s", path);
                        return FALSE;
                    }
                    m_prefix = L"\\\\.\\";
                } else if (p[2] == L'?') {
                    if (n < 4 || p[3] != L'\\') {
                        QK_TRACE(L"malformed prefix : %s", path);
                        return FALSE;
                    }
                    // "\\?\UNC\server\share": the letters are case-sensitive and the separator
                    // behind them is required, so "\\?\UNCserver" is no network path.
                    if (n > 8 && p.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
                        m_prefix = L"\\\\?\\UNC";
                        if (SplitUnc(8, &index))
                            return TRUE;
                    } else {
                        m_prefix = L"\\\\?\\";
                    }
                } else if (SplitUnc(2, &index)) {
                    return TRUE;
                }
            }
        }

        SplitParts parts;
        if (!SplitWithCrt(p, parts))
            return FALSE;
        m_drive = parts.drive;
        m_directory = parts.directory;
        m_fileName = parts.fileName;
        m_extension = parts.extension;
        m_driveAndDirectory = m_drive + m_directory;
        m_nameAndExtension = m_fileName + m_extension;
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkSplitPath::SplitUnc(size_t start, size_t* outIndex)
{
    const std::wstring& p = m_path;
    size_t first = p.find(L'\\', start);
    if (first == std::wstring::npos) {
        m_server = p.substr(start);
        m_uncRoot = p;
        return TRUE;
    }
    m_server = p.substr(start, first - start);
    size_t second = p.find(L'\\', first + 1);
    if (second == std::wstring::npos) {
        m_share = p.substr(first + 1);
        m_uncRoot = p;
        return TRUE;
    }
    m_share = p.substr(first + 1, second - first - 1);
    m_uncRoot = p.substr(0, second);
    if (outIndex != nullptr)
        *outIndex = second;
    return FALSE;
}

BOOL qkSplitPath::SplitModulePath(HMODULE module)
{
    qkExceptionInfo info;
    try {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (;;) {
            DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (n == 0) {
                QK_TRACE(L"GetModuleFileNameW failed : %lu", ::GetLastError());
                return FALSE;
            }
            if (n < buffer.size())
                break;
            // Filled completely: the name may have been cut.
            buffer.resize(buffer.size() * 2);
        }
        return Split(buffer.data());
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkSplitPath::SplitLongPath()
{
    if (!m_longDriveAndDirectory.empty())
        return TRUE;
    if (m_path.empty() || ::GetFileAttributesW(m_path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return TRUE;
    qkExceptionInfo info;
    try {
        std::vector<wchar_t> buffer(MAX_PATH);
        DWORD n = ::GetLongPathNameW(m_path.c_str(), buffer.data(), MAX_PATH);
        if (n >= MAX_PATH) {
            buffer.resize(n);
            n = ::GetLongPathNameW(m_path.c_str(), buffer.data(), n);
            if (n >= buffer.size())
                n = 0;
        }
        if (n == 0) {
            QK_TRACE(L"GetLongPathNameW failed for %s : %lu", m_path.c_str(), ::GetLastError());
            return TRUE;
        }
        SplitParts parts;
        if (!SplitWithCrt(buffer.data(), parts))
            return FALSE;
        m_longPath = buffer.data();
        m_longDirectory = parts.directory;
        m_longFileName = parts.fileName;
        m_longExtension = parts.extension;
        m_longDriveAndDirectory = parts.drive + parts.directory;
        m_longNameAndExtension = parts.fileName + parts.extension;
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}

const std::wstring& qkSplitPath::GetLongPath()
{
    if (m_longPath.empty())
        SplitLongPath();
    return m_longPath;
}

BOOL qkSplitPath::GetModuleFolder(std::wstring& folder)
{
    qkExceptionInfo info;
    try {
        qkSplitPath split;
        if (!split.SplitModulePath(nullptr)) {
            QK_TRACE(L"cannot read the program path");
            return FALSE;
        }
        folder = split.m_driveAndDirectory;
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkSplitPath::GetSystemDirectory(std::wstring& folder)
{
    qkExceptionInfo info;
    try {
        wchar_t buffer[MAX_PATH];
        UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) {
            QK_TRACE(L"GetSystemDirectoryW failed : %u %lu", n, ::GetLastError());
            return FALSE;
        }
        folder.assign(buffer, n);
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}
