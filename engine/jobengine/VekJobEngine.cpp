#include "engine/jobengine/VekJobEngine.h"

#include "common/base/qkComApartment.h"
#include "common/base/qkMultiLock.h"
#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "engine/job/VekJob.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/manifest/VekPathExpansion.h"
#include "engine/report/VekDataReporter.h"
#include "engine/state/VekRegistryState.h"
#include "engine/state/VekStateFile.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <filesystem>
#include <new>
#include <system_error>

namespace vek {

namespace {

constexpr DWORD kJobPollMs = 1000;

} // namespace

// The data reporter's error slot as the registry state and the state file need it.
class VekJobEngine::ReporterSink : public IEngineErrorSink {
public:
    explicit ReporterSink(std::shared_ptr<VekDataReporter> reporter) : m_reporter(std::move(reporter)) {}

    void logError(HRESULT code, bool send, const std::wstring& extra) override
    {
        if (m_reporter) {
            m_reporter->logError(code, send, extra.empty() ? nullptr : extra.c_str());
        }
    }

private:
    std::shared_ptr<VekDataReporter> m_reporter;
};

VekJobEngine::VekJobEngine(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<ManifestDocument> manifest,
                           std::wstring currentPath)
    : m_currentPath(std::move(currentPath)), m_manifest(std::move(manifest)), m_reporter(std::move(reporter)),
      m_sink(std::make_unique<ReporterSink>(m_reporter))
{
    const wchar_t* line = ::GetCommandLineW();
    m_commandLine = line ? line : L"";
    m_dataFolder = VekStateFile::DefaultDataFolder();
}

VekJobEngine::~VekJobEngine()
{
    try {
        Stop(true);
        // A thread that ended by itself is still joinable.
        if (m_thread && m_thread->joinable() && m_thread->get_id() != std::this_thread::get_id()) {
            m_thread->join();
        }
    } catch (...) {
        QK_LOG_ERROR(L"Stopping the engine thread failed");
    }
}

// ---- seams ----------------------------------------------------------------------------------

void VekJobEngine::setCommandLine(std::wstring commandLine)
{
    m_commandLine = std::move(commandLine);
}

void VekJobEngine::setDataFolder(std::wstring folder)
{
    m_dataFolder = std::move(folder);
}

void VekJobEngine::setShellFolders(std::shared_ptr<IShellFolders> folders)
{
    m_shellFolders = std::move(folders);
}

std::shared_ptr<VekJob> VekJobEngine::createJob(size_t index, const json& options)
{
    return std::make_shared<VekJob>(m_manifest, index, m_reporter, options);
}

IEngineErrorSink* VekJobEngine::errorSink()
{
    return m_reporter ? m_sink.get() : nullptr;
}

void VekJobEngine::reportError(HRESULT code, const wchar_t* place) const
{
    if (m_reporter) {
        m_reporter->logError(code, true, place);
    }
}

// ---- start, stop, pause ----------------------------------------------------------------------

bool VekJobEngine::Start()
{
    {
        qkScopedLock lock(m_lock);
        if (m_running) {
            QK_LOG_WARNING(L"The engine thread runs already, start refused");
            return false;
        }
    }
    // The previous engine thread has cleared its running flag; wait until it has really ended,
    // so that two engine threads never work on one manifest.
    if (m_thread && m_thread->joinable()) {
        m_thread->join();
    }
    m_thread.reset();

    const std::wstring downloadFolder = buildDownloadFolder();
    json options;
    size_t count = 0;
    m_manifest->Modify([&](json& root) {
        json* vekNode = ManifestJson::Member(&root, "vek");
        if (!vekNode || !vekNode->is_object()) {
            return;
        }
        json& bootstrap = (*vekNode)["bootstrap"];
        if (!bootstrap.is_object()) {
            bootstrap = json::object();
        }
        if (!bootstrap.contains("options")) {
            bootstrap["options"] = json::object();
        }
        options = bootstrap["options"];
        json* jobs = ManifestAccess::Jobs(root);
        if (!jobs) {
            return;
        }
        // Copied into each job as they stand, whatever their type.
        const json* priority = ManifestJson::Path(vekNode, {"global", "download_priority"});
        const json* retries = ManifestJson::Path(vekNode, {"global", "TRANSIENT_ERROR_RETRY_COUNT"});
        for (json& job : *jobs) {
            if (!job.is_object()) {
                continue;
            }
            if (priority && !job.contains("download_priority")) {
                job["download_priority"] = *priority;
            }
            if (retries) {
                job["TRANSIENT_ERROR_RETRY_COUNT"] = *retries;
            }
            json* files = ManifestAccess::Files(job);
            if (files) {
                for (json& file : *files) {
                    json* destination = ManifestJson::Member(&file, "destination_file");
                    if (!destination) {
                        continue;
                    }
                    const std::filesystem::path name =
                        std::filesystem::path(ManifestAccess::DestinationFile(file)).filename();
                    *destination = ToUtf8((std::filesystem::path(downloadFolder) / name).wstring());
                }
            }
        }
        count = jobs->size();
    });

    std::deque<std::shared_ptr<VekJob>> jobs;
    for (size_t index = 0; index < count; ++index) {
        jobs.push_back(createJob(index, options));
    }

    {
        qkScopedLock lock(m_lock);
        m_pendingJobs = std::move(jobs);
        m_EngineState = eRunning;
        m_running = true;
        m_jobDoneEvent.SetState(false);
        m_stopEvent.SetState(false);
        m_resumeEvent.Set();
        m_paused = false;
        m_durationFrozen = false;
        m_manifest->SetLastError(S_OK);
    }
    try {
        m_thread = std::make_shared<std::thread>([this] { run(); });
    } catch (...) {
        qkScopedLock lock(m_lock);
        m_pendingJobs.clear();
        m_running = false;
        throw;
    }
    return true;
}

void VekJobEngine::Stop(bool wait)
{
    if (!IsRunning()) {
        return;
    }
    m_stopEvent.Set();
    if (wait && m_thread && m_thread->joinable() && m_thread->get_id() != std::this_thread::get_id()) {
        m_thread->join();
    }
}

void VekJobEngine::Join()
{
    if (m_thread && m_thread->joinable() && m_thread->get_id() != std::this_thread::get_id()) {
        m_thread->join();
    }
}

void VekJobEngine::Pause()
{
    std::shared_ptr<VekJob> job;
    {
        qkScopedLock lock(m_lock);
        m_resumeEvent.SetState(false);
        m_paused = true;
        job = m_currentJob;
    }
    if (job) {
        job->Pause();
    }
}

void VekJobEngine::Resume()
{
    std::shared_ptr<VekJob> job;
    {
        qkScopedLock lock(m_lock);
        m_resumeEvent.Set();
        m_paused = false;
        job = m_currentJob;
    }
    if (job) {
        job->Resume();
    }
}

bool VekJobEngine::IsTerminating()
{
    bool stopped = false;
    bool paused = false;
    {
        qkScopedLock lock(m_lock);
        stopped = ::WaitForSingleObject(m_stopEvent.GetHandle(), 0) == WAIT_OBJECT_0;
        paused = m_paused;
    }
    if (stopped) {
        return true;
    }
    if (!paused) {
        return false;
    }
    qkSyncObject* const objects[] = {&m_stopEvent, &m_resumeEvent};
    qkMultiLock wait(objects, 2);
    const DWORD result = wait.Lock();
    wait.Unlock();
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) {
        return true;
    }
    if (result == WAIT_OBJECT_0 + 1 || result == WAIT_ABANDONED_0 + 1) {
        return false;
    }
    QK_LOG_ERROR(L"Wait Failed");
    return false;
}

