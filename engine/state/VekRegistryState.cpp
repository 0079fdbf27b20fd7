#include "engine/state/VekRegistryState.h"

#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "common/system/qkRegistry.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekJobKeys.h"

#include <new>

namespace vek {

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

} // namespace

VekRegistryState::VekRegistryState(nlohmann::json& document, IEngineErrorSink* reporter, std::wstring commandLine,
                                   std::wstring baseKey)
    : m_document(document), m_reporter(reporter), m_commandLine(std::move(commandLine)), m_baseKey(std::move(baseKey))
{}

HKEY VekRegistryState::Root() const
{
    return GetRegistryContext(m_document);
}

std::wstring VekRegistryState::ManifestKeyPath() const
{
    return m_baseKey + L"\\" + ManifestAccess::ManifestId(m_document);
}

std::wstring VekRegistryState::JobKeyPath(const nlohmann::json& job) const
{
    return ManifestKeyPath() + L"\\" + ManifestAccess::JobId(job);
}

bool VekRegistryState::HasSwitch(const wchar_t* name) const
{
    qkCommandLine line;
    return line.Parse(m_commandLine.c_str()) && line.HasSwitch(name);
}

bool VekRegistryState::setStartKey(const nlohmann::json& job)
{
    qkRegistry jobKey;
    if (!jobKey.Create(Root(), JobKeyPath(job).c_str(), kReadWrite) || !jobKey.SetDWORDValue(L"Started", 1)) {
        QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %s", L"Started");
        return false;
    }
    return true;
}

bool VekRegistryState::startKeySet(const nlohmann::json& job)
{
    qkRegistry jobKey;
    DWORD value = 0;
    return jobKey.Open(Root(), JobKeyPath(job).c_str(), KEY_READ) && jobKey.GetDWORDValue(L"Started", value);
}

bool VekRegistryState::setFinishKey(const nlohmann::json& job)
{
    if (!startKeySet(job)) {
        return false;
    }
    qkRegistry jobKey;
    if (!jobKey.Create(Root(), JobKeyPath(job).c_str(), kReadWrite) || !jobKey.SetDWORDValue(L"Finished", 1)) {
        QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %s", L"Finished");
        return false;
    }
    return true;
}

bool VekRegistryState::isJobFinished(const nlohmann::json& job)
{
    qkRegistry jobKey;
    DWORD value = 0;
    return jobKey.Open(Root(), JobKeyPath(job).c_str(), KEY_READ) && jobKey.GetDWORDValue(L"Finished", value) &&
           value == 1;
}

bool VekRegistryState::setDownloadFinishedStatus(const nlohmann::json& job)
{
    const std::wstring path = JobKeyPath(job);
    {
        qkRegistry probe;
        if (!probe.Open(Root(), path.c_str(), KEY_READ)) {
            return true;
        }
    }
    qkRegistry statusKey;
    if (!statusKey.Create(Root(), path.c_str(), kReadWrite) || !statusKey.SetDWORDValue(L"DownloadComplete", 0)) {
        QK_LOG_ERROR(L"statusKey.SetNumber() failed to set %s to %d", L"DownloadComplete", 0);
        return false;
    }
    return true;
}

bool VekRegistryState::isDownloadComplete(const nlohmann::json& job)
{
    qkRegistry jobKey;
    DWORD value = 1;
    return jobKey.Open(Root(), JobKeyPath(job).c_str(), KEY_READ) && jobKey.GetDWORDValue(L"DownloadComplete", value) &&
           value == 0;
}

void VekRegistryState::deleteDownloadCompleteKey()
{
    const nlohmann::json* jobs = ManifestAccess::Jobs(m_document);
    if (!jobs) {
        return;
    }
    for (const nlohmann::json& job : *jobs) {
        qkRegistry jobKey;
        if (jobKey.Open(Root(), JobKeyPath(job).c_str(), kReadWrite) && !jobKey.DeleteValue(L"DownloadComplete") &&
            jobKey.GetLastError() != ERROR_FILE_NOT_FOUND) {
            QK_LOG_ERROR(L"jobKey.DeleteValue() failed to delete %s", L"DownloadComplete");
        }
    }
}

