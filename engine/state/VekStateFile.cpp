#include "engine/state/VekStateFile.h"

#include "common/base/qkCrc32.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkFile.h"
#include "common/system/qkFolderTrust.h"
#include "engine/manifest/ManifestAccess.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <exception>

namespace vek {

namespace {

// Read, write, append, attributes, extended attributes, delete, read control and synchronise.
constexpr DWORD kStateFileAccess = 0x13019F;

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
        // A data folder that another user could have redirected or owns gets no state. A
        // temporary file left there (or planted as a link) goes first; the new one must be new.
        const HRESULT refused = qkFolderTrust::Refuse(m_dataFolder);
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

    // A read-only state file is replaced like any other.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
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
    const std::wstring path = Path(manifest);
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return VEK_E_FILE_NOT_FOUND;
    }
    // A state file in a redirected folder, a link, or a file of another account is neither read
    // nor deleted.
    HRESULT hr = qkFolderTrust::Refuse(m_dataFolder);
    if (SUCCEEDED(hr)) {
        hr = qkFolderTrust::Refuse(path);
    }
    if (FAILED(hr)) {
        state = nlohmann::json();
        return hr;
    }
    hr = LoadJsonFile(path.c_str(), state);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Saved state %s refused, hr=0x%08X", path.c_str(), static_cast<unsigned>(hr));
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::DeleteFileW(path.c_str())) {
            QK_LOG_ERROR(L"DeleteFile() failed to delete %s, error=%d", path.c_str(),
                         static_cast<int>(::GetLastError()));
        }
        state = nlohmann::json();
    }
    return hr;
}

} // namespace vek
