#include "engine/job/VekJob.h"
#include "services/launcher/VekResultCodes.h"

#include "common/errors/qkLog.h"
#include "common/system/qkModule.h"
#include "engine/manifest/ManifestAccess.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "net/download/BackendChecks.h"
#include "net/download/CWinHTTPDownloadManager.h"
#include "services/launcher/VekUtil.h"

#include <new>
#include <utility>

namespace vek {

namespace {


// Asks the system whether the machine has an Internet connection. The function is bound at run
// time: its header cannot share a source file with the HTTP client's.
bool InternetConnected()
{
    using Fn = BOOL(WINAPI*)(LPDWORD, DWORD);
    qkModule wininet;
    if (!wininet.Load(L"wininet.dll")) {
        return true;
    }
    const auto connected = wininet.GetProc<Fn>("InternetGetConnectedState");
    DWORD flags = 0;
    return connected == nullptr || connected(&flags, 0) != FALSE;
}

} // namespace

VekJob::VekJob(std::shared_ptr<ManifestDocument> manifest, size_t jobIndex, std::shared_ptr<VekDataReporter> reporter,
               nlohmann::json options)
    : m_manifest(manifest ? std::move(manifest) : std::make_shared<ManifestDocument>()),
      m_jobIndex(jobIndex),
      m_reporter(std::move(reporter)),
      m_options(options.is_object() ? std::move(options) : json::object()),
      m_resumeEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_wakeEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_endedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_resumeEvent.IsValid() || !m_stopEvent.IsValid() || !m_wakeEvent.IsValid() || !m_endedEvent.IsValid()) {
        throw std::bad_alloc();
    }
    // Every job object starts at the backend check, whatever its node held before.
    if (!m_manifest->ResetJobState(m_jobIndex)) {
        QK_LOG_ERROR(L"The manifest has no job %u", static_cast<unsigned>(m_jobIndex));
    }
}

VekJob::~VekJob()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_running) {
            ::SetEvent(m_stopEvent.Get());
            ::SetEvent(m_wakeEvent.Get());
        }
    }
    JoinThread();
    std::shared_ptr<CWinHTTPDownloadManager> manager;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        manager = std::move(m_downloadManager);
    }
    manager.reset();
    m_jobEvents.disconnect_all_slots();
    m_progress.disconnect_all_slots();
}

void VekJob::JoinThread()
{
    std::lock_guard<std::mutex> join(m_joinLock);
    if (!m_thread.joinable()) {
        return;
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // A slot on the job thread itself cannot wait for it; the thread ends on its own.
        m_thread.detach();
        return;
    }
    m_thread.join();
}

void VekJob::Start()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (m_started) {
        QK_LOG_WARNING(L"The job has run already; a job object runs once");
        return;
    }
    m_started = true;
    m_running = true;
    // A job paused before it started stays paused until Resume.
    if (!m_paused) {
        ::SetEvent(m_resumeEvent.Get());
    }
    m_thread = std::thread([this] { run(); });
}

void VekJob::Stop()
{
    QK_LOG_INFO(L"Stopping job...");
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_paused = false;
        ::ResetEvent(m_resumeEvent.Get());
        // The stopped state is written before the stop is signalled, so that the job thread,
        // which checks the stop before it starts a stage, never starts another one.
        if (m_running) {
            QK_LOG_INFO(L"Setting the Job State...");
            SetState(eStopped);
        }
        ::SetEvent(m_stopEvent.Get());
        // The download wait and the plug-in poll wake at once; the job thread stops the
        // download manager itself, the only thread that joins the manager's thread.
        ::SetEvent(m_wakeEvent.Get());
    }
    QK_LOG_INFO(L"Waiting for job thread to finish");
    JoinThread();
}

void VekJob::Pause()
{
    std::shared_ptr<CWinHTTPDownloadManager> manager;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ::ResetEvent(m_resumeEvent.Get());
        m_paused = true;
        if (GetState() == eDownload) {
            manager = m_downloadManager;
        }
    }
    if (manager) {
        manager->Pause();
    }
}