bool VekRegistryState::updateJobFailureCount(const nlohmann::json& job)
{
    const std::wstring path = JobKeyPath(job);
    qkRegistry jobKey;
    if (!jobKey.Open(Root(), path.c_str(), kReadWrite)) {
        if (!jobKey.Create(Root(), path.c_str(), kReadWrite)) {
            // A count that cannot be kept is a failure, not a success.
            QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %s to %d", kFailureCountValue, 0);
            return false;
        }
        if (!jobKey.SetDWORDValue(kFailureCountValue, 0)) {
            QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %s to %d", kFailureCountValue, 0);
            return false;
        }
        return true;
    }
    DWORD count = 0;
    const DWORD next = jobKey.GetDWORDValue(kFailureCountValue, count) ? count + 1 : 0;
    if (!jobKey.SetDWORDValue(kFailureCountValue, next)) {
        QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %s to %d", kFailureCountValue, static_cast<int>(next));
        return false;
    }
    return true;
}

void VekRegistryState::SaveDownloadDuration(const nlohmann::json& job)
{
    const nlohmann::json* duration = ManifestJson::Member(&job, jobkeys::kDownloadDuration);
    if (!duration || !duration->is_number()) {
        return;
    }
    qkRegistry jobKey;
    if (!jobKey.Create(Root(), JobKeyPath(job).c_str(), kReadWrite) ||
        !jobKey.SetDWORDValue(L"download_duration", duration->get<uint32_t>())) {
        QK_LOG_ERROR(L"Failed to save download duration registry key");
    }
}

void VekRegistryState::GetPreviousDownloadDuration(const nlohmann::json& job)
{
    qkRegistry jobKey;
    if (!jobKey.Create(Root(), JobKeyPath(job).c_str(), kReadWrite)) {
        QK_LOG_INFO(L"Failed to save download duration registry key");
        return;
    }
    DWORD duration = 0;
    if (!jobKey.GetDWORDValue(L"download_duration", duration)) {
        QK_LOG_INFO(L"Failed to read download duration registry key");
        return;
    }
    // The node is updated in the document itself, found by its id.
    nlohmann::json* jobs = ManifestAccess::Jobs(m_document);
    if (jobs == nullptr) {
        return;
    }
    const nlohmann::json* id = ManifestJson::Member(&job, "job_id");
    for (nlohmann::json& node : *jobs) {
        const nlohmann::json* nodeId = ManifestJson::Member(&node, "job_id");
        if (id && nodeId && *id == *nodeId) {
            node[jobkeys::kDownloadDuration] = static_cast<uint32_t>(duration);
            return;
        }
    }
}

void VekRegistryState::DeleteDownloadDurationKey(const nlohmann::json& job)
{
    qkRegistry jobKey;
    if (!jobKey.Create(Root(), JobKeyPath(job).c_str(), kReadWrite)) {
        QK_LOG_ERROR(L"Failed to save download duration registry key");
        return;
    }
    jobKey.DeleteValue(L"download_duration");
}

unsigned VekRegistryState::getRetryDownload()
{
    const std::wstring path = ManifestKeyPath();
    qkRegistry key;
    if (!key.Open(Root(), path.c_str(), KEY_READ)) {
        QK_LOG_ERROR(L"Failed to open registry key %s, error=%d", path.c_str(), static_cast<int>(key.GetLastError()));
        return 1;
    }
    DWORD value = 0;
    return key.GetDWORDValue(L"RetryDownload", value) ? value : 0;
}

