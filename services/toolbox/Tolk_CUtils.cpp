#include "services/toolbox/Tolk_CUtils.h"
#include "services/toolbox/Tolk_WellKnownSid.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <mutex>
#include <vector>

#include "common/base/qkException.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "common/system/qkModule.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"

namespace Tolk {

namespace {

struct ProtectedFolder {
    const KNOWNFOLDERID* id;
    int csidl; // 0: none
    const wchar_t* registryValue;
};

const ProtectedFolder kProtectedFolders[16] = {
    {&FOLDERID_System, CSIDL_SYSTEM, nullptr},
    {&FOLDERID_SystemX86, CSIDL_SYSTEMX86, nullptr},
    {&FOLDERID_ProgramFilesX64, CSIDL_PROGRAM_FILES, L"ProgramFilesDir"},
    {&FOLDERID_ProgramFilesX86, CSIDL_PROGRAM_FILESX86, L"ProgramFilesDir (x86)"},
    {&FOLDERID_ProgramFilesCommonX64, CSIDL_PROGRAM_FILES_COMMON, L"CommonFilesDir"},
    {&FOLDERID_ProgramFilesCommonX86, CSIDL_PROGRAM_FILES_COMMONX86, L"CommonFilesDir (x86)"},
    {&FOLDERID_Desktop, CSIDL_DESKTOPDIRECTORY, nullptr},
    {&FOLDERID_PublicDesktop, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr},
    {&FOLDERID_Windows, CSIDL_WINDOWS, nullptr},
    {&FOLDERID_RoamingAppData, CSIDL_APPDATA, nullptr},
    {&FOLDERID_ProgramData, CSIDL_COMMON_APPDATA, nullptr},
    {&FOLDERID_Documents, CSIDL_PERSONAL, nullptr},
    {&FOLDERID_PublicDocuments, CSIDL_COMMON_DOCUMENTS, nullptr},
    {&FOLDERID_CommonPrograms, CSIDL_COMMON_PROGRAMS, nullptr},
    {&FOLDERID_Programs, CSIDL_PROGRAMS, nullptr},
    {&FOLDERID_UserProfiles, 0, nullptr},
};

std::mutex g_tableLock;
bool g_tableDone = false;
std::vector<std::wstring> g_protected;

std::wstring WithOneTrailingBackslash(std::wstring path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path + L"\\";
}

// Resolves the table once; false (and an empty table) when the system folder is unknown.
bool BuildProtectedFolders()
{
    QK_LOG_INFO(L"Initializing Protected Folders");
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        QK_LOG_ERROR(L"failed to GetSystemDirectory");
        return false;
    }
    qkModule shell32;
    using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    GetKnownFolderPathFn getKnownFolderPath = nullptr;
    if (shell32.Load((std::wstring(system) + L"\\Shell32.dll").c_str()))
        getKnownFolderPath = shell32.GetProc<GetKnownFolderPathFn>("SHGetKnownFolderPath");

