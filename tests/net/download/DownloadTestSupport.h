#pragma once
// Shared pieces of the download tests: a scratch folder per test, file reading, and a record of the
// manager's events.
#include "net/download/CWinHTTPDownloadManager.h"
#include "net/VekTestServer.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace dltest {

// A fresh folder under the Wine temp folder, removed with its files at destruction.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name);
    // The folder under another root (a drive of its own, for instance).
    ScratchDir(const std::string& name, const std::wstring& root);
    ~ScratchDir();
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
    const std::wstring& Path() const { return m_path; }
    size_t CountFiles() const;

private:
    std::wstring m_path;
};

std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
nlohmann::json LoadProxyVectors();

// Keeps the job-error reports as "0x<result>/<type>/<priority>/<failure count> <text>".
class TestHooks : public vek::IDownloadJobHooks {
public:
    void logJobError(HRESULT result, int errorType, nlohmann::json& job, const std::wstring& text, int priority,
                     std::uint32_t failureCount) override;
    std::vector<std::wstring> reports;
};

// The launcher's per-file failure counts of one job (HKCU, under a manifest of the job's own that
// the manager is given), removed with the manifest's key at destruction.
class FailureCounts {
public:
    explicit FailureCounts(const std::string& jobId);
    ~FailureCounts();
    const std::wstring& ManifestId() const { return m_manifestId; }
    // The stored count, or -1 when there is none.
    long long Get(const std::wstring& fileName) const;

private:
    std::wstring m_manifestId;
    std::wstring m_manifestKey;
    std::wstring m_jobKey;
};

// Collects the events of a manager and lets the test wait for one.
class EventLog {
public:
    void Connect(vek::CWinHTTPDownloadManager& manager);
    std::vector<int> Events();
    bool WaitFor(int event, int seconds = 120);

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<int> m_events;
};

// Requests of the server log under a prefix with the given method.
std::vector<nlohmann::json> Requests(const std::string& prefix, const std::string& method);

} // namespace dltest
