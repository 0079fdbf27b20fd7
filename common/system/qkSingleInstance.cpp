#include "common/system/qkSingleInstance.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkLockFileDACL.h"
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
    qkLockFileDACL dacl;
    SECURITY_ATTRIBUTES* security = dacl.Build() ? dacl.GetSecurityAttributes() : nullptr;
    if (m_lockFile.Open(path.c_str(), GENERIC_WRITE, 0, security, OPEN_ALWAYS,
                        FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN))
        return TRUE;
    DWORD error = m_lockFile.GetLastError();
    if (error == ERROR_ACCESS_DENIED && m_lockFile.Open(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN))
        return TRUE;
    if (error == ERROR_ACCESS_DENIED)
        error = m_lockFile.GetLastError();
    m_lastError = error;
    QK_TRACE(L"lock %s not taken : %lu (file %s)", path.c_str(), error,
             ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? L"exists" : L"missing");
    return FALSE;
}