// ---- the engine thread -----------------------------------------------------------------------

void VekJobEngine::run()
{
    try {
        runUnguarded();
        return;
    } catch (const JobEngineException& e) {
        QK_LOG_ERROR(L"The engine thread ended by a failure, hr=0x%08X", static_cast<unsigned>(e.GetCode()));
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"The engine thread ran out of memory, hr=0x%08X",
                     static_cast<unsigned>(VEK_E_ENGINE_THREAD_MEMORY));
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"The engine thread ended by an exception: %S", e.what());
    } catch (...) {
        QK_LOG_ERROR(L"The engine thread ended by an unknown exception");
    }
    // The run failed: record it, stop what still runs and tell the subscribers the engine ended.
    std::shared_ptr<VekJob> job;
    {
        qkScopedLock lock(m_lock);
        m_EngineState = eFatalError;
        job = std::move(m_currentJob);
        m_pendingJobs.clear();
    }
    try {
        if (job) {
            job->Stop();
            m_jobEventConnection.disconnect();
            m_progressConnection.disconnect();
            job.reset();
        }
        const json document = m_manifest->Snapshot();
        if (m_reporter) {
            m_reporter->postEvent(eEngineEnd, document);
        }
        m_jobEventSignal(eEngineEnd, document);
    } catch (...) {
        QK_LOG_ERROR(L"The engine's end could not be announced");
    }
    qkScopedLock lock(m_lock);
    m_running = false;
}

void VekJobEngine::waitForCurrentJob(const std::shared_ptr<VekJob>& job)
{
    // The wait ends only once the job's event 1 has been handled and forwarded, or when the
    // job's thread has ended without one, so that the finish is never lost.
    while (job && !IsTerminating()) {
        {
            qkScopedLock lock(m_lock);
            if (m_currentJobFinished) {
                m_jobDoneEvent.SetState(false);
                return;
            }
        }
        if (!job->IsRunning() && job->WaitForEnd(0)) {
            return;
        }
        if (m_jobDoneEvent.Lock(kJobPollMs)) {
            qkScopedLock lock(m_lock);
            if (m_currentJobFinished) {
                m_jobDoneEvent.SetState(false);
                return;
            }
        }
    }
}

