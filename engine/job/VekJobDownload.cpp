// The job's download stage: a download manager of the job's own fetches the files still missing,
// the job waits for its final event, then validates every file of the job.
#include "engine/job/VekJob.h"
#include "services/launcher/VekResultCodes.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestAccess.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekDownloadJobReporting.h"
#include "net/download/CWinHTTPDownloadManager.h"
#include "services/digest/VekSHA256.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"

#include <new>
#include <utility>

namespace vek {

namespace {

// What starting the manager gave besides a running download (S_OK) or an exception (its code).
constexpr HRESULT kNothingToFetch = 1;
constexpr HRESULT kFailedAtStart = 2;

// The manifest's id, which names the registry key of the files' failure counts.
std::wstring ManifestIdOf(const ManifestDocument& manifest)
{
    return manifest.Read([](const nlohmann::json& root) { return ManifestAccess::ManifestId(root); });
}

} // namespace

void VekJob::download()
{
    Fire(eJobDownloadStageStart);
    m_manifest->ModifyJob(m_jobIndex, [](json* job) {
        if (job != nullptr) {
            (*job)[jobkeys::kErrorType] = 0;
            (*job)[jobkeys::kJobErrorCode] = 0;
        }
    });
    if (!SetStateUnlessStopped(eDownload)) {
        return;
    }

    // The manager keeps a reference to the job's node inside the document and takes the
    // document's lock around every access to it; the job array is not resized during a run.
    json* node = m_manifest->ModifyJob(m_jobIndex, [](json* job) { return job; });
    if (node == nullptr) {
        node = &m_orphanNode;
    }
    std::shared_ptr<IDownloadJobHooks> hooks;
    if (m_reporter) {
        hooks = std::make_shared<VekDownloadJobReporting>(m_reporter);
    }
    auto manager = std::make_shared<CWinHTTPDownloadManager>(*node, hooks, m_options);
    manager->ShareJobLock(&m_manifest->Mutex());
    manager->SetRetryWait(m_tuning.downloadRetryWaitMs);
    manager->SetEngineTimeout(m_tuning.downloadTimeoutSeconds);
    manager->SetManifestId(ManifestIdOf(*m_manifest));
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_downloadManager = manager;
        m_noDownloadFailedEvent = false;
    }

    boost::signals2::scoped_connection events =
        manager->Events().connect([this](int event) { OnDownloadEvent(event); });
    boost::signals2::scoped_connection progress =
        manager->Progress().connect([this](uint64_t total, uint64_t done) { OnDownloadProgress(total, done); });

    const HRESULT result = startDownload(manager);
    if (result == kNothingToFetch || result < 0) {
        SetJobValue(jobkeys::kLastDownloadError, static_cast<int32_t>(result));
    } else if (result == kFailedAtStart) {
        // The manager has written the download's own failure into "last_download_error".
    } else {
        QK_LOG_INFO(L"Started download with WinHTTP");
        QK_LOG_INFO(L"Waiting for download...");
        waitForDownload(manager);
        QK_LOG_INFO(L"waitForDownload() finished");
    }
    events.disconnect();
    progress.disconnect();
}

HRESULT VekJob::startDownload(const std::shared_ptr<CWinHTTPDownloadManager>& manager)
{
    HRESULT failure = S_OK;
    try {
        manager->Start();
    } catch (const std::bad_alloc&) {
        failure = E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"The download manager failed to start: %S", e.what());
        failure = E_UNEXPECTED;
    }
    if (FAILED(failure)) {
        QK_LOG_ERROR(L"Caught DownloadManagerException, hr=0x%08X", failure);
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(failure));
        reportJobError(failure, nullptr, kNotGiven, kNotGiven);
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        SetState(eDownloadError);
        return failure;
    }

    // Start either started the download thread, or it fired its final event before it
    // returned: nothing was left to fetch (event 4) or a size query failed for good (event -1).
    bool finalEventSeen = false;
    bool transferStarted = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        finalEventSeen = m_nextTask;
        transferStarted = m_downloadStarted;
    }
    if (manager->IsRunning() || !finalEventSeen || transferStarted) {
        QK_LOG_INFO(L"Download started successfully");
        return S_OK;
    }
    if (GetState() == eDownloadError) {
        return kFailedAtStart;
    }
    if (!StopRequested()) {
        QK_LOG_INFO(L"Files for job have already been downloaded");
    }
    return kNothingToFetch;
}

