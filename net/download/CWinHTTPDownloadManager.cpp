#include "net/download/CWinHTTPDownloadManager.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "net/download/DownloadJson.h"
#include "net/download/DownloadRecord.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"
#include "services/launcher/VekJobKeys.h"

#include <algorithm>
#include <ctime>

namespace vek {

namespace {

const HRESULT HR_CANCELLED = HRESULT_FROM_WIN32(ERROR_CANCELLED);

// HRESULTs go into the job node as signed 32-bit numbers.
nlohmann::json HrValue(HRESULT hr)
{
    return static_cast<std::int32_t>(hr);
}

void DeleteTemporaryFile(const nlohmann::json& record)
{
    const std::wstring temp = RecordTempPath(record);
    if (!temp.empty() && !::DeleteFileW(temp.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        QK_LOG_WARNING(L"Failed to delete temporary File %s, hr=0x%08X", temp.c_str(),
                       HRESULT_FROM_WIN32(::GetLastError()));
}

} // namespace

int CWinHTTPDownloadManager::FilePriority(const std::wstring& address)
{
    return WithJob([&](nlohmann::json& job) { return GetFilePriority(address.c_str(), job); });
}

CWinHTTPDownloadManager::CWinHTTPDownloadManager(nlohmann::json& job, std::shared_ptr<IDownloadJobHooks> hooks,
                                                 nlohmann::json& options)
    : m_job(job),
      m_options(options),
      m_hooks(std::move(hooks)),
      m_runEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{}

CWinHTTPDownloadManager::~CWinHTTPDownloadManager()
{
    if (m_thread.joinable()) {
        ::SetEvent(m_stopEvent.Get());
        // A transfer in progress ends at its next read instead of running to its end.
        if (m_engine)
            m_engine->requestExit();
        QK_LOG_INFO(L"Waiting for download thread to finish");
        m_thread.join();
    }
    QK_LOG_INFO(L"Destroying CWinHTTPDownloadManager");
}

void CWinHTTPDownloadManager::Fire(int event)
{
    m_events(event);
}

bool CWinHTTPDownloadManager::IsRunning()
{
    qkScopedLock lock(m_managerLock);
    return m_running;
}

void CWinHTTPDownloadManager::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        // Under the manager lock too, so that a Resume either comes before the stop or sees it.
        qkScopedLock managerLock(m_managerLock);
        ::SetEvent(m_stopEvent.Get());
        ::ResetEvent(m_runEvent.Get());
    }
    if (m_engine) {
        QK_LOG_INFO(L"Stopping the WinHTTP engine");
        m_engine->requestExit();
    }
    if (m_thread.joinable()) {
        QK_LOG_INFO(L"Waiting for WinHTTP download manager thread");
        m_thread.join();
    }
}

void CWinHTTPDownloadManager::Pause()
{
    qkScopedLock lock(m_managerLock);
    if (!m_running)
        return;
    ::ResetEvent(m_runEvent.Get());
    m_paused = true;
    if (m_engine)
        m_engine->requestExit();
}

void CWinHTTPDownloadManager::Resume()
{
    qkScopedLock lock(m_managerLock);
    // After a stop the exit request stays: the stop waits for the thread to end.
    if (!m_running || ::WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_OBJECT_0)
        return;
    ::SetEvent(m_runEvent.Get());
    m_paused = false;
    if (m_engine)
        m_engine->clearExit();
}

bool CWinHTTPDownloadManager::IsTerminating()
{
    bool stopped = false;
    bool paused = false;
    {
        qkScopedLock lock(m_managerLock);
        stopped = ::WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_OBJECT_0;
        paused = m_paused;
    }
    if (stopped)
        return true;
    if (!paused)
        return false;
    Fire(eDownloadPaused);
    m_firstBytes = true;
    HANDLE handles[2] = {m_stopEvent.Get(), m_runEvent.Get()};
    DWORD wait = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
        QK_LOG_INFO(L"Exiting");
        return true;
    }
    if (wait == WAIT_OBJECT_0 + 1) {
        QK_LOG_INFO(L"Resuming...");
        return false;
    }
    QK_LOG_ERROR(L"Wait Failed");
    return false;
}

void CWinHTTPDownloadManager::OnFileProgress(std::uint64_t fileBytes)
{
    if (m_firstBytes) {
        m_firstBytes = false;
        Fire(eDownloadStart);
        Fire(eWinHTTPDownloadStart);
    }
    m_progress(m_bytesTotal, m_bytesDone + fileBytes);
}