void VekJob::Resume()
{
    std::shared_ptr<CWinHTTPDownloadManager> manager;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (!m_paused) {
            return;
        }
        ::SetEvent(m_resumeEvent.Get());
        m_paused = false;
        if (GetState() == eDownload) {
            manager = m_downloadManager;
        }
    }
    if (manager) {
        manager->Resume();
    }
}

int32_t VekJob::GetState() const
{
    return m_manifest->GetJobState(m_jobIndex);
}

bool VekJob::IsRunning() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_running;
}

bool VekJob::IsPaused() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_paused;
}

bool VekJob::WaitForEnd(DWORD milliseconds) const
{
    return ::WaitForSingleObject(m_endedEvent.Get(), milliseconds) == WAIT_OBJECT_0;
}

bool VekJob::StopRequested() const
{
    return ::WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_OBJECT_0;
}

bool VekJob::IsTerminating()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (StopRequested()) {
            return true;
        }
        if (!m_paused) {
            return false;
        }
    }
    // Paused: wait for the resume or the stop, without the lock so that they can come.
    const HANDLE events[] = {m_stopEvent.Get(), m_resumeEvent.Get()};
    const DWORD wait = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
        return true;
    }
    if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_ABANDONED_0 + 1) {
        return false;
    }
    QK_LOG_ERROR(L"Wait Failed");
    return false;
}

void VekJob::SetState(int32_t state)
{
    m_manifest->SetJobState(m_jobIndex, state, m_pluginStage);
}

bool VekJob::SetStateUnlessStopped(int32_t state)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (StopRequested()) {
        return false;
    }
    SetState(state);
    return true;
}

nlohmann::json VekJob::JobSnapshot() const
{
    json job;
    if (!m_manifest->GetJob(m_jobIndex, job)) {
        job = json::object();
    }
    return job;
}

void VekJob::SetJobValue(const char* key, json value)
{
    m_manifest->SetJobValue(m_jobIndex, key, std::move(value));
}

void VekJob::RemoveJobValue(const char* key)
{
    m_manifest->RemoveJobValue(m_jobIndex, key);
}

int32_t VekJob::Fire(int32_t event)
{
    const json job = JobSnapshot();
    return m_emitter.Fire(event, job);
}

void VekJob::reportJobError(HRESULT code, const wchar_t* extra, int priority, int failureCount)
{
    if (!m_reporter) {
        return;
    }
    const json job = JobSnapshot();
    m_reporter->logJobError(code, true, job, extra, priority, failureCount);
}

void VekJob::run()
{
    m_emitter.BeginRun();
    try {
        runLoop();
    } catch (const JobException& e) {
        QK_LOG_ERROR(L"Caught Exception, %S", e.what());
        const HRESULT code = e.GetCode();
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(code));
        const std::wstring message = FromUtf8(e.what());
        reportJobError(code, message.c_str(), kNotGiven, kNotGiven);
        Fire(eFatalError);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Caught std::bad_alloc");
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(E_OUTOFMEMORY));
        Fire(eFatalError);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Caught std::exception, %S", e.what());
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(E_UNEXPECTED));
        Fire(eFatalError);
    } catch (...) {
        QK_LOG_ERROR(L"Caught an unknown exception");
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(E_UNEXPECTED));
        Fire(eFatalError);
    }
    endThread();
}

void VekJob::endThread()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_handedFiles.clear();
    m_running = false;
    ::SetEvent(m_stopEvent.Get());
    m_emitter.Finish(JobSnapshot());
    ::SetEvent(m_endedEvent.Get());
}