void VekJobEngine::runUnguarded()
{
    qkComApartment apartment;
    const HRESULT hrCom = apartment.Initialize(qkComApartment::ModeMultithreaded);
    if (FAILED(hrCom)) {
        QK_LOG_ERROR(L"coInitObject.Initialize() failed, hr=0x%08X", static_cast<unsigned>(hrCom));
        throw JobEngineException(VEK_E_ENGINE_THREAD_COM);
    }

    m_jobEventSignal(eEngineStart, m_manifest->Snapshot());

    for (;;) {
        std::shared_ptr<VekJob> job;
        {
            qkScopedLock lock(m_lock);
            job = m_currentJob;
        }
        waitForCurrentJob(job);

        bool rekey = false;
        if (IsTerminating()) {
            if (job) {
                job->Stop();
                m_jobEventConnection.disconnect();
                m_progressConnection.disconnect();
                qkScopedLock lock(m_lock);
                m_currentJob.reset();
            }
            break;
        }
        if (job) {
            m_jobEventConnection.disconnect();
            m_progressConnection.disconnect();
            rekey = m_manifest->ReadJob(job->JobIndex(), [](const json* node) {
                if (!node) {
                    return false;
                }
                const json* distribution = ManifestJson::Member(node, "distribution");
                const json* status = ManifestJson::Member(node, jobkeys::kRekeyStatus);
                return distribution && distribution->is_object() && distribution->contains("cc_token") && status &&
                       status->is_number_integer() && status->get<int64_t>() == 1;
            }) && GetJobCount() > 1;
            qkScopedLock lock(m_lock);
            m_currentJob.reset();
        }
        job.reset();

        {
            qkScopedLock lock(m_lock);
            const bool failed = m_EngineState == eFatalError || m_EngineState == eFailover ||
                                m_EngineState == eRetryDownloadAllowed;
            if (m_pendingJobs.empty() || failed || rekey) {
                // Only a running engine moves to "all done": a failure state sticks.
                if (m_EngineState == eRunning) {
                    m_EngineState = eJobsDone;
                }
                break;
            }
            m_currentJob = m_pendingJobs.front();
            m_pendingJobs.pop_front();
            m_currentJobFinished = false;
            m_jobDoneEvent.SetState(false);
            job = m_currentJob;
            m_jobEventConnection = job->jobEventSignal().connect(
                [this](int32_t event, const json& node) { return OnJobEvent(event, node); });
            m_progressConnection = job->jobProgressSignal().connect(
                [this](uint64_t total, uint64_t done) { OnJobProgress(total, done); });
        }
        job->Start();
    }

    const json document = m_manifest->Snapshot();
    if (GetEngineState() == eJobsDone) {
        m_jobEventSignal(eEngineJobsDone, document);
        if (m_reporter) {
            m_reporter->postEvent(eEngineJobsDone, document);
        }
    }
    if (m_reporter) {
        m_reporter->postEvent(eEngineEnd, document);
    }
    m_jobEventSignal(eEngineEnd, document);

    qkScopedLock lock(m_lock);
    m_pendingJobs.clear();
    m_running = false;
}

void VekJobEngine::OnJobProgress(uint64_t total, uint64_t done)
{
    qkScopedLock lock(m_lock);
    m_progressSignal(total, done);
}

boost::signals2::connection VekJobEngine::subscribeJobEvents(JobEventSlot slot)
{
    return m_jobEventSignal.connect(std::move(slot), boost::signals2::at_back);
}

boost::signals2::connection VekJobEngine::subscribeJobProgress(JobProgressSlot slot)
{
    return m_progressSignal.connect(std::move(slot), boost::signals2::at_back);
}

// ---- getters ----------------------------------------------------------------------------------

nlohmann::json VekJobEngine::GetJob(int index) const
{
    json job;
    if (index < 0 || !m_manifest->GetJob(static_cast<size_t>(index), job)) {
        throw JobEngineException(VEK_E_JOB_INDEX);
    }
    return job;
}

int VekJobEngine::GetJobCount() const
{
    const bool hasJobs = m_manifest->Read([](const json& root) { return ManifestAccess::Jobs(root) != nullptr; });
    if (!hasJobs) {
        // A manifest without a job array has no jobs; the report says where that was noticed.
        reportError(VEK_E_JOB_INDEX, L"vek::VekJobEngine::GetJobCount(630)");
        return 0;
    }
    return static_cast<int>(m_manifest->GetJobCount());
}

