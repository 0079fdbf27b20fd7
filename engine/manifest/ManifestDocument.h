#pragma once
// The Manifest document: the launcher's one JSON document of instructions, as extracted from the
// package appended to its executable, and the run's state written back into its job nodes.
//
// Shape: the root object has "vek"; "vek"."job_array" holds the job nodes, element 0 being the
// install job. A run adds the root member "last_error" and, in each job node, the run-time keys
// ("job_state", "job_error_code", "error_type", ...).
//
// Threads: the engine base owns one document; the main thread, the engine thread, each job's
// thread and the download threads read and change it. Every access goes through the document's
// lock: Read and Modify hand the root to a function under the lock, and the job operations below
// change one job node under it. Never keep a reference from Read or Modify beyond the function.
// The lock is recursive, so a function given to Modify may call the job operations.
//
// Text in the document is UTF-8; the operations that take or give text outside JSON use UTF-16.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace vek {

class ManifestDocument {
public:
    using json = nlohmann::json;

    // A document nested deeper than this is refused when loaded: the manifest holds a few
    // levels only, and the walks over it must not exhaust a thread's stack.
    static constexpr size_t kMaxDepth = 64;

    ManifestDocument() = default;
    ManifestDocument(const ManifestDocument&) = delete;
    ManifestDocument& operator=(const ManifestDocument&) = delete;

    // Extracts and parses the manifest appended to a launcher file. S_OK; E_INVALIDARG, the
    // extraction's result, VEK_E_MANIFEST_NOT_UTF8 (UTF-16 or UTF-32 text) or VEK_E_JSON_NOT_PARSED (not JSON, root no
    // object, nested too deep). The document is unchanged on failure.
    HRESULT LoadFromLauncher(const wchar_t* launcherPath);
    // Parses UTF-8 text (comments allowed; a UTF-8 byte-order mark skipped). S_OK or VEK_E_JSON_NOT_PARSED.
    HRESULT LoadFromText(std::string_view utf8);
    // Takes a parsed root. S_OK or VEK_E_JSON_NOT_PARSED (no object, nested too deep).
    HRESULT Adopt(json root);

    // The document as the compact writer writes it: one line, keys sorted, a line feed.
    std::string ToCompactText() const;
    // A copy of the whole document.
    json Snapshot() const;

    // Runs `function(const json& root)` under the lock and returns its result.
    template <typename Function>
    decltype(auto) Read(Function&& function) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return std::forward<Function>(function)(static_cast<const json&>(m_root));
    }
    // Runs `function(json& root)` under the lock and returns its result.
    template <typename Function>
    decltype(auto) Modify(Function&& function)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return std::forward<Function>(function)(m_root);
    }

    // The document's lock, for a component that keeps a reference to a job node and must take the
    // same lock around its own reads and writes of that node (the job's download manager).
    std::recursive_mutex& Mutex() const { return m_lock; }

    // Runs `function(const json* job)` / `function(json* job)` under the lock with job node
    // `index`, or null when there is no such job: for readers and writers of several keys at once.
    template <typename Function>
    decltype(auto) ReadJob(size_t index, Function&& function) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return std::forward<Function>(function)(Job(index));
    }
    template <typename Function>
    decltype(auto) ModifyJob(size_t index, Function&& function)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return std::forward<Function>(function)(Job(index));
    }

    // Jobs: the elements of "vek"."job_array"; 0 when it is missing or no array.
    size_t GetJobCount() const;
    // A copy of job node `index`; false when there is no such job.
    bool GetJob(size_t index, json& job) const;
    // "job_state"; eDownloadError (-2) when the job, its state or an integer state is missing.
    int32_t GetJobState(size_t index) const;
    // Sets "job_state" and keeps "error_type" with it: eDownloadError sets 1; eInstallFailed sets
    // 0 inside the plug-in stage and 2 outside it; other states leave it. False without the job.
    bool SetJobState(size_t index, int32_t state, bool pluginStage);
    // What a job's construction writes: "job_state" 0, "job_error_code" 0, "error_type" 0.
    bool ResetJobState(size_t index);
    // What an installation plug-in's event changes in its job's node before the job passes the
    // event on: -3 "error_type" 2, 17 "error_type" 3, 29 to 31 "rekey_status" event - 29, and 30
    // also "OtherErrors" = the plug-in's error code. Other events change nothing. False without
    // the job.
    bool RecordPluginEvent(size_t index, int32_t event, int32_t pluginErrorCode);
    // A run-time key of the job: read (null when absent), set, remove.
    json GetJobValue(size_t index, std::string_view key) const;
    bool SetJobValue(size_t index, std::string_view key, json value);
    bool RemoveJobValue(size_t index, std::string_view key);
    // Root member "last_error": the run's last failure code.
    void SetLastError(HRESULT code);

    // The state of a job node held by the caller: "job_state", or eDownloadError when missing
    // or not an integer (logged).
    static int32_t ReadJobState(const json& job);
    // The same change as SetJobState on a node the caller holds under the document's lock.
    static void WriteJobState(json& job, int32_t state, bool pluginStage);

private:
    json* Job(size_t index);
    const json* Job(size_t index) const;

    mutable std::recursive_mutex m_lock;
    json m_root = json::object();
};

} // namespace vek
