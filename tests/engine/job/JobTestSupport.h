#pragma once
// Shared pieces of the job tests: a job run against the local HTTPS test server, with a manifest
// built per test, the scripted plug-in as a job file, and a record of the job's events.
#include "engine/job/VekJob.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekDataReporter.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace jobtest {

using nlohmann::json;

// The test plug-in DLL copies made by the signing fixture ("level3", "unsigned", "tampered"),
// as Windows paths.
std::wstring SignedPlugin(const char* variant, const char* dll = "jobs_scripted_plugin.dll");
std::string ReadBytes(const std::wstring& path);
std::string Sha256(const std::string& bytes);
bool Exists(const std::wstring& path);
// The plug-in type the running build looks for.
const char* PluginType();
std::string Utf8(const std::wstring& text);

// Records the reporter's job-error and error reports instead of sending them.
class RecordingReporter : public vek::VekDataReporter {
public:
    RecordingReporter() : vek::VekDataReporter(nullptr) {}
    HRESULT logJobError(HRESULT code, bool send, const json& job, const wchar_t* extra, int filePriority,
                        int fileFailureCount) override;
    HRESULT logError(HRESULT code, bool send, json& record) override;
    HRESULT logEvent(int event, const json& job, bool send) override;

    struct Report {
        HRESULT code;
        std::wstring extra;
        int priority;
        int count;
    };
    std::vector<Report> JobErrors();
    std::vector<HRESULT> Errors();

private:
    std::mutex m_recordLock;
    std::vector<Report> m_jobErrors;
    std::vector<HRESULT> m_errors;
};

// One job of a manifest of its own: files on the server under a prefix of the test's own,
// destinations in a scratch folder, the run and its events.
class JobRun {
public:
    explicit JobRun(const std::string& name, const char* jobType = "install");
    ~JobRun();

    // A file on the server (critical unless priority < 0) with its digest in the entry; the
    // entry's digest is of `expected` when given (a mismatch).
    json& AddFile(const std::string& name, const std::string& bytes, int priority = 0,
                  const std::string* expected = nullptr);
    // A virtual file of `size` pattern bytes (its digest in the entry is not the real one).
    json& AddVirtualFile(const std::string& name, uint64_t size);
    // A file the server does not have (404).
    json& AddMissingFile(const std::string& name, int priority);
    // The plug-in as a job file: a copy of `dll` served by the server (or placed at its
    // destination already when `present`), with the script it will read.
    json& AddPlugin(const std::wstring& dll, const std::string& script, bool present = false,
                    const char* type = nullptr, const char* clsid = nullptr);
    // A backend address the check probes with HEAD, accepted with status 200; the server answers
    // it with `status`.
    void AddBackend(int status);
    // Places every served file at its destination before the run, so nothing is left to fetch.
    void PlaceFilesInAdvance();

    // Starts the job and waits for its end; false when it did not end in time.
    bool Run();
    void Start();
    // Builds the job without starting it (Start then starts it).
    void Create();
    bool WaitForEvent(int event, int seconds = 120);
    bool WaitForEnd(int seconds = 120);

    std::vector<int> Events();
    // The last progress report (total, done); zeros without one.
    std::pair<uint64_t, uint64_t> LastProgress();
    json Node() const;
    std::string PluginText(const char* suffix) const;

    vek::VekJob& Job() { return *m_job; }
    json& JobNode() { return m_root["vek"]["job_array"][0]; }
    json& Options() { return m_root["vek"]["bootstrap"]["options"]; }
    const std::string& Prefix() const { return m_prefix; }
    std::wstring Destination(const std::string& name) const;
    std::wstring Dir() const { return m_dir; }
    std::shared_ptr<RecordingReporter> Reporter() { return m_reporter; }
    // The answer of the event-signal slot to event 21.
    void AnswerInstallStart(int answer) { m_installStartAnswer = answer; }
    // The requests the server saw under the prefix with the method.
    std::vector<json> Requests(const std::string& method) const;

private:
    std::string m_prefix;
    std::wstring m_dir;
    std::wstring m_pluginPath;
    json m_root;
    std::vector<std::pair<std::wstring, std::string>> m_served;
    std::shared_ptr<vek::ManifestDocument> m_document;
    std::shared_ptr<RecordingReporter> m_reporter;
    std::unique_ptr<vek::VekJob> m_job;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<int> m_events;
    std::pair<uint64_t, uint64_t> m_progress{0, 0};
    int m_installStartAnswer = 0;
    std::string m_jobId;
};

// An integer member of a record; `missing` when it is absent or no integer.
inline int32_t Int(const nlohmann::json& node, const char* key, int32_t missing = -12345)
{
    const auto found = node.find(key);
    return found != node.end() && found->is_number_integer() ? found->get<int32_t>() : missing;
}

} // namespace jobtest
