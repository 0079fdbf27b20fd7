#pragma once
// The base of the launcher's engine. It owns the manifest document, the engine's data reporter and
// the job engine, declares the engine interface that the interactive engine implements, and runs
// the common start sequence: prerequisites, manifest, launch ping, single-instance test, creation
// of the job engine, connection of its signals, bootstrap, user interface and start of the jobs.
// It also writes the state file when a job asks for it.
//
// Threads: Start runs on the main thread. forwardJobEvent and forwardJobProgress are the slots
// connected to the job engine's signals and run on the worker that fires them: what implements
// OnJobEvent and OnJobProgress must not touch windows (it posts messages instead).
#include <windows.h>

#include <boost/signals2/connection.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class ManifestDocument;
class VekDataReporter;
class VekJobEngine;

class VekEngineBase {
public:
    using json = nlohmann::json;

    // A manifest id longer than this is logged: the launcher cannot relaunch itself at log-on.
    static constexpr size_t kMaxRelaunchManifestId = 56;

    VekEngineBase();
    virtual ~VekEngineBase();
    VekEngineBase(const VekEngineBase&) = delete;
    VekEngineBase& operator=(const VekEngineBase&) = delete;

    // ---- the engine interface ------------------------------------------------------------
    // A job event (job: the job node, or the document for run-wide events); worker thread.
    virtual HRESULT OnJobEvent(int32_t event, const json& job) = 0;
    // Download progress in bytes; worker thread.
    virtual void OnJobProgress(uint64_t total, uint64_t done) = 0;
    // Creates the user interface's hidden parts once the bootstrap allows the run.
    virtual HRESULT initialize() = 0;
    // Fills the document with the launcher's manifest.
    virtual HRESULT loadManifest(ManifestDocument& manifest) = 0;
    // Takes the single-instance lock of the manifest.
    virtual HRESULT canRun(const wchar_t* manifestId) = 0;
    // The system is supported and administrator rights are at hand or obtainable.
    virtual HRESULT prerequisitesSatisified() = 0;
    // The engine's data reporter for the manifest (may be empty).
    virtual std::shared_ptr<VekDataReporter> createDataReporter(ManifestDocument& manifest) = 0;
    // The whole start of the engine that wWinMain calls.
    virtual HRESULT Start(const wchar_t* exePath, const wchar_t* cmdLine) = 0;

    // ---- the common start sequence and its results ---------------------------------------
    // E_INVALIDARG for a null path; otherwise the first failing step's result, VEK_E_CLEANUP
    // when the bootstrap cleaned up, or success (with a restart flag set when the bootstrap
    // relaunched or needs elevation). Exceptions end the start with the HRESULT they carry,
    // E_OUTOFMEMORY or E_FAIL.
    HRESULT Start(const wchar_t* exePath);

    bool restartRequested() const { return m_RestartRequested; }
    bool restartElevatedRequested() const { return m_RestartElevatedRequested; }

    // The slots connected to the job engine's signals.
    HRESULT forwardJobEvent(int32_t event, const json& job);
    void forwardJobProgress(uint64_t total, uint64_t done);

    // Writes the state file of the current document (never throws, never fails its caller).
    void saveState();
    // Whether the command line carries the switch (names compare without regard to case).
    bool hasSwitch(const wchar_t* name) const;
    // The switch's value text; empty when absent.
    std::wstring switchValue(const wchar_t* name) const;

    std::shared_ptr<VekJobEngine> jobEngine() const { return m_JobEngine; }
    std::shared_ptr<ManifestDocument> manifest() const { return m_Manifest; }
    std::shared_ptr<VekDataReporter> dataReporter() const { return m_DataReporter; }

    // The command line whose switches the engine reads; by default the process's own.
    void setCommandLine(std::wstring commandLine);
    const std::wstring& commandLine() const { return m_commandLine; }
    // The launcher's data folder (state file, lock); by default the common one.
    void setDataFolder(std::wstring folder);
    std::wstring dataFolder() const;

protected:
    // Runs the job engine's bootstrap, and starts the jobs once the user interface is ready.
    virtual int32_t runBootstrap(VekJobEngine& engine);
    virtual void startJobs(VekJobEngine& engine);
    // Creates the job engine (tests point it at their folders and command line).
    virtual std::shared_ptr<VekJobEngine> createJobEngine(std::shared_ptr<VekDataReporter> reporter,
                                                          std::shared_ptr<ManifestDocument> manifest,
                                                          const std::wstring& exePath);

    std::shared_ptr<VekDataReporter> m_DataReporter;
    std::shared_ptr<VekJobEngine> m_JobEngine;
    std::shared_ptr<ManifestDocument> m_Manifest;
    // Set on the main thread by the start and on a worker by a job's request (read by wWinMain).
    std::atomic<bool> m_RestartRequested{false};
    std::atomic<bool> m_RestartElevatedRequested{false};
    std::shared_ptr<boost::signals2::scoped_connection> m_JobEventConnection;
    std::shared_ptr<boost::signals2::scoped_connection> m_ProgressConnection;

private:
    std::wstring m_commandLine;
    std::wstring m_dataFolder;
};

} // namespace vek