bool CWinHTTPDownloadManager::MayAdopt(const std::wstring& destination)
{
    if (!qkFolderTrust::HasFullRights())
        return true;
    // Opened as itself: a link, another name of another file, a file of another account, or one
    // that another account may write is fetched anew.
    qkHandle file(::CreateFileW(destination.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid())
        return false;
    if (FAILED(qkFolderTrust::RefuseOpened(file.Get(), destination)))
        return false;
    if (qkFolderTrust::OthersCanWriteOpened(file.Get())) {
        QK_LOG_WARNING(L"%s may be written by another account, not adopting it", destination.c_str());
        return false;
    }
    return true;
}

void CWinHTTPDownloadManager::getFilesToDownload(std::vector<FilePair>& toFetch, const nlohmann::json& fileArray,
                                                 std::vector<FilePair>& present)
{
    if (!fileArray.is_array())
        return;
    for (const nlohmann::json& entry : fileArray) {
        const std::wstring source = JsonWString(entry, "source_file");
        const std::wstring destination = JsonWString(entry, "destination_file");
        if (SUCCEEDED(CheckFileExists(destination.c_str()))) {
            const bool adoptable = MayAdopt(destination);
            HRESULT hr = E_ACCESSDENIED;
            if (adoptable) {
                int32_t error = 0;
                auto validation = entry.find("validation");
                hr = ValidateFile(destination.c_str(), validation == entry.end() ? nullptr : &*validation, &error);
                if (SUCCEEDED(hr)) {
                    present.emplace_back(source, destination);
                    continue;
                }
                QK_LOG_WARNING(L"ValidateFile() failed to validate %s, hr=0x%08X", destination.c_str(), hr);
            }
            // A file that is not adopted loses only its name: its attributes may belong to a file
            // of another name.
            if (!::DeleteFileW(destination.c_str()) && adoptable) {
                HRESULT deleteHr = HRESULT_FROM_WIN32(::GetLastError());
                QK_LOG_ERROR(L"Failed to delete corrupt download file %s , hr=0x%08X", destination.c_str(), deleteHr);
                DWORD attributes = ::GetFileAttributesW(destination.c_str());
                if (deleteHr == E_ACCESSDENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_READONLY)) {
                    QK_LOG_INFO(L"File is readonly, removing readonly flag");
                    if (!::SetFileAttributesW(destination.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
                        QK_LOG_ERROR(L"Failed to remove readonly flag");
                    else
                        ::DeleteFileW(destination.c_str());
                }
            }
            // A file that could not be removed is neither fetched nor counted as present.
            if (CheckFileExists(destination.c_str()) != VEK_E_FILE_NOT_FOUND)
                continue;
        }
        const std::wstring localFile = JsonWString(entry, "local_file");
        if (!localFile.empty()) {
            bool copied = false;
            for (int attempt = 0; attempt < 3; ++attempt) {
                if (::CopyFileW(localFile.c_str(), destination.c_str(), FALSE)) {
                    copied = true;
                    break;
                }
                DWORD error = ::GetLastError();
                if (attempt == 2 || (error != ERROR_BAD_NETPATH && error != ERROR_NETWORK_BUSY)) {
                    QK_LOG_WARNING(L"CopyFile() failed to copy %s to %s, hr=0x%08X", localFile.c_str(),
                                   destination.c_str(), HRESULT_FROM_WIN32(error));
                    break;
                }
            }
            if (copied)
                continue;
        }
        toFetch.emplace_back(source, destination);
    }
}

void CWinHTTPDownloadManager::ReportFileFailure(const std::wstring& address, int priority)
{
    // The failure counts live in the manifest's key under the registry root that the options'
    // `reg_context` names.
    nlohmann::json document;
    document["vek"]["global"]["manifest_id"] = WideToUtf8(m_manifestId);
    document["vek"]["bootstrap"]["options"] = nlohmann::json::object();
    if (const nlohmann::json* context = JsonMember(m_options, "reg_context"))
        document["vek"]["bootstrap"]["options"]["reg_context"] = *context;
    const std::wstring text = L"filename=" + address;
    const std::uint32_t count = WithJob([&](nlohmann::json& job) {
        const std::uint32_t failures = UpdateFileFailureCount(document, job, FailureCountValueName(address).c_str());
        if (m_hooks)
            m_hooks->logJobError(VEK_E_HTTP_DOWNLOAD, 1, job, text, priority, failures);
        return failures;
    });
    if (!m_hooks)
        QK_LOG_ERROR(L"job error 0x%08X, %s, priority %d, failures %u", VEK_E_HTTP_DOWNLOAD, text.c_str(), priority,
                     count);
}

void CWinHTTPDownloadManager::Start()
{
    {
        qkScopedLock lock(m_managerLock);
        if (m_running)
            return;
    }
    if (m_thread.joinable())
        m_thread.join();
    {
        // A pause of an earlier run ended by Stop leaves the flag set: this run starts unpaused.
        qkScopedLock lock(m_managerLock);
        ::ResetEvent(m_stopEvent.Get());
        ::ResetEvent(m_runEvent.Get());
        m_paused = false;
    }

    std::vector<FilePair> toFetch, present;
    // A copy: validating and copying files takes long, the job lock is held only for the copy.
    const nlohmann::json fileArray = WithJob([](nlohmann::json& job) {
        const nlohmann::json* files = JsonMember(job, "file_array");
        return files != nullptr ? *files : nlohmann::json();
    });
    getFilesToDownload(toFetch, fileArray, present);
    if (toFetch.empty()) {
        QK_LOG_INFO(L"No files left to download");
        Fire(eJobValidation);
        return;
    }

    nlohmann::json paused;
    int limit = 15;
    WithJob([&](nlohmann::json& job) {
        job.erase(jobkeys::kDownloadDuration);
        if (const nlohmann::json* record = JsonMember(job, jobkeys::kHttpPausedDownload))
            paused = *record;
        job[jobkeys::kDownloadStarted] = paused.is_null() ? 1 : 2;
        limit = std::min(JsonInt(job, "TRANSIENT_ERROR_RETRY_COUNT", 15), 15);
    });
    const std::wstring pausedUri = RecordUri(paused);

    const nlohmann::json* proxySettings = JsonMember(m_options, "proxy_settings");
    m_proxySettings = proxySettings != nullptr ? *proxySettings : nlohmann::json();
    m_engine = std::make_unique<CWinHTTPEngine>(static_cast<IDownloadEngineObserver*>(this),
                                                m_proxySettings.is_null() ? nullptr : &m_proxySettings);
    m_engine->SetTimeoutSeconds(m_engineTimeout);
    m_queue.clear();
    m_firstBytes = true;
    m_bytesDone = 0;
    m_bytesTotal = 0;
    for (const FilePair& file : present) {
        std::uint64_t size = 0;
        if (SUCCEEDED(GetFileSize(file.second.c_str(), size)))
            m_bytesDone += size;
    }

    // Highest priority first; equal priorities keep the manifest's order.
    auto priorityOf = [this](const FilePair& file) { return FilePriority(file.first); };
    std::stable_sort(toFetch.begin(), toFetch.end(),
                     [&](const FilePair& a, const FilePair& b) { return priorityOf(a) > priorityOf(b); });

    bool failed = false;
    int retries = 0;
    for (size_t i = 0; i < toFetch.size() && !IsTerminating();) {
        const FilePair& file = toFetch[i];
        std::uint64_t size = 0;
        HRESULT hr = m_engine->getDownloadSize(file.first, size);
        if (FAILED(hr)) {
            if (m_engine->getJobState() == BG_JOB_STATE_TRANSIENT_ERROR && retries < limit) {
                ++retries;
                QK_LOG_WARNING(L"got Transient error while querying file size retrying, %d", retries);
                ::WaitForSingleObject(m_stopEvent.Get(), m_retryWaitMs);
                continue;
            }
            QK_LOG_ERROR(L"m_WinHTTPEngine->getDownloadSize() failed with %s, %s, hr=0x%08X", file.first.c_str(),
                         file.second.c_str(), hr);
            HRESULT error = S_OK;
            m_engine->GetError(error);
            const DWORD httpStatus = m_engine->getHttpStatus();
            const int priority = FilePriority(file.first);
            WithJob([&](nlohmann::json& job) {
                if (FAILED(error))
                    job[jobkeys::kOtherErrors] = error == VEK_E_HTTP_DOWNLOAD ? nlohmann::json(httpStatus) : HrValue(error);
                if (priority >= 0) {
                    job[jobkeys::kJobErrorCode] = HrValue(error);
                    job[jobkeys::kLastDownloadError] = HrValue(error);
                }
            });
            ReportFileFailure(file.first, priority);
            if (priority < 0) {
                WithJob([](nlohmann::json& job) { job.erase(jobkeys::kOtherErrors); });
                ++i;
                continue;
            }
            failed = true;
            break;
        }
        if (!pausedUri.empty() && file.first == pausedUri) {
            SetRecordBytesTotal(paused, size);
        } else {
            DownloadRecord record;
            record.downloadUri = file.first;
            record.localFilePath = file.second;
            record.bytesTotal = size;
            m_queue.push_back(record.ToJson());
        }
        m_bytesTotal += size;
        ++i;
    }

    if (IsTerminating())
        return;
    if (failed) {
        Fire(eDownloadFatalError);
        return;
    }
    m_bytesTotal += m_bytesDone;
    QK_LOG_INFO(L"Total bytes downloaded - %I64u, Bytes remaining - %I64u", m_bytesDone, m_bytesTotal);
    if (!paused.is_null())
        m_queue.push_front(paused);
    if (m_queue.empty()) {
        Fire(eJobValidation);
        return;
    }
    {
        qkScopedLock lock(m_managerLock);
        m_running = true;
    }
    m_thread = std::thread([this] { run(); });
}

void CWinHTTPDownloadManager::run()
{
    QK_LOG_INFO(L"Inside WinHTTP thread");
    {
        qkScopedLock lock(m_managerLock);
        m_running = true;
    }
    const int limit = WithJob([](nlohmann::json& job) {
        job[jobkeys::kDownloadMethod] = "WinHTTP";
        return JsonInt(job, "TRANSIENT_ERROR_RETRY_COUNT", 15);
    });
    QK_LOG_INFO(L"Transient error retry count = %d", limit);
    int transientCount = 0;
    bool done = false;
    bool skipped = false;
    int finalEvent = eDownloadFatalError;
    int lastState = BG_JOB_STATE_ERROR;
    const std::time_t start = std::time(nullptr);

    while (!done && !m_queue.empty()) {
        if (IsTerminating()) {
            QK_LOG_INFO(L"m_ShouldExit==true, exiting VekWinhttpDownloadManager thread");
            // A stop is not a failure of the job, whatever the last file did.
            finalEvent = eDownloadStopped;
            done = true;
            break;
        }
        nlohmann::json record = std::move(m_queue.front());
        m_queue.pop_front();
        skipped = false;
        const std::wstring address = RecordUri(record);
        try {
            HRESULT hr = m_engine->download(record);
            if (FAILED(hr) && hr != HR_CANCELLED) {
                WithJob([](nlohmann::json& job) { job[jobkeys::kLastDownloadError] = HrValue(VEK_E_DOWNLOAD_CALL_FAILED); });
                QK_LOG_ERROR(L"m_WinHTTPEngine->download() failed, hr=0x%08X", hr);
            }
            const int state = m_engine->getJobState();
            lastState = state;
            bool asError = false;
            switch (state) {
            case BG_JOB_STATE_SUSPENDED:
                QK_LOG_INFO(L"BG_JOB_STATE_SUSPENDED");
                finalEvent = eDownloadStopped;
                done = true;
                WithJob([&](nlohmann::json& job) { job[jobkeys::kHttpPausedDownload] = record; });
                break;
            case BG_JOB_STATE_TRANSIENT_ERROR:
                ++transientCount;
                QK_LOG_WARNING(L"BG_JOB_STATE_TRANSIENT_ERROR, transientErrorCount=%d", transientCount);
                if (transientCount >= limit) {
                    finalEvent = eDownloadTransientError;
                    QK_LOG_ERROR(L"Exceeded transient error count (%d), hr=0x%08X", transientCount, hr);
                    asError = true;
                } else {
                    QK_LOG_WARNING(L"Got a transient error from WinHTTP, sleeping for a bit");
                    // Keep the resume keys in the job node while waiting.
                    WithJob([&](nlohmann::json& job) { job[jobkeys::kHttpPausedDownload] = record; });
                    ::WaitForSingleObject(m_stopEvent.Get(), m_retryWaitMs);
                    m_queue.push_front(std::move(record));
                }
                break;
            case BG_JOB_STATE_ERROR:
                QK_LOG_ERROR(L"BG_JOB_STATE_ERROR");
                finalEvent = eDownloadFatalError;
                asError = true;
                break;
            case BG_JOB_STATE_TRANSFERRED: {
                finalEvent = eDownloadFileDone;
                const DownloadRecord transferred = DownloadRecord::FromJson(record);
                std::uint64_t total = transferred.bytesTotal.value_or(0);
                if (total == 0)
                    total = transferred.bytesDownloaded.value_or(0);
                m_bytesDone += total;
                break;
            }
            case BG_JOB_STATE_CANCELLED:
                WithJob([&](nlohmann::json& job) { job[jobkeys::kHttpPausedDownload] = record; });
                if (!IsTerminating()) {
                    WithJob([](nlohmann::json& job) { job[jobkeys::kDownloadStarted] = 2; });
                    QK_LOG_INFO(L"Download paused.");
                    m_queue.push_front(std::move(record));
                } else {
                    QK_LOG_INFO(L"BG_JOB_STATE_CANCELLED");
                    finalEvent = eDownloadStopped;
                    done = true;
                }
                break;
            default:
                QK_LOG_ERROR(L"Unknown job state %d", state);
                break;
            }
            if (asError) {
                HRESULT error = S_OK;
                m_engine->GetError(error);
                QK_LOG_ERROR(L"m_WinHTTPEngine->GetError() returned hr=0x%08X", error);
                const DWORD httpStatus = m_engine->getHttpStatus();
                WithJob([&](nlohmann::json& job) {
                    job[jobkeys::kJobErrorCode] = HrValue(error);
                    job[jobkeys::kLastDownloadError] = HrValue(error);
                    job[jobkeys::kOtherErrors] = error == VEK_E_HTTP_DOWNLOAD ? nlohmann::json(httpStatus) : HrValue(error);
                    if (error == kDiskFullResult)
                        job[jobkeys::kJobErrorCode] = 0;
                });
                if (error == kDiskFullResult) {
                    QK_LOG_ERROR(L"Sending out of disk space error");
                    Fire(eDownloadOutOfDiskSpace);
                }
                WithJob([&](nlohmann::json& job) { job[jobkeys::kHttpPausedDownload] = record; });
                const int priority = FilePriority(address);
                if (priority < 0) {
                    QK_LOG_WARNING(L"Non critical file download failed skipping download");
                    skipped = true;
                    // Nothing resumes a skipped file: its partial file would only take room (on
                    // a full disk, the room the other files need).
                    DeleteTemporaryFile(record);
                } else {
                    QK_LOG_ERROR(L"File is critical for installation");
                    done = true;
                    finalEvent = eDownloadFatalError;
                }
                ReportFileFailure(address, priority);
            }
        } catch (const std::exception& e) {
            // The file failed by its priority: a critical one fails the job.
            QK_LOG_ERROR(L"Caught std::exception: %S", e.what());
            lastState = BG_JOB_STATE_ERROR;
            const int priority = FilePriority(address);
            WithJob([&](nlohmann::json& job) {
                job[jobkeys::kLastDownloadError] = HrValue(E_UNEXPECTED);
                if (priority >= 0)
                    job[jobkeys::kJobErrorCode] = HrValue(E_UNEXPECTED);
                // A paused record that cannot be read would go first and fail every later run:
                // it is dropped, and the next run fetches the file afresh.
                const nlohmann::json* paused = JsonMember(job, jobkeys::kHttpPausedDownload);
                if (paused != nullptr && RecordUri(*paused) == address)
                    job.erase(jobkeys::kHttpPausedDownload);
            });
            DeleteTemporaryFile(record);
            if (priority < 0) {
                skipped = true;
            } else {
                done = true;
                finalEvent = eDownloadFatalError;
            }
            ReportFileFailure(address, priority);
        }
    }

    const long duration = static_cast<long>(std::time(nullptr) - start);
    QK_LOG_INFO(L"Total Download Duration : %ld", duration);
    if (m_queue.empty() && !done &&
        (lastState == BG_JOB_STATE_TRANSFERRED ||
         ((lastState == BG_JOB_STATE_ERROR || lastState == BG_JOB_STATE_TRANSIENT_ERROR) && skipped))) {
        WithJob([&](nlohmann::json& job) {
            if (JsonInt(job, jobkeys::kDownloadStarted, 0) != 2)
                job[jobkeys::kDownloadDuration] = static_cast<std::uint64_t>(duration);
            job.erase(jobkeys::kHttpPausedDownload);
        });
        finalEvent = eJobValidationDone;
    }
    m_queue.clear();
    QK_LOG_INFO(L"Sending event %d to subscribers", finalEvent);
    Fire(finalEvent);
    qkScopedLock lock(m_managerLock);
    m_running = false;
}

} // namespace vek