    std::vector<std::wstring> resolved;
    for (const ProtectedFolder& folder : kProtectedFolders) {
        std::wstring path;
        const wchar_t* source = nullptr;
        if (getKnownFolderPath) {
            PWSTR known = nullptr;
            if (SUCCEEDED(getKnownFolderPath(*folder.id, KF_FLAG_DONT_VERIFY | KF_FLAG_NO_ALIAS, nullptr, &known)) &&
                known) {
                path = known;
                source = L"KNF";
            }
            ::CoTaskMemFree(known);
        }
        if (path.empty() && folder.registryValue) {
            qkRegistry key;
            const REGSAM access = KEY_READ | (qkOSInfo::IsWow64() ? KEY_WOW64_64KEY : 0);
            if (key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", access) &&
                key.QueryStringValue(folder.registryValue, path) && !path.empty())
                source = L"REG";
            else
                path.clear();
        }
        if (path.empty() && folder.csidl != 0) {
            wchar_t buffer[MAX_PATH] = {};
            if (SUCCEEDED(::SHGetFolderPathW(nullptr, folder.csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) &&
                buffer[0]) {
                path = buffer;
                source = L"CSIDL";
            }
        }
        if (path.empty())
            continue;
        path = WithOneTrailingBackslash(path);
        QK_LOG_INFO(L"Protecting Folder (%ls): %ls", source, path.c_str());
        resolved.push_back(path);
    }
    g_protected = std::move(resolved);
    return true;
}

bool IsLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Without delete sharing: while such a handle is open the entry cannot be renamed, deleted or
// replaced, so its path keeps naming the entry checked through the handle.
constexpr DWORD kSharePinned = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens the entry itself: a junction or symbolic link is opened as the link, never followed.
void OpenEntry(qkHandle& entry, const std::wstring& path, DWORD access, DWORD share)
{
    entry.Attach(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

enum class EntryKind { kUnknown, kFile, kFolder, kLink, kLinkOpenedAsTarget };

// What an open entry is, by the handle's own attributes. A path that shows a link while the
// handle does not means the system opened the link's target (Wine does).
EntryKind KindOf(HANDLE entry, const std::wstring& path, DWORD* attributes = nullptr)
{
    FILE_ATTRIBUTE_TAG_INFO opened{};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &opened, sizeof(opened)))
        return EntryKind::kUnknown;
    if (attributes)
        *attributes = opened.FileAttributes;
    if (opened.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::kLink;
    if (IsLink(::GetFileAttributesW(path.c_str())))
        return EntryKind::kLinkOpenedAsTarget;
    return (opened.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kFolder : EntryKind::kFile;
}

// Opens a folder to walk it, pinned while the walk lasts. A folder someone holds open for
// deletion cannot be pinned; it is then only checked.
bool OpenFolderToWalk(qkHandle& folder, const std::wstring& path)
{
    OpenEntry(folder, path, FILE_READ_ATTRIBUTES, kSharePinned);
    if (!folder.IsValid() && ::GetLastError() == ERROR_SHARING_VIOLATION)
        OpenEntry(folder, path, FILE_READ_ATTRIBUTES, kShareAll);
    if (folder.IsValid() && KindOf(folder.Get(), path) == EntryKind::kFolder)
        return true;
    QK_LOG_WARNING(L"not walked, no plain folder: %ls", path.c_str());
    return false;
}

// Takes ownership and grants full access to the current user, Administrators and LocalSystem.
// The entry is pinned and checked first: the access list is written by path, and through a
// link it would be the target's.
void TakeAccess(const std::wstring& path, EntryKind expected)
{
    qkHandle pin;
    OpenEntry(pin, path, FILE_READ_ATTRIBUTES, kSharePinned);
    if (!pin.IsValid() || KindOf(pin.Get(), path) != expected) {
        QK_LOG_WARNING(L"access not taken, entry changed or not opened: %ls", path.c_str());
        return;
    }
    const qkAccessDescription all{{FILE_ALL_ACCESS, 0, 0}, {0, 0, 0}};
    const auto admins = WellKnownSid(WinBuiltinAdministratorsSid);
    const auto system = WellKnownSid(WinLocalSystemSid);
    const BYTE* accounts[] = {nullptr, admins.empty() ? nullptr : admins.data(),
                              system.empty() ? nullptr : system.data()};
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0 && accounts[i] == nullptr)
            continue;
        try {
            if (accounts[i])
                qkLib::FileEnsureAccess(path.c_str(), nullptr, SE_FILE_OBJECT, all, const_cast<BYTE*>(accounts[i]));
            else
                qkLib::FileEnsureAccess(path.c_str(), nullptr, SE_FILE_OBJECT, all);
        } catch (const qkException& e) {
            QK_LOG_ERROR(L"FileEnsureAccess %ls threw an exception: %d", path.c_str(), static_cast<int>(e.GetResult()));
        } catch (...) {
            QK_LOG_ERROR(L"FileEnsureAccess %ls threw an exception: (0x%08x)", path.c_str(),
                         static_cast<unsigned>(E_UNEXPECTED));
        }
    }
}

void NoteAccessDenied(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED)
        QK_LOG_INFO(L"DumpSecurityInfo is not supported");
}

bool MarkForDeletion(HANDLE entry)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// A link opened as a link goes as a link: marking the handle for deletion removes only the link.
// A system that opens the target instead (Wine does) leaves the link in place: deleting through
// that handle would delete the target.
bool RemoveOpenedLink(HANDLE entry, EntryKind kind, const std::wstring& path)
{
    if (kind != EntryKind::kLink) {
        QK_LOG_WARNING(L"link %ls opens as its target, left in place", path.c_str());
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (MarkForDeletion(entry))
        return true;
    QK_LOG_WARNING(L"failed to remove link: %ls (%lu)", path.c_str(), ::GetLastError());
    return false;
}

bool RemoveLink(const std::wstring& path)
{
    QK_LOG_INFO(L"Remove link: %ls", path.c_str());
    qkHandle link;
    OpenEntry(link, path, DELETE | FILE_READ_ATTRIBUTES, kShareAll);
    if (!link.IsValid()) {
        QK_LOG_WARNING(L"failed to remove link: %ls (%lu)", path.c_str(), ::GetLastError());
        return false;
    }
    return RemoveOpenedLink(link.Get(), KindOf(link.Get(), path), path);
}

struct DeleteOutcome {
    DWORD error; // ERROR_SUCCESS when the entry is gone
    bool settled; // nothing more to try: deleted, or left in place on purpose
};

// Deletes the entry through one handle opened on the entry itself, with full sharing so that
// only a real use of the entry keeps it from opening. An entry that turned into a link since it
// was listed is removed as a link; one that changed its kind otherwise is left in place.
DeleteOutcome DeleteEntry(const std::wstring& path, EntryKind listed)
{
    qkHandle entry;
    OpenEntry(entry, path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll);
    if (!entry.IsValid()) {
        // Gone since it was listed (or its path no longer leads to it): nothing left to delete
        // or to schedule by that path.
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {ERROR_SUCCESS, true};
        return {error, false};
    }
    DWORD attributes = 0;
    const EntryKind kind = KindOf(entry.Get(), path, &attributes);
    if (kind == EntryKind::kLink || kind == EntryKind::kLinkOpenedAsTarget) {
        QK_LOG_INFO(L"Remove link: %ls", path.c_str());
        if (RemoveOpenedLink(entry.Get(), kind, path))
            return {ERROR_SUCCESS, true};
        return {::GetLastError(), true};
    }
    if (kind != listed) {
        QK_LOG_WARNING(L"%ls changed since it was listed, left in place", path.c_str());
        return {ERROR_NOT_SUPPORTED, true};
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic{}; // zero times stay as they are
        basic.FileAttributes = (attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(entry.Get(), FileBasicInfo, &basic, sizeof(basic));
    }
    if (MarkForDeletion(entry.Get()))
        return {ERROR_SUCCESS, true};
    return {::GetLastError(), false};
}

// A deletion at the restart is carried out by path, when nothing holds the folders any more: with
// full rights it is scheduled only where no other account can redirect the path (a folder on the
// way swapped for a link by then would have the link's target deleted). Otherwise the entry is
// left in place and named.
bool MayScheduleAtRestart(const std::wstring& path)
{
    if (!qkFolderTrust::HasFullRights() || !qkFolderTrust::OthersCanRedirect(path))
        return true;
    QK_LOG_WARNING(L"left in place, not scheduled for deletion at restart: other accounts may redirect %ls",
                   path.c_str());
    return false;
}

} // namespace

bool CUtils::IsProtectedFolder(const wchar_t* path)
{
    try {
        {
            std::lock_guard<std::mutex> lock(g_tableLock);
            if (!g_tableDone)
                g_tableDone = BuildProtectedFolders();
            if (!g_tableDone)
                return true;
        }
        if (path == nullptr || wcslen(path) <= 3)
            return true;
        const std::wstring candidate = WithOneTrailingBackslash(path);
        std::lock_guard<std::mutex> lock(g_tableLock);
        for (const std::wstring& folder : g_protected) {
            if (_wcsicmp(folder.c_str(), candidate.c_str()) == 0) {
                QK_LOG_ERROR(L"!!!!Found known folder do not DELETE!!!: %ls", path);
                return true;
            }
        }
        return false;
    } catch (...) {
        QK_LOG_ERROR(L"Problem validating folder, not deleting");
        return true;
    }
}

HRESULT CUtils::WalkFolder(const wchar_t* folder, Handler handler, DWORD* flags)
{
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW((std::wstring(folder) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Only a missing folder counts as nothing to do; a folder that cannot be read is a failure.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        QK_LOG_ERROR(L"failed to list folder: %ls (%lu)", folder, error);
        return HRESULT_FROM_WIN32(error);
    }
    HRESULT result = S_OK;
    do {
        const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0))
            continue;
        if (directory && !IsLink(entry.dwFileAttributes)) {
            // The listing may be stale: the folder is opened as itself and walked only while it
            // is pinned as a plain folder, never when it has become a link.
            const std::wstring inner = std::wstring(folder) + L"\\" + entry.cFileName;
            qkHandle pin;
            if (OpenFolderToWalk(pin, inner)) {
                const HRESULT walked = WalkFolder(inner.c_str(), handler, flags);
                if (walked == HRESULT_FROM_WIN32(ERROR_CANCELLED)) {
                    result = walked;
                    break;
                }
            }
        }
        if (!handler(folder, entry, flags)) {
            result = HRESULT_FROM_WIN32(ERROR_CANCELLED);
            break;
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return result;
}

bool CUtils::DeleteHandler(const wchar_t* folder, const WIN32_FIND_DATAW& entry, DWORD* flags)
{
    if (entry.cFileName[0] == L'\0')
        return true;
    std::wstring path;
    try {
        path = std::wstring(folder ? folder : L"") + L"\\" + entry.cFileName;
    } catch (...) {
        return false;
    }
    const DWORD bits = flags ? *flags : kMayScheduleForRestart;
    const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (IsLink(entry.dwFileAttributes)) {
        RemoveLink(path);
        return true;
    }
    if (directory) {
        const DeleteOutcome outcome = DeleteEntry(path, EntryKind::kFolder);
        if (outcome.settled)
            return true;
        NoteAccessDenied(outcome.error);
        if (!MayScheduleAtRestart(path))
            return true;
        QK_LOG_INFO(L"delete on reboot: %ls", path.c_str());
        TakeAccess(path, EntryKind::kFolder);
        if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && (bits & kLogFolderScheduling))
            QK_LOG_ERROR(L"MoveFileEx failed to delete folder: %ls (%lu)", path.c_str(), ::GetLastError());
        return true;
    }
    RemoveFile(path.c_str(), flags);
    return true;
}

HRESULT CUtils::RemoveFile(const wchar_t* path, DWORD* flags)
{
    if (path == nullptr)
        return E_INVALIDARG;
    const std::wstring file(path);
    const DWORD bits = flags ? *flags : kMayScheduleForRestart;
    QK_LOG_INFO(L"DeleteFile: %ls", path);
    const DeleteOutcome outcome = DeleteEntry(file, EntryKind::kFile);
    if (outcome.settled)
        return outcome.error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(outcome.error);
    // In use (or not to be opened for deletion): scheduled by path for the restart.
    const DWORD error = outcome.error;
    NoteAccessDenied(error);
    if (!(bits & kMayScheduleForRestart)) {
        QK_LOG_WARNING(L"failed to delete file: %ls (%lu)", path, error);
        return HRESULT_FROM_WIN32(error);
    }
    if (!MayScheduleAtRestart(file))
        return HRESULT_FROM_WIN32(error);
    QK_LOG_INFO(L"delete on reboot: %ls", path);
    TakeAccess(file, EntryKind::kFile);
    if (!::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        QK_LOG_WARNING(L"MoveFileEx failed to delete file: %ls (%lu)\r\n", path, ::GetLastError());
        return HRESULT_FROM_WIN32(error);
    }
    if (flags)
        *flags |= kScheduledForRestart;
    return HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED);
}

HRESULT CUtils::DeleteFolder(const wchar_t* path)
{
    if (path == nullptr || IsProtectedFolder(path)) {
        QK_LOG_ERROR(L"invalid path: %ls", path ? path : L"(null)");
        return E_INVALIDARG;
    }
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return S_OK;
    // A top folder that is a link is only unlinked.
    if (IsLink(attributes)) {
        if (RemoveLink(path))
            return S_OK;
        const DWORD error = ::GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }

    // Files that cannot be deleted now are scheduled for the next restart.
    DWORD flags = kMayScheduleForRestart;
    HRESULT walked = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    {
        qkHandle pin;
        if (OpenFolderToWalk(pin, path))
            walked = WalkFolder(path, &CUtils::DeleteHandler, &flags);
        else if (::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            walked = E_FAIL;
    }
    if (walked == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return S_OK;
    const DeleteOutcome outcome = DeleteEntry(path, EntryKind::kFolder);
    if (outcome.error == ERROR_SUCCESS)
        return FAILED(walked) ? E_FAIL : S_OK;
    const DWORD error = outcome.error;
    if (FAILED(walked)) {
        QK_LOG_ERROR(L"failed to delete folder: %ls, walk 0x%08X", path, static_cast<unsigned>(walked));
        return E_FAIL;
    }
    if (flags & kScheduledForRestart) {
        // The folder goes at the restart too, after what it holds.
        const bool scheduled =
            MayScheduleAtRestart(path) && ::MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
        QK_LOG_ERROR(L"folder %ls stays until restart, its content %ls scheduled for deletion", path,
                     scheduled ? L"and the folder are" : L"is");
        return HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED);
    }
    QK_LOG_ERROR(L"failed to delete folder: %ls (%lu)", path, error);
    return HRESULT_FROM_WIN32(error);
}

} // namespace Tolk
