// The job engine's thread with real jobs: download-only jobs fetch their files from the local
// HTTPS test server into a temporary run folder. Checked: the order of the events the subscribers
// receive, the engine state, the registry values each job leaves, the rewriting of destinations
// into the download folder, stop, pause and resume, a refused second start, the retry after a
// stop, and the early end of a rekeyed run.
#include "engine/jobengine/VekJobEngine.h"

#include "engine/job/VekJob.h"

#include "JobEngineTestSupport.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "net/VekTestServer.h"
#include "services/digest/VekSHA256.h"
#include "services/trust/TrustTestSupport.h"
#include "services/launcher/VekUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace jobenginetest;
using vek::VekJobEngine;
using vek::test::TestServer;

namespace {

namespace fs = std::filesystem;

const char* const kAbc = "abc";
const char* const kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// Failures that do not come within this bound fail the test; nothing is timed.
constexpr DWORD kSafetyMs = 120000;

// What the engine's subscribers receive, and a way to wait for one event.
class EventLog {
public:
    EventLog() : m_seen(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventLog() { ::CloseHandle(m_seen); }

    void Attach(VekJobEngine& engine)
    {
        engine.subscribeJobEvents([this](int32_t event, const json& node) {
            std::function<void()> action;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_events.push_back(event);
                if (event != vek::eEngineStart && event != vek::eEngineJobsDone && event != vek::eEngineEnd) {
                    m_jobs.push_back(node.value("job_id", ""));
                }
                if (event == m_actionEvent) {
                    action = std::move(m_action);
                    m_actionEvent = INT32_MIN;
                }
            }
            // The action runs before a waiting test is woken, so the test sees its effect.
            if (action) {
                action();
            }
            std::lock_guard<std::mutex> lock(m_lock);
            if (event == m_awaited) {
                ::SetEvent(m_seen);
            }
            return 0;
        });
        engine.subscribeJobProgress([this](uint64_t total, uint64_t done) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_progress.emplace_back(total, done);
        });
    }

    // Arms the wait for event before it may arrive.
    void Await(int32_t event)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_awaited = event;
        ::ResetEvent(m_seen);
    }
    bool Wait() const { return ::WaitForSingleObject(m_seen, kSafetyMs) == WAIT_OBJECT_0; }
    // Runs action on the firing thread when event arrives (once).
    void OnEvent(int32_t event, std::function<void()> action)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_actionEvent = event;
        m_action = std::move(action);
    }

    std::vector<int32_t> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    std::vector<std::string> Jobs() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_jobs;
    }
    std::vector<std::pair<uint64_t, uint64_t>> Progress() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_progress;
    }

private:
    mutable std::mutex m_lock;
    HANDLE m_seen;
    int32_t m_awaited = INT32_MIN;
    int32_t m_actionEvent = INT32_MIN;
    std::function<void()> m_action;
    std::vector<int32_t> m_events;
    std::vector<std::string> m_jobs;
    std::vector<std::pair<uint64_t, uint64_t>> m_progress;
};

// The engine with jobs tuned short: a stalled request is given up within seconds, not half a
// minute, so that a stop does not wait for the transfer's own time-out.
class TunedJobEngine : public VekJobEngine {
public:
    using VekJobEngine::VekJobEngine;

protected:
    std::shared_ptr<vek::VekJob> createJob(size_t index, const json& options) override
    {
        auto job = VekJobEngine::createJob(index, options);
        vek::VekJob::Tuning tuning;
        tuning.pollIntervalMs = 50;
        tuning.downloadRetryWaitMs = 50;
        tuning.downloadTimeoutSeconds = 5;
        job->SetTuning(tuning);
        return job;
    }
};

