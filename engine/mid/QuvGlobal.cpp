#include "engine/mid/QuvGlobal.h"

#include "engine/mid/QuvIniDocument.h"
#include "engine/mid/QuvMidCodes.h"

#include "common/errors/qkLog.h"
#include "common/system/qkFile.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkResourceHolders.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <new>

namespace {

constexpr wchar_t kMutexName[] = L"Global\\Talvern_QuvGlobal_File";
constexpr wchar_t kFolderGuid[] = L"{086A63F0-6B13-4F29-9695-134E7A01E963}";
constexpr wchar_t kFileName[] = L"LC.INI";

// SYSTEM and Administrators only: the identifier and its history are written by elevated
// processes alone, and nobody else may plant links or change them. Other users fall back to
// the registry copy.
constexpr wchar_t kFolderSddl[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kFileSddl[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)";
// Users may wait on the mutex and release it, but not change its access list.
constexpr wchar_t kMutexSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)";

// ERROR_REPARSE_POINT_ENCOUNTERED
constexpr HRESULT kReparsePoint = HRESULT_FROM_WIN32(4395);

HRESULT RefuseReparsePoint(const std::wstring& path)
{
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Ask the link itself as well: a path lookup may report the target's attributes.
        qkHandle link(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION information = {};
        if (link.IsValid() && ::GetFileInformationByHandle(link.Get(), &information))
            attributes = information.dwFileAttributes;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        QK_LOG_ERROR(L"Refusing %s: it is a reparse point", path.c_str());
        return kReparsePoint;
    }
    return S_OK;
}

// Loads the stamp file; a file that cannot be read gets its access list again and a second
// try; a missing file is an empty document.
HRESULT LoadStampFile(const std::wstring& path, QuvIniDocument& document)
{
    HRESULT hr = RefuseReparsePoint(path);
    if (FAILED(hr))
        return hr;
    hr = document.Load(path.c_str());
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        QuvGlobal::ApplyFolderAcl(path, false);
        hr = document.Load(path.c_str());
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return S_OK;
    if (hr == E_ACCESSDENIED) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return QUV_E_STAMP_IS_FOLDER;
    }
    return hr;
}

} // namespace

std::wstring QuvStampState::SectionName(int section) const
{
    switch (section) {
    case Mid:
        return L"MID";
    case Stamp:
        return L"Stamp_" + sourceName;
    case System:
        return L"System";
    default:
        return L"Product_" + productName;
    }
}

namespace QuvGlobal {

HRESULT Lock(QuvStampState& state)
{
    qkLocalPtr<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSddl, SDDL_REVISION_1, descriptor.Receive(),
                                                                nullptr))
        return QuvHResultFromWin32(::GetLastError());
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.Get(), FALSE};
    state.mutex.Attach(::CreateMutexW(&security, FALSE, kMutexName));
    if (!state.mutex.IsValid()) {
        DWORD error = ::GetLastError();
        // The mutex exists and this user may only wait on it and release it.
        if (error == ERROR_ACCESS_DENIED)
            state.mutex.Attach(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
        if (!state.mutex.IsValid()) {
            error = ::GetLastError();
            QK_LOG_ERROR(L"Failed to create the mutex %s, error %lu", kMutexName, error);
            return QuvHResultFromWin32(error);
        }
    }
    const DWORD wait = ::WaitForSingleObject(state.mutex.Get(), kMutexWaitMs);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        return S_OK;
    const DWORD error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ::GetLastError();
    QK_LOG_ERROR(L"Failed to take the mutex %s, wait result %lu, error %lu", kMutexName, wait, error);
    state.mutex.Close();
    return QuvHResultFromWin32(error);
}

void Unlock(QuvStampState& state)
{
    if (!state.mutex.IsValid())
        return;
    ::ReleaseMutex(state.mutex.Get());
    state.mutex.Close();
}

HRESULT ApplyFolderAcl(const std::wstring& path, bool isFolder)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(isFolder ? kFolderSddl : kFileSddl, SDDL_REVISION_1,
                                                                &raw, nullptr))
        return QuvHResultFromWin32(::GetLastError());
    qkLocalPtr<void> descriptor(raw);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted))
        return QuvHResultFromWin32(::GetLastError());
    const DWORD error = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        QK_LOG_WARNING(L"Failed to set the access list of %s, error %lu", path.c_str(), error);
        return QuvHResultFromWin32(error);
    }
    return S_OK;
}

