#pragma once
// Fetches all files of one job: decides which files of `file_array` still have to be fetched,
// orders them by priority, asks the server for each size, then runs a download thread that hands
// one file at a time to the download engine and turns its outcome into retries, skips, a pause or
// one final event. What it learns is written into the job node (resumable through
// `HttpPausedDownload`).
#include "common/base/qkCriticalSection.h"
#include "common/base/qkScopedLock.h"
#include "common/system/qkHandle.h"
#include "net/download/CWinHTTPEngine.h"
#include "net/download/IDownloadEngineObserver.h"
#include "net/download/IDownloadJobHooks.h"

#include <boost/signals2/signal.hpp>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vek {

// Download events (the int of the event signal).
enum : int {
    eDownloadFileDone = 0,
    eDownloadStart = 1,
    eDownloadStopped = 2,
    eJobValidationDone = 3,
    eJobValidation = 4,
    eWinHTTPDownloadStart = 5,
    eDownloadPaused = 6,
    eDownloadFatalError = -1,
    eDownloadTransientError = -2,
    eDownloadOutOfDiskSpace = -3,
};

// The engine's error after a write found the disk full: the system's ERROR_DISK_FULL as an
// HRESULT (0x80070070), not a code of the launcher's own family.
constexpr HRESULT kDiskFullResult = static_cast<HRESULT>(0x80070000u | ERROR_DISK_FULL);

class CWinHTTPDownloadManager : private IDownloadEngineObserver {
public:
    using EventSignal = boost::signals2::signal<void(int)>;
    using ProgressSignal = boost::signals2::signal<void(std::uint64_t, std::uint64_t)>;

    // job and options are borrowed: the job node of the manifest and the bootstrap options node.
    // hooks carries the job-error report to the job's data reporter (none: the report is logged).
    CWinHTTPDownloadManager(nlohmann::json& job, std::shared_ptr<IDownloadJobHooks> hooks, nlohmann::json& options);
    ~CWinHTTPDownloadManager();
    CWinHTTPDownloadManager(const CWinHTTPDownloadManager&) = delete;
    CWinHTTPDownloadManager& operator=(const CWinHTTPDownloadManager&) = delete;

    void Start();
    void Stop();
    void Pause();
    void Resume();
    bool IsRunning();

    // The lock over the job node while the manager runs: the download thread writes the node's
    // keys under it only, and whoever else reads or saves the node takes it too.
    qkCriticalSection& JobLock() { return m_jobLock; }
    // Makes the manager take the given lock instead of its own around every access to the job
    // node: the lock of the document that holds the node, so that its other readers and writers
    // never meet the download thread's writes. Call before Start.
    void ShareJobLock(std::recursive_mutex* lock) { m_sharedJobLock = lock; }

    EventSignal& Events() { return m_events; }
    ProgressSignal& Progress() { return m_progress; }

    // Pause between retries of transient failures (2000 ms); a stop cuts it short.
    void SetRetryWait(DWORD milliseconds) { m_retryWaitMs = milliseconds; }
    // Request time-out handed to each new engine (30 s).
    void SetEngineTimeout(DWORD seconds) { m_engineTimeout = seconds; }
    // The manifest whose registry key keeps the files' failure counts; set before Start.
    void SetManifestId(std::wstring manifestId) { m_manifestId = std::move(manifestId); }

private:
    using FilePair = std::pair<std::wstring, std::wstring>; // source address, destination path

    void OnFileProgress(std::uint64_t fileBytes) override;
    void run();
    bool IsTerminating();
    // Whether a file already at its destination may count as present: always without full rights;
    // with them only a file of Administrators, SYSTEM or this account that no other account may
    // write (qkFolderTrust), opened as itself.
    static bool MayAdopt(const std::wstring& destination);
    void getFilesToDownload(std::vector<FilePair>& toFetch, const nlohmann::json& fileArray,
                            std::vector<FilePair>& present);
    void ReportFileFailure(const std::wstring& address, int priority);
    // `file_priority` of the address's `file_array` entry (0 when none).
    int FilePriority(const std::wstring& address);
    void Fire(int event);
    // Every read and write of the job node by the manager goes through here, under the job lock.
    template <typename F>
    auto WithJob(F&& f)
    {
        if (m_sharedJobLock != nullptr) {
            std::lock_guard<std::recursive_mutex> shared(*m_sharedJobLock);
            return f(m_job);
        }
        qkScopedLock lock(m_jobLock);
        return f(m_job);
    }

    // Borrowed nodes.
    nlohmann::json& m_job;
    nlohmann::json& m_options;
    std::shared_ptr<IDownloadJobHooks> m_hooks;
    std::wstring m_manifestId;
    EventSignal m_events;
    ProgressSignal m_progress;
    bool m_firstBytes = true;

    std::mutex m_stopMutex;
    std::thread m_thread;
    std::unique_ptr<CWinHTTPEngine> m_engine;
    std::deque<nlohmann::json> m_queue;
    nlohmann::json m_proxySettings;
    qkHandle m_runEvent;
    qkHandle m_stopEvent;
    bool m_paused = false;
    bool m_running = false;
    std::uint64_t m_bytesDone = 0;
    std::uint64_t m_bytesTotal = 0;
    qkCriticalSection m_managerLock; // recursive for its owner
    qkCriticalSection m_jobLock;
    std::recursive_mutex* m_sharedJobLock = nullptr;
    DWORD m_retryWaitMs = 2000;
    DWORD m_engineTimeout = 30;
};

} // namespace vek
