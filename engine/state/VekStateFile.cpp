#include "engine/state/VekStateFile.h"

#include "common/base/qkCrc32.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkFile.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "common/system/qkNoFollow.h"
#include "engine/manifest/ManifestAccess.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <exception>

namespace vek {

namespace {

// Read, write, append, attributes, extended attributes, delete, read control and synchronise.
constexpr DWORD kStateFileAccess = 0x13019F;
// ERROR_REPARSE_POINT_ENCOUNTERED: a link where the state file or its folder should be.
constexpr DWORD kLinkRefused = 4395;

// Opens the state file itself (a link is opened as the link) with the access given, sharing all;
// the Win32 error when it cannot be opened.
DWORD OpenEntry(const std::wstring& path, DWORD access, qkHandle& entry)
{
    entry.Attach(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return entry.IsValid() ? ERROR_SUCCESS : ::GetLastError();
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Clears the read-only attribute through the handle (opened with FILE_WRITE_ATTRIBUTES).
void ClearReadOnly(HANDLE entry)
{
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return;
    }
    basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0; // zero times stay as they are
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic));
}

// Deletes the entry open on the handle (opened with DELETE) when it closes, through the handle
// only. An entry of our own loses its read-only attribute first; a refused one keeps it: the
// attribute belongs to the file, which may have other names.
bool DeleteThrough(HANDLE entry, const std::wstring& path, bool own)
{
    if (own) {
        ClearReadOnly(entry);
    }
    if (qkNoFollow::DeleteOnClose(entry)) {
        return true;
    }
    QK_LOG_ERROR(L"DeleteFile() failed to delete %s, error=%d", path.c_str(), static_cast<int>(::GetLastError()));
    return false;
}

} // namespace

VekStateFile::VekStateFile(std::wstring dataFolder, IEngineErrorSink* reporter)
    : m_dataFolder(std::move(dataFolder)), m_reporter(reporter)
{}

std::wstring VekStateFile::DefaultDataFolder()
{
    std::wstring folder;
    GetCommonAppDataPath(folder, L"Talvern\\Vek");
    return folder;
}

std::wstring VekStateFile::BuildPath(const std::wstring& dataFolder, const std::wstring& manifestId,
                                     const std::wstring& sid)
{
    std::wstring path = L"\\\\?\\" + dataFolder + L"\\" + manifestId;
    if (!sid.empty()) {
        path += L"-" + sid;
    }
    return path + L".dat";
}

std::wstring VekStateFile::Path(const nlohmann::json& document) const
{
    std::wstring sid;
    if (!GetUserSIDAsString(sid)) {
        sid.clear();
    }
    return BuildPath(m_dataFolder, ManifestAccess::ManifestId(document), sid);
}