HRESULT GetPath(const QuvStampState& state, std::wstring& path)
{
    try {
        std::wstring folder;
        if (!state.folderOverride.empty()) {
            folder = state.folderOverride;
        } else {
            wchar_t buffer[MAX_PATH + 56] = {};
            const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, buffer);
            if (hr == E_FAIL)
                return QUV_E_NO_APPDATA;
            if (FAILED(hr))
                return hr;
            folder = buffer;
        }
        folder += L"\\Vallor";
        if (!qkFile::CreateDirectoryPath(folder.c_str())) {
            QK_LOG_ERROR(L"Failed to create %s, error %lu", folder.c_str(), ::GetLastError());
            return QUV_E_VENDOR_FOLDER;
        }
        HRESULT hr = RefuseReparsePoint(folder);
        if (FAILED(hr))
            return hr;
        // A vendor folder that another account owns could hold what that account planted.
        hr = qkFolderTrust::Refuse(folder);
        if (FAILED(hr))
            return hr;

        folder += L"\\";
        folder += kFolderGuid;
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSddl, SDDL_REVISION_1, &raw, nullptr))
            return E_OUTOFMEMORY;
        qkLocalPtr<void> descriptor(raw);
        SECURITY_ATTRIBUTES security = {sizeof(security), raw, FALSE};
        // The folder may exist already: the result is not checked, the access list is set below.
        ::CreateDirectoryW(folder.c_str(), &security);
        hr = RefuseReparsePoint(folder);
        if (FAILED(hr))
            return hr;
        // One made beforehand by another account stays theirs whatever access list it gets.
        hr = qkFolderTrust::Refuse(folder);
        if (FAILED(hr))
            return hr;
        ApplyFolderAcl(folder, true);
        path = folder + L"\\" + kFileName;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Read(QuvStampState& state)
{
    std::wstring path;
    HRESULT hr = GetPath(state, path);
    if (FAILED(hr))
        return hr;
    QuvIniDocument document;
    hr = LoadStampFile(path, document);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read %s, hr=0x%08X", path.c_str(), hr);
        return hr;
    }
    QuvStampSection sections[QuvStampState::Count];
    for (int i = 0; i < QuvStampState::Count; ++i) {
        const std::wstring name = state.SectionName(i);
        std::wstring text;
        bool found = false;
        document.GetValue(name.c_str(), L"Value", text, found);
        if (found)
            sections[i].value = QuvTrimBlanks(text);
        document.GetValue(name.c_str(), L"XRef", text, found);
        if (found)
            sections[i].xref = QuvTrimBlanks(text);
    }
    for (int i = 0; i < QuvStampState::Count; ++i)
        state.sections[i] = std::move(sections[i]);
    return S_OK;
}

HRESULT Write(QuvStampState& state)
{
    bool anyDirty = false;
    for (const auto& section : state.sections)
        anyDirty = anyDirty || section.dirty;
    if (!anyDirty)
        return S_OK;

    std::wstring path;
    HRESULT hr = GetPath(state, path);
    if (FAILED(hr))
        return hr;
    QuvIniDocument document;
    hr = LoadStampFile(path, document);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read %s, hr=0x%08X", path.c_str(), hr);
        return hr;
    }
    for (int i = 0; i < QuvStampState::Count; ++i) {
        const QuvStampSection& section = state.sections[i];
        if (!section.dirty)
            continue;
        const std::wstring name = state.SectionName(i);
        hr = document.SetValue(name.c_str(), L"Value", section.value ? section.value->c_str() : L"");
        if (SUCCEEDED(hr))
            hr = document.SetValue(name.c_str(), L"XRef", section.xref ? section.xref->c_str() : L"");
        if (FAILED(hr))
            return hr;
    }
    hr = document.Save(path.c_str());
    if (SUCCEEDED(hr))
        ApplyFolderAcl(path, false);
    if (FAILED(hr)) {
        hr = document.Save(path.c_str());
        if (SUCCEEDED(hr))
            ApplyFolderAcl(path, false);
    }
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to write %s, hr=0x%08X", path.c_str(), hr);
        return hr;
    }
    for (auto& section : state.sections)
        section.dirty = false;
    return S_OK;
}

void SetMid(QuvStampState& state, const std::wstring& value, const std::wstring& xref)
{
    auto& section = state.sections[QuvStampState::Mid];
    section.value = value;
    section.xref = xref;
    section.dirty = true;
}

void SetStamp(QuvStampState& state, const std::wstring& value, const std::wstring& xref)
{
    auto& section = state.sections[QuvStampState::Stamp];
    section.value = value;
    section.xref = xref;
    section.dirty = true;
}

} // namespace QuvGlobal
