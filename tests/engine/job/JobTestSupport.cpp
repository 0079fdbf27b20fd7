#include "JobTestSupport.h"

#include "engine/manifest/VekJobStates.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "net/VekTestServer.h"
#include "services/digest/VekSHA256.h"
#include "services/launcher/VekUtil.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace jobtest {

namespace {

std::wstring Widen(const std::string& text)
{
    return vek::FromUtf8(text);
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

} // namespace

std::string Utf8(const std::wstring& text)
{
    return vek::ToUtf8(text);
}

std::wstring SignedPlugin(const char* variant, const char* dll)
{
    return vek::test::WinePath(vek::test::BuildDir() + "/signing/jobs/" + variant + "/" + dll);
}

std::string ReadBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Sha256(const std::string& bytes)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static std::atomic<int> counter{0};
    const std::wstring path = std::wstring(temp) + L"vek-job-digest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter);
    WriteBytes(path, bytes);
    char digest[64] = {};
    const HRESULT hr = vek::security::CalculateSHA256ForFile(path.c_str(), digest, sizeof digest);
    DeleteFileW(path.c_str());
    return SUCCEEDED(hr) ? std::string(digest, sizeof digest) : std::string();
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

const char* PluginType()
{
#ifdef _WIN64
    return "job_plugin64";
#else
    return "job_plugin2";
#endif
}

HRESULT RecordingReporter::logJobError(HRESULT code, bool, const json&, const wchar_t* extra, int filePriority,
                                       int fileFailureCount)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    m_jobErrors.push_back({code, extra ? extra : L"", filePriority, fileFailureCount});
    return S_OK;
}

HRESULT RecordingReporter::logError(HRESULT code, bool, json&)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    m_errors.push_back(code);
    return S_OK;
}

HRESULT RecordingReporter::logEvent(int, const json&, bool)
{
    return S_OK;
}

std::vector<RecordingReporter::Report> RecordingReporter::JobErrors()
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    return m_jobErrors;
}

std::vector<HRESULT> RecordingReporter::Errors()
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    return m_errors;
}

JobRun::JobRun(const std::string& name, const char* jobType)
    : m_prefix(vek::test::TestServer::UniquePrefix(name)), m_reporter(std::make_shared<RecordingReporter>())
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static std::atomic<int> counter{0};
    m_dir =
        std::wstring(temp) + L"vek-job-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(m_dir.c_str(), nullptr);
    m_jobId = "jobtest-" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter.load());

    json job = json::object();
    job["job_id"] = m_jobId;
    if (jobType != nullptr) {
        job["job_type"] = jobType;
    }
    job["file_array"] = json::array();
    job["TRANSIENT_ERROR_RETRY_COUNT"] = 3;
    m_root["vek"]["job_array"] = json::array({job});
    m_root["vek"]["bootstrap"]["options"] = json::object();
}

JobRun::~JobRun()
{
    if (m_job) {
        m_job->Stop();
        m_job.reset();
    }
    RemoveTree(L"\\\\?\\" + m_dir);
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring folder(module);
    folder = folder.substr(0, folder.find_last_of(L'\\'));
    folder = folder.substr(folder.find_last_of(L'\\') + 1);
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Vallor\\Vek\\" + folder + L"\\" + Widen(m_jobId)).c_str());
    try {
        vek::test::TestServer::Instance().Clear(m_prefix);
    } catch (...) {}
}

std::wstring JobRun::Destination(const std::string& name) const
{
    return m_dir + L"\\" + Widen(name);
}

json& JobRun::AddFile(const std::string& name, const std::string& bytes, int priority, const std::string* expected)
{
    auto& server = vek::test::TestServer::Instance();
    server.PutFile(m_prefix + name, bytes);
    json entry;
    entry["source_file"] = Utf8(server.HttpsUrl(m_prefix + name));
    entry["destination_file"] = Utf8(Destination(name));
    entry["file_priority"] = priority;
    entry["validation"] = {{"type", "sha256"}, {"data", Sha256(expected ? *expected : bytes)}};
    m_served.emplace_back(Destination(name), bytes);
    auto& files = JobNode()["file_array"];
    files.push_back(entry);
    return files.back();
}