bool VekRegistryState::setRetryDownload(unsigned value)
{
    const std::wstring path = ManifestKeyPath();
    qkRegistry key;
    if (!key.Open(Root(), path.c_str(), kReadWrite)) {
        QK_LOG_ERROR(L"Failed ot open registry key %s, error=%d", path.c_str(), static_cast<int>(key.GetLastError()));
        return false;
    }
    if (!key.SetDWORDValue(L"RetryDownload", value)) {
        QK_LOG_ERROR(L"Failed to set the %s value, error=%d", L"RetryDownload", static_cast<int>(key.GetLastError()));
        return false;
    }
    return true;
}

bool VekRegistryState::IsDownloadAccepted()
{
    try {
        DWORD value = 0;
        return ReadDownloadAccepted(Root(), ManifestKeyPath().c_str(), value) && value == 1;
    } catch (const std::exception&) {
        return false;
    }
}

bool VekRegistryState::exceededRebootCount()
{
    if (!HasSwitch(L"m")) {
        return false;
    }
    const std::wstring path = ManifestKeyPath();
    DWORD count = 1;
    qkRegistry rebootCount;
    if (rebootCount.Open(Root(), path.c_str(), kReadWrite)) {
        DWORD stored = 0;
        count = rebootCount.GetDWORDValue(L"VDMCount", stored) ? stored + 1 : 1;
        if (!rebootCount.SetDWORDValue(L"VDMCount", count)) {
            QK_LOG_ERROR(L"rebootCount.SetNumber() failed to set %s to %d", L"VDMCount", static_cast<int>(count));
        }
    } else {
        if (!rebootCount.Create(Root(), path.c_str(), kReadWrite)) {
            return false;
        }
        if (!rebootCount.SetDWORDValue(L"VDMCount", 1)) {
            QK_LOG_ERROR(L"rebootCount.SetNumber() failed to set %s to %d, hr=0x%08X", L"VDMCount", 1,
                         static_cast<unsigned>(HRESULT_FROM_WIN32(rebootCount.GetLastError())));
        }
    }
    if (count > kRebootLimit) {
        if (m_reporter) {
            m_reporter->logError(VEK_E_REBOOT_COUNT, true, L"");
        }
        return true;
    }
    return false;
}

void VekRegistryState::resetRebootCount()
{
    qkRegistry key;
    if (key.Open(Root(), ManifestKeyPath().c_str(), kReadWrite)) {
        key.DeleteValue(L"VDMCount");
    }
}

