#pragma once
// One job of the manifest's "job_array", run on a thread of its own: the backend check, the
// download of the job's files and their validation, then either the archive plug-in or the
// installation plug-in. Everything the job learns is kept in its own node of the Manifest
// document ("job_state", "job_error_code", "error_type", ...), so that the state file and the
// windows see it.
//
// The job engine builds one VekJob per job node, connects to its two signals, starts it, and may
// pause, resume and stop it from another thread. A job object runs once. Destruction stops a
// running job and joins its thread.
//
// Events carry a copy of the job node taken when the event is fired, never the live node.
// Signals are fired on the thread that fires them: the job thread, the download manager's thread
// (progress, download start) or a plug-in's own thread (plug-in events). Event 1 (eJobFinish) is
// always the last event of a run; it is fired while the job holds its lock, so its slots must not
// wait for another thread that needs this job.
#include "common/system/qkHandle.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobEventEmitter.h"
#include "engine/report/VekDataReporter.h"
#include "services/launcher/VekValidateFile.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CLockedFileVerifier;

namespace vek {

class CWinHTTPDownloadManager;

// Thrown on the job thread only, when a plug-in cannot be found, verified, loaded, created or
// started; the job then ends with eFatalError and eJobFinish.
class JobException : public std::exception {
public:
    explicit JobException(HRESULT code) noexcept : m_code(code) {}

    HRESULT GetCode() const noexcept { return m_code; }
    // The message chosen by the code; "Unknown JobException" for codes without one.
    const char* what() const noexcept override;

private:
    HRESULT m_code;
};

class VekJob {
public:
    using json = nlohmann::json;

    // Test seams; the defaults are what the launcher runs with.
    struct Tuning {
        DWORD pollIntervalMs = 1000;      // plug-in status poll and download wait
        DWORD downloadRetryWaitMs = 2000; // download manager's pause between transient retries
        DWORD downloadTimeoutSeconds = 30;
        // How a downloaded file is validated against its "validation" node.
        HRESULT (*validateFile)(const wchar_t*, const nlohmann::json*, int32_t*) = ValidateFile;
    };

    // `manifest` holds job node `jobIndex`; `reporter` may be empty; `options` is a copy of the
    // manifest's "vek"."bootstrap"."options" node (proxy settings live there). Writes
    // "job_state" 0, "job_error_code" 0 and "error_type" 0 into the job node.
    VekJob(std::shared_ptr<ManifestDocument> manifest, size_t jobIndex, std::shared_ptr<VekDataReporter> reporter,
           nlohmann::json options);
    ~VekJob();
    VekJob(const VekJob&) = delete;
    VekJob& operator=(const VekJob&) = delete;

    JobEventSignal& jobEventSignal() { return m_jobEvents; }
    JobProgressSignal& jobProgressSignal() { return m_progress; }

    // Starts the job thread (a job object runs once; a second Start while running is refused).
    void Start();
    // Forces eStopped, stops the download manager or the plug-in, and joins the job thread.
    // Safe from any thread but the job thread's own slots; safe when the job never started.
    void Stop();
    void Pause();
    void Resume();

    // "job_state" of the node; eDownloadError when absent.
    int32_t GetState() const;
    // True from Start until the state loop has ended.
    bool IsRunning() const;
    bool IsPaused() const;
    size_t JobIndex() const { return m_jobIndex; }
    // Blocks until the job thread has ended (true) or `milliseconds` passed (false).
    bool WaitForEnd(DWORD milliseconds) const;

    void SetTuning(const Tuning& tuning) { m_tuning = tuning; }

private:
    class PluginCallback;
    class ArchiveCallback;
    struct PluginOutcome {
        bool fire = false;
        int32_t event = 0;
        bool report = false;
        int32_t reportCode = 0;
    };

    void run();
    void runLoop();
    void endThread();
    void JoinThread();
    // True when the stop event is set; while paused, waits for the resume or the stop.
    bool IsTerminating();
    // The stop event is set (no wait).
    bool StopRequested() const;
    void SetState(int32_t state);
    // Sets the state under the job lock unless a stop was requested (false then).
    bool SetStateUnlessStopped(int32_t state);
    void HandleJobType();

    // Stages.
    void preProcess();
    void download();
    HRESULT startDownload(const std::shared_ptr<CWinHTTPDownloadManager>& manager);
    void waitForDownload(const std::shared_ptr<CWinHTTPDownloadManager>& manager);
    void OnDownloadEvent(int event);
    void OnDownloadProgress(uint64_t total, uint64_t done);
    bool validateDownloadedFiles();
    void postProcess();
    PluginOutcome applyPluginStatus(int32_t status, void* pluginObject);
    void ArchiveDownloadedFiles();
    bool getJobPlugin(json& entry);
    bool getArchivePlugin(json& entry);

    // Plug-in callbacks (on the plug-in's threads).
    void handlePluginError(HRESULT code, const wchar_t* errorData);
    void handlePluginEvent(int32_t event);

    // Job node access through the document (under its lock).
    json JobSnapshot() const;
    void SetJobValue(const char* key, json value);
    void RemoveJobValue(const char* key);
    // Fires a job event with a copy of the job node taken now; the signal's result.
    int32_t Fire(int32_t event);
    void reportJobError(HRESULT code, const wchar_t* extra, int priority, int failureCount);

    std::shared_ptr<ManifestDocument> m_manifest;
    size_t m_jobIndex;
    std::shared_ptr<VekDataReporter> m_reporter;
    json m_options;
    // Stands in for a job node that the document does not hold.
    json m_orphanNode = json::object();
    Tuning m_tuning;

    mutable std::recursive_mutex m_lock;
    std::mutex m_joinLock;
    std::thread m_thread;
    qkHandle m_resumeEvent;
    qkHandle m_stopEvent;
    qkHandle m_wakeEvent;
    qkHandle m_endedEvent;
    std::shared_ptr<CWinHTTPDownloadManager> m_downloadManager;
    // The files the job validated, held open for reading with read sharing only from before their
    // check until the job ends, so that none is written, renamed or deleted before it is used.
    // Guarded by m_lock; let go when the job ends, before any clean-up deletes them.
    std::vector<std::unique_ptr<qkHandle>> m_handedFiles;

    JobEventSignal m_jobEvents;
    JobProgressSignal m_progress;
    JobEventEmitter m_emitter{m_jobEvents};

    bool m_running = false;
    bool m_started = false;
    bool m_paused = false;
    bool m_nextTask = false;
    bool m_downloadStarted = false;
    bool m_pluginStage = false;
    bool m_noDownloadFailedEvent = false;
    // The installation plug-in while its stage holds it, for the callbacks' error-code reads.
    void* m_currentPlugin = nullptr;
};

} // namespace vek