json& JobRun::AddVirtualFile(const std::string& name, uint64_t size)
{
    auto& server = vek::test::TestServer::Instance();
    server.SetScenario(m_prefix + name, {{"size", size}});
    json entry;
    entry["source_file"] = Utf8(server.HttpsUrl(m_prefix + name));
    entry["destination_file"] = Utf8(Destination(name));
    entry["validation"] = {{"type", "sha256"}, {"data", Sha256("not the pattern")}};
    auto& files = JobNode()["file_array"];
    files.push_back(entry);
    return files.back();
}

void JobRun::AddBackend(int status)
{
    auto& server = vek::test::TestServer::Instance();
    server.SetScenario(m_prefix + "backend", {{"status", status}, {"body", "backend"}});
    JobNode()["backend_urls"] = json::array(
        {{{"url", Utf8(server.HttpsUrl(m_prefix + "backend"))}, {"type", "HEAD"}, {"codes", json::array({200})}}});
}

json& JobRun::AddMissingFile(const std::string& name, int priority)
{
    auto& server = vek::test::TestServer::Instance();
    server.SetScenario(m_prefix + name, {{"status", 404}, {"body", "none"}});
    json entry;
    entry["source_file"] = Utf8(server.HttpsUrl(m_prefix + name));
    entry["destination_file"] = Utf8(Destination(name));
    entry["file_priority"] = priority;
    entry["validation"] = {{"type", "sha256"}, {"data", Sha256("never served")}};
    auto& files = JobNode()["file_array"];
    files.push_back(entry);
    return files.back();
}

json& JobRun::AddPlugin(const std::wstring& dll, const std::string& script, bool present, const char* type,
                        const char* clsid)
{
    const std::string bytes = ReadBytes(dll);
    json& entry = AddFile("plugin.dll", bytes);
    entry["type"] = type ? type : PluginType();
    entry["clsid"] = clsid ? clsid : Utf8(vek::GuidToString(vek::plugin::CLSID_VekPlugin2));
    m_pluginPath = Destination("plugin.dll");
    WriteBytes(m_pluginPath + L".script", script);
    if (present) {
        WriteBytes(m_pluginPath, bytes);
    }
    return entry;
}

void JobRun::PlaceFilesInAdvance()
{
    for (const auto& [path, bytes] : m_served) {
        WriteBytes(path, bytes);
    }
}

void JobRun::Start()
{
    if (!m_job) {
        Create();
    }
    m_job->Start();
}

void JobRun::Create()
{
    m_document = std::make_shared<vek::ManifestDocument>();
    m_document->Adopt(m_root);
    m_job = std::make_unique<vek::VekJob>(m_document, 0, m_reporter, m_root["vek"]["bootstrap"]["options"]);
    vek::VekJob::Tuning tuning;
    tuning.pollIntervalMs = 50;
    tuning.downloadRetryWaitMs = 0;
    tuning.downloadTimeoutSeconds = 30;
    m_job->SetTuning(tuning);
    m_job->jobEventSignal().connect([this](int32_t event, const json&) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(event);
        m_changed.notify_all();
        return event == vek::eJobInstallStart ? m_installStartAnswer : 0;
    });
    m_job->jobProgressSignal().connect([this](uint64_t total, uint64_t done) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_progress = {total, done};
    });
}

std::pair<uint64_t, uint64_t> JobRun::LastProgress()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_progress;
}

bool JobRun::Run()
{
    Start();
    return WaitForEnd();
}

bool JobRun::WaitForEvent(int event, int seconds)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] {
        for (int seen : m_events) {
            if (seen == event) {
                return true;
            }
        }
        return false;
    });
}

bool JobRun::WaitForEnd(int seconds)
{
    return m_job->WaitForEnd(static_cast<DWORD>(seconds) * 1000);
}

std::vector<int> JobRun::Events()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

json JobRun::Node() const
{
    json job;
    if (m_document) {
        m_document->GetJob(0, job);
    }
    return job;
}

std::string JobRun::PluginText(const char* suffix) const
{
    return ReadBytes(m_pluginPath + vek::FromUtf8(suffix));
}

std::vector<json> JobRun::Requests(const std::string& method) const
{
    std::vector<json> out;
    for (const auto& entry : vek::test::TestServer::Instance().Log(m_prefix)) {
        if (entry.value("method", "") == method) {
            out.push_back(entry);
        }
    }
    return out;
}

} // namespace jobtest