// One test's world: a manifest id, a run folder, a server path prefix, and clean-up of all three.
class JobEngineRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_manifestId = "{JE-RUN-" + name + "-" + std::to_string(::GetCurrentProcessId()) + "}";
        m_prefix = TestServer::UniquePrefix("JobEngineRun" + name);
        m_run = std::make_unique<TempFolder>(L"jobengine-run-" + Widen(name));
        RemoveManifestKey(m_manifestId);
        fs::create_directories(DownloadFolder());
    }
    void TearDown() override
    {
        RemoveManifestKey(m_manifestId);
        TestServer::Instance().Clear(m_prefix);
    }

    fs::path DownloadFolder() const { return m_run->Path() / Widen(m_manifestId); }

    // A download-only job of one file that the server holds (at <prefix><job>/<file>).
    json DownloadJob(const std::string& jobId, const std::string& file = "a.bin")
    {
        const std::string path = m_prefix + jobId + "/" + file;
        TestServer::Instance().PutFile(path, kAbc);
        return {{"job_id", jobId},
                {"job_type", "download"},
                {"file_array",
                 json::array({{{"source_file", vek::ToUtf8(TestServer::Instance().HttpsUrl(path))},
                               {"destination_file", "somewhere\\else\\" + file},
                               {"file_priority", 0},
                               {"validation", {{"type", "sha256"}, {"data", kAbcDigest}}}}})}};
    }

    std::shared_ptr<vek::ManifestDocument> Manifest(const json& jobs, const json& global = json::object())
    {
        json root = {{"vek",
                      {{"global", {{"manifest_id", m_manifestId}}},
                       {"bootstrap", {{"run_location", vek::ToUtf8(m_run->Text() + L"\\")}}},
                       {"job_array", jobs}}}};
        root["vek"]["global"].update(global);
        auto document = std::make_shared<vek::ManifestDocument>();
        EXPECT_EQ(S_OK, document->Adopt(root));
        return document;
    }

    std::unique_ptr<VekJobEngine> Engine(std::shared_ptr<vek::ManifestDocument> manifest,
                                         std::shared_ptr<RecordingReporter> reporter = nullptr)
    {
        std::unique_ptr<VekJobEngine> engine =
            std::make_unique<TunedJobEngine>(reporter, std::move(manifest), L"C:\\x\\VekLauncher.exe");
        engine->setCommandLine(L"VekLauncher.exe");
        return engine;
    }

    std::optional<DWORD> JobValue(const std::string& jobId, const wchar_t* name) const
    {
        return ReadValue(JobKey(m_manifestId, jobId), name);
    }

    // The test signers count as the maker's, so the signed plug-in passes its trust check.
    trust_test::ScopedSignerNames m_names;
    std::string m_manifestId;
    std::string m_prefix;
    std::unique_ptr<TempFolder> m_run;
};

const std::vector<int32_t> kDownloadJobEvents = {vek::eJobPreProcess,      vek::eJobDownloadStageStart,
                                                 vek::eJobDownloadStart,   vek::eJobValidationStart,
                                                 vek::eJobDownloadFinish,  vek::eJobFinish};

std::vector<int32_t> Concat(std::initializer_list<std::vector<int32_t>> parts)
{
    std::vector<int32_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST_F(JobEngineRunTest, EmptyJobArrayEndsInSuccessAtOnce)
{
    auto reporter = std::make_shared<RecordingReporter>();
    auto engine = Engine(Manifest(json::array()), reporter);
    EventLog log;
    log.Attach(*engine);
    ASSERT_TRUE(engine->Start());
    engine->Join();

    EXPECT_EQ((std::vector<int32_t>{9, 10, 11}), log.Events());
    EXPECT_EQ(VekJobEngine::eJobsDone, engine->GetEngineState());
    EXPECT_FALSE(engine->IsRunning());
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{10, false}, {11, false}}), reporter->Events());
}

TEST_F(JobEngineRunTest, JobsRunInOrderAndLeaveTheirRegistryValues)
{
    auto manifest = Manifest(json::array({DownloadJob("j1"), DownloadJob("j2", "b.bin")}));
    auto engine = Engine(manifest);
    EventLog log;
    log.Attach(*engine);
    ASSERT_TRUE(engine->Start());
    engine->Join();

    EXPECT_EQ(Concat({{9}, kDownloadJobEvents, kDownloadJobEvents, {10, 11}}), log.Events());
    const std::vector<std::string> jobs = log.Jobs();
    ASSERT_EQ(2 * kDownloadJobEvents.size(), jobs.size());
    EXPECT_TRUE(std::all_of(jobs.begin(), jobs.begin() + 6, [](const std::string& id) { return id == "j1"; }));
    EXPECT_TRUE(std::all_of(jobs.begin() + 6, jobs.end(), [](const std::string& id) { return id == "j2"; }));
    EXPECT_EQ(VekJobEngine::eJobsDone, engine->GetEngineState());

    // Destinations were moved into the download folder, keeping their file names.
    json root = manifest->Snapshot();
    EXPECT_EQ(0, root.value("last_error", -1));
    const std::string a = vek::ToUtf8((DownloadFolder() / "a.bin").wstring());
    EXPECT_EQ(a, root["vek"]["job_array"][0]["file_array"][0].value("destination_file", ""));
    EXPECT_TRUE(fs::exists(DownloadFolder() / "a.bin"));
    EXPECT_TRUE(fs::exists(DownloadFolder() / "b.bin"));

    struct Expected {
        const char* job;
        const wchar_t* name;
        std::optional<DWORD> value;
    };
    const Expected values[] = {
        {"j1", L"Started", 1},
        {"j1", L"Finished", 1},
        {"j1", L"FailureCount", std::nullopt},
        {"j1", L"DownloadComplete", std::nullopt},
        {"j2", L"Started", 1},
        {"j2", L"Finished", 1},
    };
    for (const Expected& v : values) {
        EXPECT_EQ(v.value, JobValue(v.job, v.name)) << v.job;
    }
    // The download's progress reached the subscribers.
    const auto progress = log.Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, progress.back().second);
}