void VekJob::waitForDownload(const std::shared_ptr<CWinHTTPDownloadManager>& manager)
{
    for (;;) {
        bool nextTask = false;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            nextTask = m_nextTask;
        }
        if (IsTerminating()) {
            QK_LOG_INFO(L"m_ShouldExit==true, stopping the download manager");
            manager->Stop();
            return;
        }
        if (nextTask) {
            QK_LOG_INFO(L"m_NextTask==true, stopping the download manager");
            manager->Stop();
            return;
        }
        ::WaitForSingleObject(m_wakeEvent.Get(), m_tuning.pollIntervalMs);
    }
}

void VekJob::OnDownloadProgress(uint64_t total, uint64_t done)
{
    try {
        m_progress(total, done);
    } catch (const boost::bad_function_call& e) {
        QK_LOG_ERROR(L"Caught boost::bad_function_call exception %S", e.what());
    }
}

void VekJob::OnDownloadEvent(int event)
{
    switch (event) {
    case eDownloadStart:
        QK_LOG_INFO(L"eDownloadStart");
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_downloadStarted = true;
        }
        Fire(eJobDownloadStart);
        break;
    case eWinHTTPDownloadStart:
        QK_LOG_INFO(L"eWinHTTPDownloadStart");
        break;
    case eDownloadPaused:
        Fire(eJobDownloadEvent6);
        break;
    case eJobValidationDone:
    case eJobValidation: {
        QK_LOG_INFO(L"eJobValidation");
        Fire(eJobValidationStart);
        const bool valid = validateDownloadedFiles();
        if (IsTerminating()) {
            return;
        }
        if (valid) {
            if (event == eJobValidationDone && m_reporter) {
                m_reporter->postEvent(eJobDownloadFinish, JobSnapshot());
            }
            Fire(eJobDownloadFinish);
            HandleJobType();
        } else {
            {
                std::lock_guard<std::recursive_mutex> lock(m_lock);
                SetState(eDownloadError);
            }
            Fire(eJobValidationFailed);
            {
                std::lock_guard<std::recursive_mutex> lock(m_lock);
                m_noDownloadFailedEvent = event == eJobValidationDone;
            }
            RemoveJobValue(jobkeys::kValidationError);
            SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_PLUGIN_SIGNATURE));
            reportJobError(VEK_E_PLUGIN_SIGNATURE, L"Invalid digital signature", kNotGiven, kNotGiven);
            RemoveJobValue(jobkeys::kFileSizes);
        }
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_nextTask = true;
        ::SetEvent(m_wakeEvent.Get());
        break;
    }
    case eDownloadTransientError:
        QK_LOG_INFO(L"eDownloadTransientError");
        [[fallthrough]];
    case eDownloadFatalError: {
        QK_LOG_INFO(L"eDownloadFatalError");
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_DOWNLOAD_FAILED));
        SetState(eDownloadError);
        m_nextTask = true;
        ::SetEvent(m_wakeEvent.Get());
        break;
    }
    case eDownloadOutOfDiskSpace: {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        SetState(eDownloadError);
    }
        Fire(eJobDiskFull);
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_noDownloadFailedEvent = true;
        }
        break;
    default:
        break;
    }
}

