#pragma once
// The job engine: turns the manifest's "job_array" into jobs and runs them one after the other on
// an engine thread of its own. It owns the engine state, the queue of jobs still to run, the job
// that runs now and the stop, pause and resume machinery; every job event passes through
// OnJobEvent (registry values, reports, engine state) before it reaches the subscribers.
//
// Around that core: bootstrap (copy to the run folder, verification, relaunch), clean-up, the
// restoring of saved state, the per-manifest and per-job registry values, path expansion, the Run
// value, the run task, shortcuts and the job file locations.
//
// Threads: the user-interface thread calls Start, Stop, Pause, Resume, the getters, bootstrap and
// clean-up; the engine thread runs the jobs; each job's thread calls OnJobEvent and OnJobProgress.
// The engine lock is held only for short sections, never while a job is started, stopped or
// joined, and never while the job-event signal is emitted. The progress signal is emitted under
// the lock: its subscribers must not call back into the engine (they only post window messages).
#include "engine/jobengine/VekCleanupFlags.h"
#include "common/base/qkCriticalSection.h"
#include "common/base/qkEvent.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/VekJobEventEmitter.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/state/IEngineErrorSink.h"

#include <windows.h>
#include <shobjidl.h>

#include <boost/signals2/connection.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vek {

class ManifestDocument;
class VekDataReporter;
class VekJob;
class VekRegistryState;
class IShellFolders;
class VekBootstrapSystem;

class VekJobEngine {
public:
    using json = nlohmann::json;

    // The engine state (GetEngineState), named in VekJobStates.h. Inside the engine, eFatalError
    // and eFailover name these states; the job events of the same names are written
    // vek::eFatalError and vek::eFailover.
    using EngineState = engine_state::EngineState;
    using enum engine_state::EngineState;

    // Bootstrap results.
    enum BootstrapResult : int32_t {
        eBootstrapContinue = 0,       // start the jobs
        eBootstrapRelaunched = 1,     // the launcher copy was started: end this process
        eBootstrapCleanedUp = 2,      // the reboot limit was exceeded and clean-up ran
        eBootstrapNeedsElevation = 3, // the copy cannot be verified without elevation
        eBootstrapAskLocation = 4,    // a custom location is required
    };

    using enum vek::CleanupFlags;

    using JobEventSlot = std::function<int32_t(int32_t, const json&)>;
    using JobProgressSlot = std::function<void(uint64_t, uint64_t)>;

    // reporter may be empty: every report is then skipped. currentPath: the full path of the
    // running launcher executable.
    VekJobEngine(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<ManifestDocument> manifest,
                 std::wstring currentPath);
    // Stops the engine and waits for its thread.
    virtual ~VekJobEngine();
    VekJobEngine(const VekJobEngine&) = delete;
    VekJobEngine& operator=(const VekJobEngine&) = delete;

    // ---- the engine thread ----------------------------------------------------------------
    // Builds one job per "job_array" element and starts the engine thread. Refused (false, with
    // a warning) while an engine thread runs; a previous, finished engine thread is joined first.
    bool Start();
    // Sets the stop event when the engine runs; with wait, joins the engine thread.
    void Stop(bool wait);
    // Waits until the engine thread has ended (after its event 11); at once when there is none.
    void Join();
    void Pause();
    void Resume();
    // True once stopped; while paused, waits until Resume (false) or Stop (true).
    bool IsTerminating();

    // A copy of job node index of "job_array"; JobEngineException VEK_E_JOB_INDEX out of range.
    json GetJob(int index) const;
    // The number of jobs; 0 (reported) when there is no "job_array".
    int GetJobCount() const;
    std::shared_ptr<ManifestDocument> GetManifest() const;
    int32_t GetEngineState() const;
    bool IsRunning() const;
    bool IsPaused() const;
    // The download folder, under the engine lock.
    void GetDownloadFolder(std::wstring& folder) const;
    std::wstring GetInstalledBinaryPath() const;
    const std::wstring& GetCurrentPath() const { return m_currentPath; }
    bool IsRebootLimitExceeded() const;

    boost::signals2::connection subscribeJobEvents(JobEventSlot slot);
    boost::signals2::connection subscribeJobProgress(JobProgressSlot slot);

    // Connected to the current job's signals while it runs (job thread).
    int32_t OnJobEvent(int32_t event, const json& job);
    void OnJobProgress(uint64_t total, uint64_t done);

    // Restores "vek"."restart" and each job's "HttpPausedDownload" from the state file; a
    // damaged file is reported and deleted. Throws JobEngineException for other failures.
    bool loadState();
    void setCleanupEnabled(bool enabled);
    void getCustomLocation(std::wstring& location) const;
    void setCustomLocation(const std::wstring& location);
    // "Software\Vallor\Vek\<manifest id>"; empty when it cannot be built.
    void getManifestKeyPath(std::wstring& path) const;

    // ---- bootstrap, clean-up, shortcuts (VekJobEngineBootstrap/CleanUp/Shortcuts.cpp) --------
    int32_t Bootstrap();
    bool CanCleanup();
    void CleanUp(unsigned flags);
    void deleteDownloadsFolder();
    void cleanupStateFile();

    void createRunKeys(const std::wstring& launcherPath);
    void createRunTask(const std::wstring& extraArguments);
    void deleteRunTask();
    void createShortcuts(const std::wstring& installFolder, const std::wstring& launcherPath);
    // A shell-link object aimed at target; null on failure. The caller releases it.
    IShellLinkW* createShellLink(const std::wstring& target);
    HRESULT createShortcut(IPersistFile* link, int csidl, const std::wstring& subFolder, const std::wstring& fileName);
    void deleteShortcuts(unsigned flags);
    // "vek"."global" has key and its integer value is not 1.
    bool hasGlobalFlag(const char* key) const;