void VekJob::runLoop()
{
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            if (!m_running) {
                return;
            }
        }
        const int32_t state = GetState();
        switch (state) {
        case ePreProcess:
            QK_LOG_INFO(L"jobState==ePreProcess");
            if (IsTerminating()) {
                SetState(eStopped);
            } else {
                preProcess();
            }
            break;
        case eDownload:
            QK_LOG_INFO(L"jobState==eDownload");
            if (IsTerminating()) {
                SetState(eStopped);
            } else {
                download();
            }
            break;
        case eArchive:
            QK_LOG_INFO(L"jobState==eArchive");
            if (IsTerminating()) {
                SetState(eStopped);
            } else {
                ArchiveDownloadedFiles();
            }
            break;
        case ePostProcess:
            QK_LOG_INFO(L"jobState==ePostProcess");
            // A stop that came during the download ends the job before a plug-in is loaded.
            if (IsTerminating()) {
                SetState(eStopped);
            } else {
                postProcess();
            }
            break;
        case eStopped:
            QK_LOG_INFO(L"jobState==eStopped");
            Fire(eJobStopped);
            SetState(eFinished);
            break;
        case eInstallCancelled:
            QK_LOG_INFO(L"jobState==eInstallCancelled");
            Fire(eJobInstallCancelled);
            SetState(eFinished);
            break;
        case eInstallUACCancelled:
            QK_LOG_INFO(L"jobState==eInstallUACCancelled");
            Fire(eJobInstallUACCancelled);
            SetState(eFinished);
            break;
        case eInstallFinished:
            QK_LOG_INFO(L"jobState==eInstallFinished");
            Fire(eJobInstallFinished);
            SetState(eFinished);
            break;
        case eArchiveFinished:
            QK_LOG_INFO(L"jobState==eArchiveFinished");
            Fire(eJobArchiveFinished);
            SetState(eFinished);
            break;
        case eRestartDownload:
            QK_LOG_INFO(L"jobState==eRestartDownload");
            Fire(eJobEngineRestartAsAdmin);
            SetState(eFinished);
            break;
        case eRebootRequired:
            QK_LOG_INFO(L"jobState==eRebootRequired");
            Fire(eJobRebootRequired);
            SetState(eFinished);
            break;
        case eDownloadError:
            if (IsTerminating()) {
                QK_LOG_INFO(L"jobState==eDownloadError but m_ShouldExit = true");
                SetState(eStopped);
                break;
            }
            if (!InternetConnected()) {
                QK_LOG_ERROR(L"Internet connection unavailable.");
            }
            if (!m_noDownloadFailedEvent) {
                QK_LOG_INFO(L"jobState==eDownloadError");
                Fire(eJobDownloadFailed);
            }
            SetState(eFinished);
            break;
        case eInstallFailed:
        case eInstallIncomplete:
            QK_LOG_INFO(L"jobState==%d", state);
            SetState(eFinished);
            break;
        case eFinished: {
            QK_LOG_INFO(L"jobState==eFinished");
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_running = false;
            break;
        }
        default:
            // States 7 and 12 (and any other) leave the job waiting for another thread to
            // change the state or to stop the job; the wait is on the stop event, not a spin.
            if (::WaitForSingleObject(m_stopEvent.Get(), m_tuning.pollIntervalMs) == WAIT_OBJECT_0 &&
                GetState() == state) {
                SetState(eStopped);
            }
            break;
        }
    }
}

void VekJob::preProcess()
{
    Fire(eJobPreProcess);
    // The check sends requests: it works on a copy, so that the document stays free meanwhile.
    json job = JobSnapshot();
    const bool passed = ValidateBackendUrls(job, m_options);
    if (const auto description = job.find(jobkeys::kJobErrorDescription); description != job.end()) {
        SetJobValue(jobkeys::kJobErrorDescription, *description);
    }
    if (passed) {
        SetStateUnlessStopped(eDownload);
        return;
    }
    SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_BACKEND_CHECK));
    reportJobError(VEK_E_BACKEND_CHECK, nullptr, kNotGiven, kNotGiven);
    Fire(eFailover);
    SetState(eFinished);
}

void VekJob::HandleJobType()
{
    const std::wstring text = m_manifest->ReadJob(
        m_jobIndex, [](const json* job) { return job != nullptr ? ManifestAccess::JobType(*job) : std::wstring(); });
    if (text == L"download") {
        QK_LOG_INFO(L"Download-only job success");
        SetStateUnlessStopped(eFinished);
    } else if (text == L"archive") {
        QK_LOG_INFO(L"Download success, moving to archiving");
        SetStateUnlessStopped(eArchive);
    } else if (text == L"install" || text.empty()) {
        QK_LOG_INFO(L"Download success, moving to post-process");
        SetStateUnlessStopped(ePostProcess);
    } else {
        QK_LOG_ERROR(L"Invalid job type %s is found. So perform the default install action", text.c_str());
        SetStateUnlessStopped(ePostProcess);
    }
}

} // namespace vek