std::shared_ptr<ManifestDocument> VekJobEngine::GetManifest() const
{
    qkScopedLock lock(m_lock);
    return m_manifest;
}

int32_t VekJobEngine::GetEngineState() const
{
    qkScopedLock lock(m_lock);
    return m_EngineState;
}

void VekJobEngine::setEngineState(int32_t state)
{
    qkScopedLock lock(m_lock);
    m_EngineState = state;
}

bool VekJobEngine::IsRunning() const
{
    qkScopedLock lock(m_lock);
    return m_running;
}

bool VekJobEngine::IsPaused() const
{
    qkScopedLock lock(m_lock);
    return m_paused;
}

bool VekJobEngine::IsRebootLimitExceeded() const
{
    qkScopedLock lock(m_lock);
    return m_rebootLimitExceeded;
}

std::wstring VekJobEngine::GetInstalledBinaryPath() const
{
    qkScopedLock lock(m_lock);
    return m_installedBinaryPath;
}

void VekJobEngine::GetDownloadFolder(std::wstring& folder) const
{
    qkScopedLock lock(m_lock);
    folder = buildDownloadFolder();
}

void VekJobEngine::setCleanupEnabled(bool enabled)
{
    qkScopedLock lock(m_lock);
    m_cleanupEnabled = enabled;
}

void VekJobEngine::getCustomLocation(std::wstring& location) const
{
    location = m_manifest->Read([](const json& root) { return ManifestAccess::CustomLocation(root); });
}

void VekJobEngine::setCustomLocation(const std::wstring& location)
{
    m_manifest->Modify([&](json& root) {
        json& vekNode = root["vek"];
        if (!vekNode.is_object()) {
            vekNode = json::object();
        }
        json& bootstrap = vekNode["bootstrap"];
        if (!bootstrap.is_object()) {
            bootstrap = json::object();
        }
        bootstrap["custom_location"] = ToUtf8(location);
    });
}

void VekJobEngine::getManifestKeyPath(std::wstring& path) const
{
    try {
        const std::wstring id = m_manifest->Read([](const json& root) { return ManifestAccess::ManifestId(root); });
        path = std::wstring(VekRegistryState::kBaseKey) + L"\\" + id;
    } catch (const std::exception&) {
        path.clear();
    }
}

// ---- saved state -----------------------------------------------------------------------------

bool VekJobEngine::loadState()
{
    const VekStateFile stateFile(m_dataFolder, errorSink());
    json saved;
    const json manifest = m_manifest->Snapshot();
    const HRESULT hr = stateFile.Load(manifest, saved);
    if (SUCCEEDED(hr)) {
        m_manifest->Modify([&](json& root) {
            json* vekNode = ManifestJson::Member(&root, "vek");
            const json* savedVek = ManifestJson::Member(&saved, "vek");
            if (!vekNode || !savedVek) {
                return;
            }
            if (const json* restart = ManifestJson::Member(savedVek, "restart")) {
                (*vekNode)["restart"] = *restart;
            }
            const json* savedJobs = ManifestAccess::Jobs(saved);
            json* jobs = ManifestAccess::Jobs(root);
            if (!savedJobs || !jobs) {
                return;
            }
            for (const json& savedJob : *savedJobs) {
                const json* id = ManifestJson::Member(&savedJob, "job_id");
                const json* paused = ManifestJson::Member(&savedJob, jobkeys::kHttpPausedDownload);
                if (!id || !paused) {
                    continue;
                }
                for (json& job : *jobs) {
                    const json* jobId = ManifestJson::Member(&job, "job_id");
                    if (jobId && *jobId == *id) {
                        job[jobkeys::kHttpPausedDownload] = *paused;
                    }
                }
            }
        });
        return true;
    }
    if (hr == VEK_E_STATE_FILE_MISSING || hr == VEK_E_FILE_NOT_FOUND) {
        return true;
    }
    if (hr == VEK_E_JSON_NOT_PARSED || hr == VEK_E_STATE_CRC_MISMATCH) {
        // The loader has deleted the damaged file; the run goes on with the shipped manifest.
        if (m_reporter) {
            m_reporter->logError(hr);
        }
        const std::wstring path = stateFile.Path(manifest);
        if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && !::DeleteFileW(path.c_str())) {
            QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", path.c_str(),
                         static_cast<unsigned>(HRESULT_FROM_WIN32(::GetLastError())));
        }
        return true;
    }
    throw JobEngineException(hr);
}

// ---- path expansion --------------------------------------------------------------------------

void VekJobEngine::doPathExpansion()
{
    VekPathExpansion(m_shellFolders).doPathExpansion(*m_manifest);
}

void VekJobEngine::expandPath(std::wstring& text)
{
    VekPathExpansion(m_shellFolders).expandPath(text);
}

} // namespace vek