    // ---- registry values (VekJobEngineRegistry.cpp) ----------------------------------------
    bool setStartKey(const json& job);
    bool startKeySet(const json& job);
    bool setFinishKey(const json& job);
    bool isJobFinished(const json& job);
    bool setDownloadFinishedStatus(const json& job);
    bool isDownloadComplete(const json& job);
    void deleteDownloadCompleteKey();
    bool updateJobFailureCount(const json& job);
    void SaveDownloadDuration(const json& job);
    void GetPreviousDownloadDuration(const json& job);
    void DeleteDownloadDurationKey(const json& job);
    unsigned getRetryDownload();
    bool setRetryDownload(unsigned value);
    void setRetryDownloadDone();
    bool IsDownloadAccepted();
    bool exceededRebootCount();
    void resetRebootCount();
    void deleteRegistryKeys();

    // ---- path expansion -------------------------------------------------------------------
    void doPathExpansion();
    void expandPath(std::wstring& text);

    // ---- job file locations and local files (VekJobEngineFiles.cpp) ------------------------
    std::wstring buildInstallFolder() const;
    std::wstring buildDownloadFolder() const;
    static std::wstring getFileName(const std::wstring& path);
    void updateLocalFileInformation();
    bool isJobComplete(const json& job) const;
    bool isFirstJobComplete() const;
    bool areAllJobsComplete() const;
    bool checkPathLengths(const std::wstring& folder) const;
    void deleteResidueTempFiles();

    // ---- seams for tests and for the bootstrap helpers ------------------------------------
    // The command line whose switches the engine reads ("m", "r", "noui", ...); by default the
    // process's own.
    void setCommandLine(std::wstring commandLine);
    const std::wstring& commandLine() const { return m_commandLine; }
    // The launcher's data folder that holds the state file; by default the common one.
    void setDataFolder(std::wstring folder);
    const std::wstring& dataFolder() const { return m_dataFolder; }
    // The shell folders that path expansion asks; by default the system's.
    void setShellFolders(std::shared_ptr<IShellFolders> folders);
    // What bootstrap asks of the system; tests replace single answers.
    void setBootstrapSystem(std::shared_ptr<VekBootstrapSystem> system) { m_bootstrapSystem = std::move(system); }

protected:
    // Builds the job of job node index; tests replace it to tune the jobs they run.
    virtual std::shared_ptr<VekJob> createJob(size_t index, const json& options);

    // Bootstrap's outside world (rights, trust repair, verification and start of the copy);
    // created on first use with the system's answers.
    VekBootstrapSystem& bootstrapSystem();

    // Sets the engine state under the engine lock.
    void setEngineState(int32_t state);

    // The reporter's error slot for the registry state and the state file (empty reporter:
    // nothing is reported).
    IEngineErrorSink* errorSink();
    // Reports an error to the data reporter with its place text: the qualified method and a fixed
    // number ("vek::VekJobEngine::CleanUp(1280)"), which the report's readers know the place by;
    // it is not the source line and does not move with edits.
    void reportError(HRESULT code, const wchar_t* place) const;
    // Runs function with the registry state of this manifest, under the document's lock.
    void withRegistryState(const std::function<void(VekRegistryState&)>& function);

private:
    class ReporterSink;

    void run();
    void runUnguarded();
    void waitForCurrentJob(const std::shared_ptr<VekJob>& job);
    void finishStep(int32_t event, const json& job);
    void endOfRun();
    bool hasFailover() const;
    int32_t forward(int32_t event, const json& job);
    int32_t onJobFinish(const json& job);
    int32_t onDownloadFailed(const json& job);
    void onDownloadFinish(const json& job);
    void retryDecision(int32_t event, const json& job);
    void postEvent(int32_t event, const json& job);
    void postEventWithData(int32_t event, const json& job);

    std::wstring m_currentPath;
    std::wstring m_installedBinaryPath;
    std::shared_ptr<ManifestDocument> m_manifest;
    bool m_running = false;
    bool m_paused = false;
    bool m_rebootLimitExceeded = false;
    bool m_cleanupEnabled = true;
    bool m_durationFrozen = false;
    // This engine has granted its one new download after an installation error; kept across
    // restarts of the engine, so that the grant holds even when the registry cannot record it.
    bool m_retryDownloadGranted = false;
    int32_t m_EngineState = eIdle;
    mutable qkCriticalSection m_lock;
    qkEvent m_stopEvent{true};
    qkEvent m_jobDoneEvent{true};
    qkEvent m_resumeEvent{true};
    std::shared_ptr<std::thread> m_thread;
    std::deque<std::shared_ptr<VekJob>> m_pendingJobs;
    boost::signals2::connection m_jobEventConnection;
    boost::signals2::connection m_progressConnection;
    JobEventSignal m_jobEventSignal;
    JobProgressSignal m_progressSignal;
    std::shared_ptr<VekJob> m_currentJob;
    bool m_currentJobFinished = false; // the current job's event 1 has been forwarded
    std::shared_ptr<VekDataReporter> m_reporter;
    std::unique_ptr<ReporterSink> m_sink;

    std::wstring m_commandLine;
    std::wstring m_dataFolder;
    std::shared_ptr<IShellFolders> m_shellFolders;
    std::shared_ptr<VekBootstrapSystem> m_bootstrapSystem;
};

} // namespace vek