bool VekJob::validateDownloadedFiles()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_handedFiles.clear();
    }
    bool result = true;
    std::wstring sizes;
    const json job = JobSnapshot();
    const json* files = ManifestAccess::Files(job);
    if (files == nullptr) {
        return result;
    }
    // The failure counts live in the manifest's key under the registry root that the options'
    // "reg_context" names.
    json countRoot;
    countRoot["vek"]["global"]["manifest_id"] = ToUtf8(ManifestIdOf(*m_manifest));
    countRoot["vek"]["bootstrap"]["options"] = json::object();
    if (const auto context = m_options.find("reg_context"); context != m_options.end()) {
        countRoot["vek"]["bootstrap"]["options"]["reg_context"] = *context;
    }

    for (const json& entry : *files) {
        if (IsTerminating()) {
            QK_LOG_INFO(L"Exiting in middle of validation since the user opted to exit");
            return result;
        }
        if (!entry.is_object()) {
            continue;
        }
        const std::wstring path = ManifestAccess::DestinationFile(entry);
        const std::wstring source = ManifestAccess::SourceFile(entry);
        uint64_t size = 0;
        GetFileSize(path.c_str(), size);
        if (!sizes.empty()) {
            sizes += L"|";
        }
        sizes += path + L"->" + std::to_wstring(size);

        // Held open for reading with read sharing only before it is checked, and kept so until the
        // job ends: what was checked is what the job hands on. A file that another process holds
        // for writing cannot be held and fails.
        auto held = std::make_unique<qkHandle>(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD holdError = held->IsValid() ? ERROR_SUCCESS : ::GetLastError();
        const auto validation = entry.find("validation");
        int32_t validationError = 0;
        const HRESULT hr =
            (holdError == ERROR_SUCCESS || holdError == ERROR_FILE_NOT_FOUND || holdError == ERROR_PATH_NOT_FOUND)
                ? m_tuning.validateFile(path.c_str(), validation != entry.end() ? &*validation : nullptr,
                                        &validationError)
                : HRESULT_FROM_WIN32(holdError);
        if (SUCCEEDED(hr)) {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_handedFiles.push_back(std::move(held));
            continue;
        }
        held.reset(); // a failed file may be deleted below
        const int32_t priority = GetFilePriority((source.empty() ? path : source).c_str(), job);
        QK_LOG_ERROR(L"ValidateFile() failed, filename=%s, validationError=0x%08X, hr=0x%08X ", path.c_str(),
                     validationError, hr);
        if (hr == VEK_E_FILE_NOT_FOUND) {
            if (priority < 0) {
                QK_LOG_ERROR(L"Non critical file %s does not exist", path.c_str());
                continue;
            }
            QK_LOG_ERROR(L"Critical file %s does not exist", path.c_str());
            {
                std::lock_guard<std::recursive_mutex> lock(m_lock);
                SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_FILE_NOT_FOUND));
                SetState(eDownloadError);
            }
            reportJobError(VEK_E_FILE_NOT_FOUND, nullptr, kNotGiven, kNotGiven);
            // Without a critical file the job cannot go on.
            result = false;
            continue;
        }

        char digest[64] = {};
        std::wstring extra = path + L"&g=";
        if (SUCCEEDED(security::CalculateSHA256ForFile(path.c_str(), digest, sizeof digest))) {
            extra += FromUtf8(std::string(digest, sizeof digest));
        }
        SetJobValue(jobkeys::kValidationError, static_cast<uint32_t>(validationError));
        if (priority >= 0) {
            QK_LOG_ERROR(L"Validation of critical file %s failed ", path.c_str());
            result = false;
        } else {
            QK_LOG_ERROR(L"Validation of non critical file %s failed ", path.c_str());
        }
        const uint32_t count =
            UpdateFileFailureCount(countRoot, job, FailureCountValueName(source.empty() ? path : source).c_str());
        reportJobError(hr, extra.c_str(), priority, static_cast<int>(count));

        // A file whose trust could not be checked is never handed on. A critical one fails the
        // job and is kept, so that a later run checks it again without a new download; a
        // non-critical one would go on to the installation unchecked: it is deleted.
        bool keep = false;
        if (hr == VEK_E_TRUST) {
            QK_LOG_ERROR(L"There was an error in the trust subsystem, hr=0x%08X", hr);
            SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_TRUST));
            keep = priority >= 0;
        }
        if (!keep && !::DeleteFileW(path.c_str())) {
            QK_LOG_ERROR(L"::DeleteFile() failed to delete %s, hr=0x%08X", path.c_str(),
                         HRESULT_FROM_WIN32(::GetLastError()));
        }
    }
    if (!result) {
        QK_LOG_ERROR(L"Invalid download, file sizes are %s", sizes.c_str());
        SetJobValue(jobkeys::kFileSizes, ToUtf8(sizes));
    }
    return result;
}

} // namespace vek
