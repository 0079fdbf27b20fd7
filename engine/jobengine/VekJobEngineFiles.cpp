// Where the launcher's copy and the downloaded files live, whether a job's files are present,
// the adoption of files that lie beside the running launcher, the path-length check and the
// removal of leftover temporary download files.
#include "engine/jobengine/VekJobEngine.h"

#include "common/diag/qkFindHandle.h"
#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"
#include "services/toolbox/Tolk_CUtils.h"

#include <filesystem>
#include <system_error>

namespace vek {

namespace {

namespace fs = std::filesystem;

// A destination path must be shorter than this.
constexpr size_t kPathLimit = MAX_PATH;

// Joined by the path rules: an absolute second part replaces the first.
std::wstring JoinPath(const std::wstring& first, const std::wstring& second)
{
    return (fs::path(first) / fs::path(second)).wstring();
}

bool PathExists(const std::wstring& path)
{
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "custom_location" when given, else the run location joined with the manifest id and the
// package's postfix.
std::wstring InstallFolderOf(const nlohmann::json& root)
{
    if (ManifestJson::Path(&root, {"vek", "bootstrap"}) == nullptr) {
        return std::wstring();
    }
    const std::wstring custom = ManifestAccess::CustomLocation(root);
    if (!custom.empty()) {
        return custom;
    }
    return JoinPath(ManifestAccess::RunLocation(root),
                    ManifestAccess::ManifestId(root) + ManifestAccess::InstallFolderPostfix(root));
}

std::wstring DownloadFolderOf(const nlohmann::json& root)
{
    const std::wstring install = InstallFolderOf(root);
    const std::wstring folder = ManifestAccess::DownloadFolder(root);
    return folder.empty() ? install : JoinPath(install, folder);
}

} // namespace

std::wstring VekJobEngine::buildInstallFolder() const
{
    return m_manifest->Read([](const json& root) { return InstallFolderOf(root); });
}

std::wstring VekJobEngine::buildDownloadFolder() const
{
    return m_manifest->Read([](const json& root) { return DownloadFolderOf(root); });
}

std::wstring VekJobEngine::getFileName(const std::wstring& path)
{
    // The one rule that names a file's failure count, so that the clean-up finds every count.
    return FailureCountValueName(path);
}

void VekJobEngine::updateLocalFileInformation()
{
    const std::wstring base = fs::path(m_currentPath).parent_path().wstring();
    const json document = m_manifest->Snapshot();
    const json* jobs = ManifestAccess::Jobs(document);
    if (!jobs) {
        return;
    }
    for (size_t jobIndex = 0; jobIndex < jobs->size(); ++jobIndex) {
        const json& job = (*jobs)[jobIndex];
        const json* files = ManifestAccess::Files(job);
        if (!files) {
            continue;
        }
        const std::wstring jobFolder =
            JoinPath(base, ManifestJson::WideText(ManifestJson::Member(&job, "download_folder"), "download_folder"));
        for (size_t fileIndex = 0; fileIndex < files->size(); ++fileIndex) {
            const json& entry = (*files)[fileIndex];
            const std::wstring path = JoinPath(jobFolder, ManifestAccess::DestinationFile(entry));
            if (!PathExists(path)) {
                continue;
            }
            int32_t validationError = 0;
            const HRESULT hr = ValidateFile(path.c_str(), ManifestJson::Member(&entry, "validation"), &validationError);
            if (FAILED(hr)) {
                QK_LOG_ERROR(L"ValidateFile() failed for %s with error=%d", path.c_str(), static_cast<int>(hr));
                continue;
            }
            m_manifest->ModifyJob(jobIndex, [&](json* node) {
                if (!node) {
                    return;
                }
                auto it = node->find("file_array");
                if (it != node->end() && it->is_array() && fileIndex < it->size()) {
                    (*it)[fileIndex]["local_file"] = ToUtf8(path);
                }
            });
        }
    }
}

bool VekJobEngine::isJobComplete(const json& job) const
{
    try {
        const json* files = ManifestAccess::Files(job);
        if (!files) {
            return true;
        }
        const std::wstring downloadFolder = buildDownloadFolder();
        for (const json& entry : *files) {
            const std::wstring destination = ManifestAccess::DestinationFile(entry);
            std::wstring file = destination;
            if (!PathExists(file)) {
                file = JoinPath(downloadFolder, destination);
            }
            if (!PathExists(file)) {
                std::wstring key = ManifestAccess::SourceFile(entry);
                if (key.empty()) {
                    key = destination;
                }
                const int32_t priority = GetFilePriority(key.c_str(), job);
                QK_LOG_INFO(L"%s does not exists,file priority=%d", file.c_str(), priority);
                if (priority >= 0) {
                    return false;
                }
            }
        }
        return true;
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Caught bfs::basic_filesystem_error exception %S", e.what());
        return false;
    }
}

bool VekJobEngine::isFirstJobComplete() const
{
    json job;
    return m_manifest->GetJob(0, job) && isJobComplete(job);
}

bool VekJobEngine::areAllJobsComplete() const
{
    const json document = m_manifest->Snapshot();
    const json* jobs = ManifestAccess::Jobs(document);
    if (!jobs) {
        return true;
    }
    for (const json& job : *jobs) {
        if (!isJobComplete(job)) {
            return false;
        }
    }
    return true;
}

bool VekJobEngine::checkPathLengths(const std::wstring& folder) const
{
    const json document = m_manifest->Snapshot();
    const json* jobs = ManifestAccess::Jobs(document);
    if (!jobs) {
        return true;
    }
    for (const json& job : *jobs) {
        const json* files = ManifestAccess::Files(job);
        if (!files) {
            continue;
        }
        for (const json& entry : *files) {
            const std::wstring path = JoinPath(folder, ManifestAccess::DestinationFile(entry));
            if (path.size() >= kPathLimit) {
                qkLib::LogText(qkLib::LogLevel::Error, L"Path cannot be used: %s", path.c_str());
                return false;
            }
        }
    }
    return true;
}

void VekJobEngine::deleteResidueTempFiles()
{
    const std::wstring folder = buildDownloadFolder();
    const std::wstring pattern = folder + L"\\*.tmp";
    WIN32_FIND_DATAW data{};
    const qkFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find.IsValid()) {
        QK_LOG_INFO(L"No temp files found");
        return;
    }
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        // Through a handle on the entry itself: a link goes as a link, never its target. A file in
        // use stays; it is no leftover of a finished download.
        const std::wstring path = folder + L"\\" + data.cFileName;
        DWORD flags = 0;
        if (FAILED(Tolk::CUtils::RemoveFile(path.c_str(), &flags))) {
            QK_LOG_ERROR(L"Failed to delete tempfile %s", data.cFileName);
        }
    } while (::FindNextFileW(find.Get(), &data));
}

} // namespace vek