void VekRegistryState::deleteRegistryKeys(int engineState)
{
    const HKEY root = Root();
    const std::wstring manifestPath = ManifestKeyPath();
    const std::wstring manifestId = ManifestAccess::ManifestId(m_document);
    const nlohmann::json* jobs = ManifestAccess::Jobs(m_document);
    if (manifestId.empty()) {
        // Without an id the paths would name the base key itself.
        QK_LOG_ERROR(L"No manifest id: registry state left as it is");
        return;
    }

    DWORD downloadAccepted = HasSwitch(L"SHOWONECLICK") ? 0 : 1;
    bool keepAccepted = false;
    if (jobs && !jobs->empty()) {
        const nlohmann::json* other = ManifestJson::Member(&jobs->front(), jobkeys::kOtherErrors);
        keepAccepted = other && other->is_number_integer() && other->get<int64_t>() == 404;
    }

    qkRegistry manifestKey;
    const bool manifestOpened = manifestKey.Open(root, manifestPath.c_str(), kReadWrite) != FALSE;
    if (manifestOpened) {
        manifestKey.DeleteValue(L"VDMCount");
        manifestKey.DeleteValue(L"RetryDownload");
        DWORD stored = 0;
        if (manifestKey.GetDWORDValue(kDownloadAcceptedValue, stored)) {
            downloadAccepted = stored;
            if (!keepAccepted) {
                manifestKey.DeleteValue(kDownloadAcceptedValue);
            }
        } else {
            QK_LOG_INFO(L"Failed to get VEK_DOWNLOAD_ACCEPTED status");
        }
        if (engineState == engine_state::eJobsDone) {
            if (jobs) {
                for (const nlohmann::json& job : *jobs) {
                    const std::wstring jobId = ManifestAccess::JobId(job);
                    if (!jobId.empty()) {
                        manifestKey.DeleteKeyTree(jobId.c_str());
                    }
                }
            }
            manifestKey.DeleteValue(kFailureCountValue);
        }
    }

    if (jobs) {
        for (const nlohmann::json& job : *jobs) {
            const std::wstring jobId = ManifestAccess::JobId(job);
            if (jobId.empty()) {
                continue;
            }
            qkRegistry jobKey;
            if (jobKey.Open(root, JobKeyPath(job).c_str(), kReadWrite)) {
                for (const wchar_t* name : {L"Started", L"Finished", L"DownloadComplete", L"download_duration"}) {
                    if (!jobKey.DeleteValue(name) && jobKey.GetLastError() != ERROR_FILE_NOT_FOUND) {
                        QK_LOG_ERROR(L"jobKey.DeleteValue() failed to delete %s", name);
                    }
                }
                qkRegistry fileKey;
                if (fileKey.Open(jobKey.GetKey(), L"file_array", kReadWrite)) {
                    const nlohmann::json* files = ManifestAccess::Files(job);
                    if (files) {
                        for (const nlohmann::json& entry : *files) {
                            // Named as the failure counter names it: by the source, else the destination.
                            std::wstring file = ManifestAccess::SourceFile(entry);
                            if (file.empty()) {
                                file = ManifestAccess::DestinationFile(entry);
                            }
                            const std::wstring name = FailureCountValueName(file);
                            if (!name.empty() && fileKey.DeleteValue(name.c_str())) {
                                QK_LOG_ERROR(L"Deleting registry key %s", name.c_str());
                            }
                        }
                    }
                    fileKey.Close();
                    jobKey.DeleteEmptyKey(L"file_array");
                } else {
                    QK_LOG_ERROR(L"File array not present in registry for job id %s", jobId.c_str());
                }
                if (engineState == engine_state::eJobsDone) {
                    jobKey.DeleteValue(kFailureCountValue);
                }
            }
            jobKey.Close();
            if (manifestOpened && !jobId.empty()) {
                manifestKey.DeleteEmptyKey(jobId.c_str());
            }
        }
    }
    manifestKey.Close();

    // The empty keys up to the maker's key go with the manifest's.
    {
        qkRegistry baseKey;
        if (baseKey.Open(root, m_baseKey.c_str(), kReadWrite) && baseKey.DeleteEmptyKey(manifestId.c_str())) {
            const size_t cut = m_baseKey.find_last_of(L'\\');
            if (cut != std::wstring::npos) {
                qkRegistry parent;
                if (parent.Open(root, m_baseKey.substr(0, cut).c_str(), kReadWrite)) {
                    parent.DeleteEmptyKey(m_baseKey.substr(cut + 1).c_str());
                }
            }
        }
        const std::wstring maker = m_baseKey.substr(0, m_baseKey.find_last_of(L'\\'));
        const size_t cut = maker.find_last_of(L'\\');
        if (cut != std::wstring::npos) {
            qkRegistry software;
            if (software.Open(root, maker.substr(0, cut).c_str(), kReadWrite)) {
                software.DeleteEmptyKey(maker.substr(cut + 1).c_str());
            }
        }
    }

    // The Run value goes unless the manifest keeps it or the download was never accepted.
    if (!ManifestAccess::ShouldCreateRunKey(m_document) || downloadAccepted == 0 || keepAccepted) {
        return;
    }
    qkRegistry runKey;
    if (!runKey.Open(root, kRunKey, KEY_ALL_ACCESS)) {
        return;
    }
    const std::wstring valueName = std::wstring(kRunValuePrefix) + manifestId;
    if (!runKey.DeleteValue(valueName.c_str()) && runKey.GetLastError() != ERROR_FILE_NOT_FOUND) {
        throw JobEngineException(VEK_E_RUN_VALUE_DELETE);
    }
}

} // namespace vek