TEST_F(JobEngineRunTest, InstallJobRunsThroughThePlugin)
{
    struct Row {
        const char* variant; // the signing fixture's copy of the scripted plug-in
        const char* script;  // what the plug-in answers after reporting "running" once
        std::vector<int32_t> events;
        int32_t state;
        std::optional<DWORD> failures;
        bool ran; // the plug-in was handed the job's node
    };
    // Only a finished installation ends the run in "all done" (event 10). A plug-in that fails
    // its trust check is never run, and every failure status fails the run, whether the plug-in
    // reports it loudly (-1), quietly (-2), as never started (0) or with a status outside the
    // contract; a failure that asks for a new download ends the run offering it.
    const Row rows[] = {
        {"level3",
         "running 1\nstatus 3\n",
         {9, 0, 23, 2, 25, 3, 21, 6, 1, 10, 11},
         VekJobEngine::eJobsDone,
         std::nullopt,
         true},
        {"unsigned", "", {9, 0, 23, 2, 25, 3, 21, -1, -1, 11}, VekJobEngine::eFatalError, 0, false},
        {"level3",
         "running 1\nstatus -1\nerror 0x80004004\n",
         {9, 0, 23, 2, 25, 3, 21, -2, -1, 11},
         VekJobEngine::eFatalError,
         0,
         true},
        {"level3",
         "running 1\nstatus -2\nerror 0x80004004\n",
         {9, 0, 23, 2, 25, 3, 21, -2, -1, 11},
         VekJobEngine::eFatalError,
         0,
         true},
        {"level3", "running 1\nstatus 0\n", {9, 0, 23, 2, 25, 3, 21, -2, -1, 11}, VekJobEngine::eFatalError, 0, true},
        {"level3", "running 1\nstatus 42\n", {9, 0, 23, 2, 25, 3, 21, -2, -1, 11}, VekJobEngine::eFatalError, 0, true},
        {"level3",
         "running 1\nstatus -3\nerror 0x80004004\n",
         {9, 0, 23, 2, 25, 3, 21, -4, 1, 11},
         VekJobEngine::eRetryDownloadAllowed,
         std::nullopt,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.variant << " " << row.script);
        RemoveManifestKey(m_manifestId);
        fs::remove_all(DownloadFolder());
        fs::create_directories(DownloadFolder());
        const std::wstring dll =
            vek::test::WinePath(vek::test::BuildDir() + "/signing/jobs/" + row.variant + "/jobs_scripted_plugin.dll");
        std::ifstream in(dll.c_str(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        ASSERT_FALSE(bytes.str().empty());
        char digest[64];
        ASSERT_EQ(S_OK, vek::security::CalculateSHA256ForFile(dll.c_str(), digest, sizeof(digest)));
        const std::string pluginPath = m_prefix + row.variant + "/plugin.dll";
        TestServer::Instance().PutFile(pluginPath, bytes.str());

        json job = DownloadJob("j1");
        job["job_type"] = "install";
        job["file_array"].push_back({{"source_file", vek::ToUtf8(TestServer::Instance().HttpsUrl(pluginPath))},
                                     {"destination_file", "plugin.dll"},
                                     {"file_priority", 0},
#ifdef _WIN64
                                     {"type", "job_plugin64"},
#else
                                     {"type", "job_plugin2"},
#endif
                                     {"clsid", vek::ToUtf8(vek::GuidToString(vek::plugin::CLSID_VekPlugin2))},
                                     {"validation", {{"type", "sha256"}, {"data", std::string(digest, sizeof(digest))}}}});
        std::ofstream(DownloadFolder() / "plugin.dll.script") << row.script;

        auto manifest = Manifest(json::array({job}));
        auto engine = Engine(manifest);
        EventLog log;
        log.Attach(*engine);
        ASSERT_TRUE(engine->Start());
        engine->Join();

        EXPECT_EQ(row.events, log.Events()) << manifest->Snapshot()["vek"]["job_array"][0].dump();
        EXPECT_EQ(row.state, engine->GetEngineState());
        EXPECT_EQ(std::optional<DWORD>(1), JobValue("j1", L"Started"));
        EXPECT_EQ(std::optional<DWORD>(0), JobValue("j1", L"DownloadComplete"));
        EXPECT_EQ(row.failures, JobValue("j1", L"FailureCount"));
        EXPECT_EQ(row.ran, fs::exists(DownloadFolder() / "plugin.dll.job"));
    }
}

TEST_F(JobEngineRunTest, FailedDownloadEndsTheRunBeforeTheNextJob)
{
    struct Row {
        const char* name;
        json global;
        int32_t event; // what the subscribers receive instead of the failure
        int32_t state;
        DWORD failures; // the job's end counts once more once the run is fatal
    };
    const Row rows[] = {
        {"Fatal", json::object(), vek::eFatalError, VekJobEngine::eFatalError, 1},
        {"Failover", {{"failover", "https://localhost/failover"}}, vek::eFailover, VekJobEngine::eFailover, 0},
    };
    for (const Row& row : rows) {
        RemoveManifestKey(m_manifestId);
        json first = DownloadJob("j1");
        TestServer::Instance().SetScenario(m_prefix + "j1/a.bin", {{"status", 404}});
        auto engine = Engine(Manifest(json::array({first, DownloadJob("j2", "b.bin")}), row.global));
        EventLog log;
        log.Attach(*engine);
        ASSERT_TRUE(engine->Start()) << row.name;
        engine->Join();

        const std::vector<int32_t> events = log.Events();
        ASSERT_GE(events.size(), 4u) << row.name;
        EXPECT_EQ(9, events.front()) << row.name;
        EXPECT_EQ(11, events.back()) << row.name;
        EXPECT_NE(events.end(), std::find(events.begin(), events.end(), row.event)) << row.name;
        EXPECT_EQ(events.end(), std::find(events.begin(), events.end(), vek::eEngineJobsDone)) << row.name;
        const std::vector<std::string> jobs = log.Jobs();
        EXPECT_EQ(jobs.end(), std::find(jobs.begin(), jobs.end(), "j2")) << row.name;
        EXPECT_EQ(row.state, engine->GetEngineState()) << row.name;
        EXPECT_EQ(std::optional<DWORD>(row.failures), JobValue("j1", L"FailureCount")) << row.name;
        EXPECT_EQ(std::nullopt, JobValue("j2", L"Started")) << row.name;
    }
}

// A file's failure is counted in the manifest's key, named by its address without query or
// fragment, whether the job's validation or the download manager counts it; the clean-up after
// the run finds the count there under that name and leaves no key of the manifest behind.
TEST_F(JobEngineRunTest, FileFailureCountsGoWithTheCleanUp)
{
    struct Row {
        const char* name;
        const char* jobId;
        bool failsValidation; // else a second, optional file is missing at the server
        int32_t state;
    };
    const Row rows[] = {
        {"critical file fails its validation", "count-validation", true, VekJobEngine::eRetryDownloadAllowed},
        {"optional file missing at the server", "count-download", false, VekJobEngine::eJobsDone},
    };
    for (const Row& row : rows) {
        RemoveManifestKey(m_manifestId);
        fs::remove_all(DownloadFolder());
        fs::create_directories(DownloadFolder());
        json job = DownloadJob(row.jobId);
        std::string counted;
        if (row.failsValidation) {
            job["file_array"][0]["source_file"] = job["file_array"][0]["source_file"].get<std::string>() + "?sig=a/b#part";
            job["file_array"][0]["validation"]["data"] = std::string(64, '0');
            counted = "a.bin";
        } else {
            const std::string path = m_prefix + row.jobId + "/optional.bin";
            TestServer::Instance().SetScenario(path, {{"status", 404}});
            job["file_array"].push_back(
                {{"source_file", vek::ToUtf8(TestServer::Instance().HttpsUrl(path)) + "?sig=a/b"},
                 {"destination_file", "optional.bin"},
                 {"file_priority", -1}});
            counted = "optional.bin";
        }
        auto engine = Engine(Manifest(json::array({job})));
        ASSERT_TRUE(engine->Start()) << row.name;
        engine->Join();
        EXPECT_EQ(row.state, engine->GetEngineState()) << row.name;
        EXPECT_EQ(std::optional<DWORD>(0), ReadValue(JobKey(m_manifestId, row.jobId) + L"\\file_array", Widen(counted).c_str()))
            << row.name;

        engine->CleanUp(VekJobEngine::eCleanAll);
        EXPECT_EQ(VekJobEngine::eCleanedUp, engine->GetEngineState()) << row.name;
        qkRegistry left;
        EXPECT_FALSE(left.Open(HKEY_CURRENT_USER, ManifestKey(m_manifestId).c_str(), KEY_READ)) << row.name;
        // Nothing stands outside the manifest's key: not under the folder of the running program.
        std::wstring module(MAX_PATH, L'\0');
        module.resize(::GetModuleFileNameW(nullptr, module.data(), MAX_PATH));
        const fs::path folder = fs::path(module).parent_path().filename();
        qkRegistry stray;
        EXPECT_FALSE(stray.Open(HKEY_CURRENT_USER,
                                (L"Software\\Vallor\\Vek\\" + folder.wstring() + L"\\" + Widen(row.jobId)).c_str(),
                                KEY_READ))
            << row.name;
    }
}

TEST_F(JobEngineRunTest, StopDuringDownloadThenRetryRunsAgain)
{
    json job = DownloadJob("j1");
    TestServer::Instance().SetScenario(m_prefix + "j1/a.bin", {{"stall", 100}, {"times", 1}});
    auto engine = Engine(Manifest(json::array({job})));
    EventLog log;
    log.Attach(*engine);
    log.Await(vek::eJobDownloadStageStart);
    ASSERT_TRUE(engine->Start());
    ASSERT_TRUE(log.Wait());

    // A second start while the engine runs is refused.
    EXPECT_FALSE(engine->Start());
    EXPECT_TRUE(engine->IsRunning());
    engine->Stop(true);
    EXPECT_FALSE(engine->IsRunning());
    std::vector<int32_t> events = log.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(11, events.back());
    EXPECT_EQ(events.end(), std::find(events.begin(), events.end(), vek::eEngineJobsDone));
    EXPECT_NE(events.end(), std::find(events.begin(), events.end(), vek::eJobStopped));
    EXPECT_EQ(VekJobEngine::eRunning, engine->GetEngineState());

    // Retry: the next start joins the ended thread and runs the job anew.
    const size_t before = events.size();
    ASSERT_TRUE(engine->Start());
    engine->Join();
    events = log.Events();
    EXPECT_EQ(Concat({{9}, kDownloadJobEvents, {10, 11}}), std::vector<int32_t>(events.begin() + before, events.end()));
    EXPECT_EQ(VekJobEngine::eJobsDone, engine->GetEngineState());
}

TEST_F(JobEngineRunTest, PausedEngineStartsNoJobUntilResumed)
{
    // Paused as soon as the engine thread starts, before any job.
    {
        auto engine = Engine(Manifest(json::array({DownloadJob("j1")})));
        EventLog log;
        log.Attach(*engine);
        log.OnEvent(vek::eEngineStart, [&] { engine->Pause(); });
        log.Await(vek::eEngineStart);
        ASSERT_TRUE(engine->Start());
        ASSERT_TRUE(log.Wait());
        EXPECT_TRUE(engine->IsPaused());
        engine->Stop(true);
        EXPECT_EQ((std::vector<int32_t>{9, 11}), log.Events());
        EXPECT_EQ(std::nullopt, JobValue("j1", L"Started"));
    }
    {
        auto engine = Engine(Manifest(json::array({DownloadJob("j1")})));
        EventLog log;
        log.Attach(*engine);
        log.OnEvent(vek::eEngineStart, [&] { engine->Pause(); });
        log.Await(vek::eEngineStart);
        ASSERT_TRUE(engine->Start());
        ASSERT_TRUE(log.Wait());
        engine->Resume();
        EXPECT_FALSE(engine->IsPaused());
        engine->Join();
        EXPECT_EQ(Concat({{9}, kDownloadJobEvents, {10, 11}}), log.Events());
    }
}

TEST_F(JobEngineRunTest, RekeyedFirstJobEndsTheRun)
{
    json first = DownloadJob("j1");
    first["distribution"] = {{"cc_token", "token"}};
    first["rekey_status"] = 1;
    auto engine = Engine(Manifest(json::array({first, DownloadJob("j2", "b.bin")})));
    EventLog log;
    log.Attach(*engine);
    ASSERT_TRUE(engine->Start());
    engine->Join();

    EXPECT_EQ(Concat({{9}, kDownloadJobEvents, {10, 11}}), log.Events());
    EXPECT_EQ(VekJobEngine::eJobsDone, engine->GetEngineState());
    EXPECT_EQ(std::nullopt, JobValue("j2", L"Started"));
}

} // namespace