DWORD VekStateFile::Checksum(const nlohmann::json& vekMember)
{
    const std::wstring text = WriteStateJsonText(vekMember);
    return qkLib::Crc32(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

void VekStateFile::Save(nlohmann::json& document) const
{
    // The save runs inside a job-event callback: nothing may escape it.
    try {
        SaveUnguarded(document);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"State file not saved: %hs", e.what());
    } catch (...) {
        QK_LOG_ERROR(L"State file not saved: unknown exception");
    }
}

void VekStateFile::SaveUnguarded(nlohmann::json& document) const
{
    const auto vekMember = document.find("vek");
    document["crc"] = static_cast<uint32_t>(Checksum(vekMember != document.end() ? *vekMember : nlohmann::json()));
    const std::string bytes = ToUtf8(WriteStateJsonText(document));
    if (!Continue(Step::Checksummed)) {
        return;
    }

    const std::wstring path = Path(document);
    const std::wstring temporary = path + L".tmp";
    {
        // A data folder that another user could have redirected gets no state; whoever owns it,
        // each entry is checked. A temporary file left there (or planted as a link) goes first;
        // the new one must be new.
        const HRESULT refused = qkFolderTrust::RefuseLink(m_dataFolder);
        if (FAILED(refused)) {
            if (m_reporter) {
                m_reporter->logError(VEK_E_STATE_FILE, true, std::to_wstring(HRESULT_CODE(refused)));
            }
            return;
        }
        ::DeleteFileW(temporary.c_str());
        qkFile ofs;
        if (!ofs.Open(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL)) {
            QK_LOG_ERROR(L"ofs.Open() failed to open %s, error=%d", temporary.c_str(), ofs.GetLastError());
            if (m_reporter) {
                m_reporter->logError(VEK_E_STATE_FILE, true, std::to_wstring(ofs.GetLastError()));
            }
            return;
        }
        if (!Continue(Step::TempCreated)) {
            return;
        }
        const qkAccessDescription access{{kStateFileAccess, 0, 0}, {0, 0, 0}};
        qkLib::FileEnsureAccess(temporary.c_str(), ofs.GetHandle(), SE_FILE_OBJECT, access);

        bool complete = true;
        if (!ofs.Write(bytes.data(), static_cast<DWORD>(bytes.size()))) {
            QK_LOG_ERROR(L"ofs.Write() failed, error=%d", ofs.GetLastError());
            complete = false;
        }
        if (!Continue(Step::Written)) {
            return;
        }
        if (complete && !::FlushFileBuffers(ofs.GetHandle())) {
            QK_LOG_ERROR(L"ofs.Flush() failed, error=%d", static_cast<int>(::GetLastError()));
            complete = false;
        }
        if (!Continue(Step::Flushed)) {
            return;
        }
        ofs.Handle().Close();
        if (!complete) {
            // A short text must never replace a whole one.
            ::DeleteFileW(temporary.c_str());
            return;
        }
    }
    if (!Continue(Step::Closed)) {
        return;
    }

    // The old state file is checked through a handle on itself: a read-only one is replaced like
    // any other; a link, another name of another file or another account's file is removed as
    // itself, never written through, and where its handle holds what a link leads to (Wine) the
    // state is not saved. One that cannot be opened (held by another process) meets the move.
    {
        qkHandle old;
        const DWORD error = OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL, old);
        if (error == ERROR_SUCCESS) {
            if (FAILED(qkFolderTrust::RefuseOpened(old.Get(), path))) {
                if (!qkNoFollow::HoldsEntryItself(old.Get(), path) || !DeleteThrough(old.Get(), path, false)) {
                    ::DeleteFileW(temporary.c_str());
                    if (m_reporter) {
                        m_reporter->logError(VEK_E_STATE_FILE, true, std::to_wstring(kLinkRefused));
                    }
                    return;
                }
                QK_LOG_INFO(L"Refused state file %s removed", path.c_str());
            } else {
                ClearReadOnly(old.Get());
            }
        }
    }
    if (!Continue(Step::BeforeMove)) {
        return;
    }
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // The old file stays as it was (held open by another process, for one).
        const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", path.c_str(), static_cast<unsigned>(hr));
        ::DeleteFileW(temporary.c_str());
        if (m_reporter) {
            m_reporter->logError(hr, true, L"vek::VekEngineBase::saveState(373)");
        }
    }
}

HRESULT VekStateFile::Load(const nlohmann::json& manifest, nlohmann::json& state) const
{
    state = nlohmann::json();
    const std::wstring path = Path(manifest);
    // A state file in a redirected folder, a link, another name of another file or a file of
    // another account is neither read nor deleted: the run goes on as if there were none.
    if (FAILED(qkFolderTrust::RefuseLink(m_dataFolder))) {
        QK_LOG_ERROR(L"Saved state %s not read: its folder is a link", path.c_str());
        return VEK_E_FILE_NOT_FOUND;
    }
    qkHandle file;
    DWORD error = OpenEntry(path, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES | READ_CONTROL, file);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        // Read it still; a damaged one then stays.
        error = OpenEntry(path, GENERIC_READ | READ_CONTROL, file);
    }
    if (IsMissing(error)) {
        return VEK_E_FILE_NOT_FOUND;
    }
    if (error != ERROR_SUCCESS) {
        return VEK_E_STATE_FILE_MISSING;
    }
    if (FAILED(qkFolderTrust::RefuseOpened(file.Get(), path))) {
        QK_LOG_ERROR(L"Saved state %s refused, treated as absent", path.c_str());
        return VEK_E_FILE_NOT_FOUND;
    }
    const HRESULT hr = LoadOpenJsonFile(file.Get(), state);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Saved state %s refused, hr=0x%08X", path.c_str(), static_cast<unsigned>(hr));
        DeleteThrough(file.Get(), path, true);
        state = nlohmann::json();
    }
    return hr;
}

HRESULT VekStateFile::Remove(const nlohmann::json& document) const
{
    const std::wstring path = Path(document);
    if (FAILED(qkFolderTrust::RefuseLink(m_dataFolder))) {
        QK_LOG_ERROR(L"%s lies under a link, not deleting it", path.c_str());
        return HRESULT_FROM_WIN32(kLinkRefused);
    }
    qkHandle file;
    const DWORD error = OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL, file);
    if (IsMissing(error)) {
        return S_OK;
    }
    if (error != ERROR_SUCCESS) {
        QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", path.c_str(),
                     static_cast<unsigned>(HRESULT_FROM_WIN32(error)));
        return HRESULT_FROM_WIN32(error);
    }
    const HRESULT refused = qkFolderTrust::RefuseOpened(file.Get(), path);
    if (FAILED(refused)) {
        return refused;
    }
    return DeleteThrough(file.Get(), path, true) ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
}

} // namespace vek
