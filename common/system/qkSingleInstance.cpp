#include "common/system/qkSingleInstance.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkLockFileDACL.h"
#include "common/system/qkNoFollow.h"
#include "common/system/qkPathExpansion.h"

#include <cwctype>

qkSingleInstance::~qkSingleInstance()
{
    Release();
}

BOOL qkSingleInstance::GetLockFolder(std::wstring& folder)
{
    return qkPathExpansion::ExpandPath(L"%QKDATA%\\", folder);
}

BOOL qkSingleInstance::Release()
{
    m_lockFile.Handle().Close();
    return TRUE;
}

BOOL qkSingleInstance::PrepareLockFolder(std::wstring& folder)
{
    if (!GetLockFolder(folder)) {
        m_lastError = ERROR_INTERNAL_ERROR;
        return FALSE;
    }
    if (!qkStringConvert::AppendPath(folder, L"_lck")) {
        m_lastError = ERROR_OUTOFMEMORY;
        return FALSE;
    }
    if (!qkFile::CreateDirectoryPath(folder.c_str())) {
        QK_TRACE(L"cannot create %s : %lu", folder.c_str(), ::GetLastError());
        m_lastError = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    return TRUE;
}

BOOL qkSingleInstance::BuildLockFilePath(const wchar_t* name, DWORD mode, std::wstring& path)
{
    qkExceptionInfo info;
    try {
        std::wstring lockName(name != nullptr ? name : L"");
        size_t begin = 0;
        size_t end = lockName.size();
        while (begin < end && std::iswspace(lockName[begin]))
            ++begin;
        while (end > begin && std::iswspace(lockName[end - 1]))
            --end;
        lockName = lockName.substr(begin, end - begin);
        for (wchar_t& ch : lockName) {
            if (ch == L'\\')
                ch = L'_';
        }
        if (lockName.empty() || lockName.find_first_of(L"<>:\"/|?*") != std::wstring::npos) {
            QK_TRACE(L"invalid lock name : %s", name ? name : L"(null)");
            m_lastError = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        DWORD session = 0;
        if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
            m_lastError = ::GetLastError();
            return FALSE;
        }
        std::wstring sessionPart;
        if (mode == kGlobal)
            sessionPart = L"G";
        else if (!qkStringConvert::Format(sessionPart, L"%d", static_cast<int>(session))) {
            m_lastError = ERROR_OUTOFMEMORY;
            return FALSE;
        }
        std::wstring folder;
        if (!PrepareLockFolder(folder))
            return FALSE;
        if (!qkStringConvert::AppendPath(folder, L"_") ||
            !qkStringConvert::AppendFormat(folder, L"%s%s", lockName.c_str(), sessionPart.c_str())) {
            m_lastError = ERROR_OUTOFMEMORY;
            return FALSE;
        }
        path = folder;
        return TRUE;
    }
    QK_CATCH(info)
    m_lastError = ERROR_OUTOFMEMORY;
    return FALSE;
}

BOOL qkSingleInstance::Create(const wchar_t* name, DWORD mode)
{
    if (IsHeld()) {
        QK_TRACE(L"the lock is held already");
        return FALSE;
    }
    std::wstring path;
    if (!BuildLockFilePath(name, mode, path))
        return FALSE;
    qkExceptionInfo info;
    try {
        const size_t slash = path.rfind(L'\\');
        const std::wstring lockFolder = path.substr(0, slash);
        const std::wstring fileName = path.substr(slash + 1);
        DWORD error = TakeIn(lockFolder, fileName, true);
        if (error == kRefused) {
            // A lock folder or file that is a link and cannot be removed here: every process refuses
            // it alike, so all of them lock in the folder above instead.
            std::wstring folder;
            if (GetLockFolder(folder)) {
                while (!folder.empty() && folder.back() == L'\\')
                    folder.pop_back();
                QK_TRACE(L"lock folder %s refused, locking in %s", lockFolder.c_str(), folder.c_str());
                error = TakeIn(folder, fileName, false);
            }
        }
        if (error == ERROR_SUCCESS)
            return TRUE;
        m_lastError = error;
        QK_TRACE(L"lock %s not taken : %lu", path.c_str(), error);
        return FALSE;
    }
    QK_CATCH(info)
    m_lastError = ERROR_OUTOFMEMORY;
    return FALSE;
}

DWORD qkSingleInstance::OpenLockFolder(const std::wstring& folder, bool mayRemake, qkHandle& handle)
{
    constexpr DWORD kAccess = FILE_TRAVERSE | FILE_ADD_FILE | FILE_READ_ATTRIBUTES;
    DWORD error = qkNoFollow::OpenFolder(folder, false, kAccess, handle);
    if (error != ERROR_SUCCESS)
        return error;
    // Whoever owns it: each entry is opened through this handle and checked.
    if (!qkNoFollow::IsLink(handle.Get(), folder))
        return ERROR_SUCCESS;
    // A link: removed as itself where its handle holds the link (never what it leads to), then
    // made anew.
    const bool itself = qkNoFollow::HoldsEntryItself(handle.Get(), folder);
    handle.Close();
    if (!mayRemake || !itself)
        return kRefused;
    qkHandle link(::CreateFileW(folder.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
    if (!link.IsValid() || !qkNoFollow::IsLink(link.Get(), folder) ||
        !qkNoFollow::HoldsEntryItself(link.Get(), folder) || !qkNoFollow::DeleteOnClose(link.Get()))
        return kRefused;
    link.Close();
    QK_TRACE(L"lock folder %s was a link, made anew", folder.c_str());
    error = qkNoFollow::OpenFolder(folder, true, kAccess, handle);
    if (error != ERROR_SUCCESS)
        return error;
    return qkNoFollow::IsLink(handle.Get(), folder) ? kRefused : ERROR_SUCCESS;
}

DWORD qkSingleInstance::TakeIn(const std::wstring& folder, const std::wstring& fileName, bool mayRemake)
{
    qkHandle folderHandle;
    DWORD error = OpenLockFolder(folder, mayRemake, folderHandle);
    if (error != ERROR_SUCCESS)
        return error;
    const std::wstring path = folder + L"\\" + fileName;
    qkLockFileDACL dacl;
    SECURITY_ATTRIBUTES* security = dacl.Build() ? dacl.GetSecurityAttributes() : nullptr;
    PSECURITY_DESCRIPTOR descriptor = security != nullptr ? security->lpSecurityDescriptor : nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // First a handle that only reads attributes (it shares with a holder's unshared one) to
        // check the entry; the lock itself is a second handle on the same file.
        qkHandle checked;
        error = qkNoFollow::OpenIn(folderHandle.Get(), fileName, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, qkNoFollow::kOpenAlways,
                                   checked, 0, descriptor);
        if (error != ERROR_SUCCESS)
            return error;
        if (FAILED(qkFolderTrust::OpenedRefusal(checked.Get(), path))) {
            // A link, a second name of another file, or a file of another account: removed as
            // itself and made anew, or refused where its handle holds what a link leads to.
            if (attempt > 0 || !qkNoFollow::HoldsEntryItself(checked.Get(), path))
                return kRefused;
            // One that another process holds is that process's lock (another account's run):
            // the lock is taken, and the wait goes on.
            qkHandle planted;
            error = qkNoFollow::OpenIn(folderHandle.Get(), fileName, DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       qkNoFollow::kOpenExisting, planted);
            if (error == ERROR_SHARING_VIOLATION)
                return error;
            if (error != ERROR_SUCCESS || !qkNoFollow::SameEntry(planted.Get(), checked.Get()) ||
                !qkNoFollow::DeleteOnClose(planted.Get()))
                return kRefused;
            QK_TRACE(L"lock file %s refused, made anew", path.c_str());
            continue;
        }
        // Deleted when the lock is released, through this handle only.
        error = qkNoFollow::OpenIn(folderHandle.Get(), fileName, GENERIC_WRITE | DELETE, 0, qkNoFollow::kOpenExisting,
                                   m_lockFile.Handle(), qkNoFollow::kDeleteOnClose);
        if (error == ERROR_ACCESS_DENIED)
            error = qkNoFollow::OpenIn(folderHandle.Get(), fileName, GENERIC_READ, 0, qkNoFollow::kOpenExisting,
                                       m_lockFile.Handle());
        if (error != ERROR_SUCCESS)
            return error;
        if (!qkNoFollow::SameEntry(m_lockFile.GetHandle(), checked.Get())) {
            // Replaced between the two opens: the replacement is not ours to delete.
            m_lockFile.Handle().Close();
            return ERROR_SHARING_VIOLATION;
        }
        return ERROR_SUCCESS;
    }
    return kRefused;
}
