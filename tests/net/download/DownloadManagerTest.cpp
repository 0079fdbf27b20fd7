// The download manager and its thread: events, job-node keys, priorities, transient retries, the
// stop that cuts a retry wait short, pause/resume/stop, and failing critical and optional files.
#include "DownloadTestSupport.h"

#include "net/download/DownloadJson.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using nlohmann::json;
using vek::test::TestServer;

namespace {

json FileEntry(const std::string& url, const std::wstring& destination, int priority)
{
    return {{"source_file", url}, {"destination_file", vek::WideToUtf8(destination)}, {"file_priority", priority}};
}

TEST(DownloadManager, FetchesInPriorityOrderAndSkipsAFailingOptionalFile)
{
    dltest::ScratchDir scratch("order");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerOrder");
    server.SetScenario(dir + "low", {{"size", 1000}});
    server.SetScenario(dir + "high", {{"size", 2000}});
    server.SetScenario(dir + "optional", {{"status", 404}});
    server.SetScenario(dir + "present", {{"size", 10}});
    server.PutFile(dir + "unused", "x");
    // A file already present and valid is not fetched again.
    {
        HANDLE h =
            ::CreateFileW(scratch.File(L"present").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD w = 0;
        ::WriteFile(h, "0123456789", 10, &w, nullptr);
        ::CloseHandle(h);
    }
    const std::string jobId = "dl-order-" + std::to_string(::GetCurrentProcessId());
    dltest::FailureCounts failures(jobId);
    json job = {{"job_id", jobId}, {"file_array", json::array()}};
    job["file_array"].push_back(FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "low")), scratch.File(L"low"), 1));
    job["file_array"].push_back(
        FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "optional")), scratch.File(L"optional"), -1));
    job["file_array"].push_back(
        FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "high")), scratch.File(L"high"), 70000));
    json present = FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "present")), scratch.File(L"present"), 5);
    // SHA-256 of "0123456789", checked by the launcher's own file validation.
    present["validation"] = {{"type", "sha256"},
                             {"data", "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882"}};
    job["file_array"].push_back(present);
    json options = json::object();

    auto hooks = std::make_shared<dltest::TestHooks>();
    dltest::EventLog events;
    std::uint64_t lastTotal = 0, lastDone = 0;
    {
        vek::CWinHTTPDownloadManager manager(job, hooks, options);
        manager.SetManifestId(failures.ManifestId());
        events.Connect(manager);
        manager.Progress().connect([&](std::uint64_t total, std::uint64_t done) {
            lastTotal = total;
            lastDone = done;
        });
        manager.Start();
        ASSERT_TRUE(events.WaitFor(vek::eJobValidationDone));
        manager.Stop();
    }
    EXPECT_EQ(events.Events(),
              (std::vector<int>{vek::eDownloadStart, vek::eWinHTTPDownloadStart, vek::eJobValidationDone}));
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"high")), TestServer::PatternBytes(0, 2000));
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"low")), TestServer::PatternBytes(0, 1000));
    EXPECT_FALSE(dltest::FileExists(scratch.File(L"optional")));
    auto gets = dltest::Requests(dir, "GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0]["path"], dir + "high"); // 70000 > 1: priorities compare as 32-bit numbers
    EXPECT_EQ(gets[1]["path"], dir + "low");
    EXPECT_EQ(dltest::Requests(dir + "present", "HEAD").size(), 0u);
    EXPECT_EQ(job["download_method"], "WinHTTP");
    EXPECT_EQ(job["download_started"], 1);
    EXPECT_TRUE(job.contains("download_duration"));
    EXPECT_FALSE(job.contains("HttpPausedDownload"));
    EXPECT_FALSE(job.contains("OtherErrors"));
    EXPECT_FALSE(job.contains("job_error_code"));
    ASSERT_EQ(hooks->reports.size(), 1u);
    EXPECT_NE(hooks->reports[0].find(L"0x80047F12/1/-1/0 filename=https://"), std::wstring::npos);
    EXPECT_EQ(failures.Get(L"optional"), 0); // the first failure is stored as 0
    EXPECT_EQ(lastTotal, 3010u);
    EXPECT_EQ(lastDone, 3010u);
}

TEST(DownloadManager, CriticalFileFailingAtTheSizeQueryFailsTheJob)
{
    dltest::ScratchDir scratch("critical");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerCritical");
    server.SetScenario(dir + "gone", {{"status", 410}});
    const std::string jobId = "dl-critical-" + std::to_string(::GetCurrentProcessId());
    dltest::FailureCounts failures(jobId);
    json job = {{"job_id", jobId},
                {"file_array",
                 json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "gone")), scratch.File(L"gone"), 0)})}};
    json options = json::object();
    auto hooks = std::make_shared<dltest::TestHooks>();
    dltest::EventLog events;
    vek::CWinHTTPDownloadManager manager(job, hooks, options);
    manager.SetManifestId(failures.ManifestId());
    events.Connect(manager);
    manager.Start();
    EXPECT_EQ(events.Events(), std::vector<int>{vek::eDownloadFatalError});
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_EQ(job["OtherErrors"], 410);
    EXPECT_EQ(job["job_error_code"], static_cast<std::int32_t>(vek::VEK_E_HTTP_DOWNLOAD));
    EXPECT_EQ(job["last_download_error"], static_cast<std::int32_t>(vek::VEK_E_HTTP_DOWNLOAD));
    EXPECT_EQ(failures.Get(L"gone"), 0);
    // A second start fails again and raises the count.
    manager.Start();
    EXPECT_EQ(events.Events(), (std::vector<int>{vek::eDownloadFatalError, vek::eDownloadFatalError}));
    EXPECT_EQ(failures.Get(L"gone"), 1);
    ASSERT_EQ(hooks->reports.size(), 2u);
    EXPECT_EQ(hooks->reports[1], L"0x80047F12/1/0/1 filename=" + server.HttpsUrl(dir + "gone"));
    EXPECT_FALSE(dltest::FileExists(scratch.File(L"gone")));
}

TEST(DownloadManager, SizeQueryRetriesTransientFailuresThenFails)
{
    // Each size query of the file fails transiently: nobody listens on port 1 (cannot connect), or
    // the server stalls past the request time-out.
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerSizeRetry");
    server.SetScenario(dir + "slow", {{"stall", 4}});
    const struct {
        const char* name;
        std::wstring url;
        size_t requests; // seen by the server
    } cases[] = {
        {"cannot connect", L"http://localhost:1/f", 0},
        // The time-out meets the status read, which the engine's first query repeats once on its
        // proxy retry count (used up for the engine's later queries); then the manager's 2 retries.
        {"time-out", server.HttpsUrl(dir + "slow"), 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dltest::ScratchDir scratch("sizeretry");
        json job = {{"TRANSIENT_ERROR_RETRY_COUNT", 2},
                    {"file_array", json::array({FileEntry(vek::WideToUtf8(c.url), scratch.File(L"f"), 0)})}};
        json options = json::object();
        dltest::EventLog events;
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        manager.SetRetryWait(1);
        manager.SetEngineTimeout(1);
        events.Connect(manager);
        manager.Start();
        EXPECT_EQ(events.Events(), std::vector<int>{vek::eDownloadFatalError});
        ASSERT_TRUE(job["last_download_error"].is_number_integer());
        const HRESULT hr = static_cast<HRESULT>(job["last_download_error"].get<std::int32_t>());
        EXPECT_TRUE(vek::IsTransientDownloadError(hr)) << std::hex << hr;
        EXPECT_EQ(job["job_error_code"], job["last_download_error"]);
        EXPECT_EQ(job["OtherErrors"], job["last_download_error"]);
        EXPECT_FALSE(job.contains("download_method")); // no thread ran
        EXPECT_EQ(dltest::Requests(dir + "slow", "HEAD").size(), c.requests);
        server.Clear(dir + "slow");
        server.SetScenario(dir + "slow", {{"stall", 4}});
    }
}

TEST(DownloadManager, NothingToFetchFiresValidationAtOnce)
{
    // All files present and valid; or the only file optional and failing its size query.
    dltest::ScratchDir scratch("nothing");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerNothing");
    server.SetScenario(dir + "missing", {{"status", 404}});
    {
        HANDLE h =
            ::CreateFileW(scratch.File(L"present").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD w = 0;
        ::WriteFile(h, "0123456789", 10, &w, nullptr);
        ::CloseHandle(h);
    }
    json present = FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "present")), scratch.File(L"present"), 0);
    present["validation"] = {{"type", "sha256"},
                             {"data", "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882"}};
    const json cases[] = {
        json::array({present}),
        json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "missing")), scratch.File(L"missing"), -1)}),
    };
    for (const json& files : cases) {
        SCOPED_TRACE(files.dump());
        json job = {{"file_array", files}};
        json options = json::object();
        dltest::EventLog events;
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        events.Connect(manager);
        manager.Start();
        EXPECT_EQ(events.Events(), std::vector<int>{vek::eJobValidation});
        EXPECT_FALSE(manager.IsRunning());
        EXPECT_FALSE(job.contains("download_method"));
        EXPECT_FALSE(job.contains("OtherErrors"));
        EXPECT_FALSE(job.contains("job_error_code"));
    }
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"present")), "0123456789");
    EXPECT_TRUE(dltest::Requests(dir + "present", "HEAD").empty());
}

TEST(DownloadManager, CutTransferIsResumedWithRangeAndEndsExact)
{
    // The size query and the first GET meet the cut; the retry is served whole from the
    // generated file of the same path, so it must resume with Range.
    dltest::ScratchDir scratch("cutonce");
    auto& server = TestServer::Instance();
    const std::string path = "/_gen/300000" + TestServer::UniquePrefix("ManagerCutOnce") + "f";
    server.SetScenario(path, {{"size", 300000}, {"drop_after", 120000}, {"times", 2}});
    json job = {
        {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(path)), scratch.File(L"f"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    std::vector<std::uint64_t> done;
    {
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        manager.SetRetryWait(1);
        events.Connect(manager);
        manager.Progress().connect([&](std::uint64_t, std::uint64_t d) { done.push_back(d); });
        manager.Start();
        ASSERT_TRUE(events.WaitFor(vek::eJobValidationDone));
        manager.Stop();
    }
    EXPECT_EQ(events.Events(),
              (std::vector<int>{vek::eDownloadStart, vek::eWinHTTPDownloadStart, vek::eJobValidationDone}));
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"f")), TestServer::PatternBytes(0, 300000));
    EXPECT_EQ(scratch.CountFiles(), 1u);
    auto gets = dltest::Requests(path, "GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_FALSE(vek::test::HasHeader(gets[0], "Range"));
    EXPECT_EQ(vek::test::HeaderOf(gets[1], "Range"), "bytes=120000-");
    // The failed first call is recorded; the run still ends well.
    EXPECT_EQ(job["last_download_error"], static_cast<std::int32_t>(vek::VEK_E_DOWNLOAD_CALL_FAILED));
    EXPECT_FALSE(job.contains("job_error_code"));
    EXPECT_FALSE(job.contains("HttpPausedDownload"));
    EXPECT_EQ(job["download_method"], "WinHTTP");
    EXPECT_EQ(job["download_started"], 1);
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back(), 300000u);
    for (size_t i = 1; i < done.size(); ++i)
        EXPECT_LE(done[i - 1], done[i]) << i; // the resume continues from the bytes on disk
}

TEST(DownloadManager, TransientFailuresAreRetriedUpToTheCount)
{
    // Each GET is cut after 100 bytes: every attempt resumes, gets 100 more bytes, and fails.
    const struct {
        int priority;
        int finalEvent;
    } cases[] = {{0, vek::eDownloadFatalError}, {-1, vek::eJobValidationDone}};
    for (const auto& c : cases) {
        dltest::ScratchDir scratch("transient");
        auto& server = TestServer::Instance();
        const std::string dir = TestServer::UniquePrefix("ManagerTransient");
        server.SetScenario(dir + "f", {{"size", 100000}, {"drop_after", 100}});
        json job = {{"TRANSIENT_ERROR_RETRY_COUNT", 3},
                    {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "f")),
                                                          scratch.File(L"f"), c.priority)})}};
        json options = json::object();
        dltest::EventLog events;
        {
            vek::CWinHTTPDownloadManager manager(job, nullptr, options);
            manager.SetRetryWait(1);
            events.Connect(manager);
            manager.Start();
            ASSERT_TRUE(events.WaitFor(c.finalEvent));
            manager.Stop();
        }
        auto gets = dltest::Requests(dir, "GET");
        ASSERT_EQ(gets.size(), 3u);
        EXPECT_EQ(vek::test::HeaderOf(gets[1], "Range"), "bytes=100-");
        EXPECT_EQ(vek::test::HeaderOf(gets[2], "Range"), "bytes=200-");
        const std::int32_t hr = static_cast<std::int32_t>(HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR));
        EXPECT_EQ(job["last_download_error"], hr);
        EXPECT_EQ(job["OtherErrors"], hr);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"f")));
        if (c.priority >= 0) {
            EXPECT_EQ(job["HttpPausedDownload"]["BytesDownloaded"], "300");
            EXPECT_EQ(job["job_error_code"], hr);
        } else {
            EXPECT_FALSE(job.contains("HttpPausedDownload"));
            EXPECT_EQ(scratch.CountFiles(), 0u); // the skipped file's partial file is gone
        }
    }
}

TEST(DownloadManager, StopCutsTheRetryWaitShort)
{
    dltest::ScratchDir scratch("stopwait");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerStopWait");
    server.SetScenario(dir + "f", {{"size", 100000}, {"drop_after", 100}});
    json job = {
        {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "f")), scratch.File(L"f"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    vek::CWinHTTPDownloadManager manager(job, nullptr, options);
    manager.SetRetryWait(3600 * 1000); // an hour: only the stop can end it
    events.Connect(manager);
    manager.Start();
    for (int i = 0; i < 600 && dltest::Requests(dir, "GET").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(dltest::Requests(dir, "GET").size(), 1u);
    manager.Stop(); // returns only once the thread has ended
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_EQ(events.Events().back(), vek::eDownloadStopped);
    EXPECT_EQ(job["HttpPausedDownload"]["BytesDownloaded"], "100");
}

TEST(DownloadManager, PauseResumeAndStopKeepTheFileExact)
{
    const std::uint64_t size = 30 * 1024 * 1024;
    dltest::ScratchDir scratch("pause");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerPause");
    server.SetScenario(dir + "big", {{"size", size}});
    json job = {{"file_array",
                 json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "big")), scratch.File(L"big"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    {
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        events.Connect(manager);
        bool pausedOnce = false;
        // Pause from the download thread itself once a first part is on disk.
        manager.Progress().connect([&](std::uint64_t, std::uint64_t done) {
            if (!pausedOnce && done > 1024 * 1024) {
                pausedOnce = true;
                manager.Pause();
            }
        });
        manager.Start();
        ASSERT_TRUE(events.WaitFor(vek::eDownloadPaused));
        EXPECT_TRUE(manager.IsRunning());
        ASSERT_TRUE(job.contains("HttpPausedDownload"));
        // Stop while paused: the record stays for the next run.
        manager.Stop();
        EXPECT_EQ(events.Events().back(), vek::eDownloadStopped);
    }
    json record = job["HttpPausedDownload"];
    const std::uint64_t partial = vek::ParseDecimalU64(record["BytesDownloaded"].get<std::string>());
    EXPECT_GT(partial, 1024u * 1024u);
    EXPECT_LT(partial, size);

    // The next run resumes the paused file first, pausing and resuming once more on the way.
    dltest::EventLog events2;
    {
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        events2.Connect(manager);
        bool pausedOnce = false;
        manager.Progress().connect([&](std::uint64_t, std::uint64_t done) {
            if (!pausedOnce && done > partial + 1024 * 1024) {
                pausedOnce = true;
                manager.Pause();
            }
        });
        manager.Start();
        ASSERT_TRUE(events2.WaitFor(vek::eDownloadPaused));
        manager.Resume();
        ASSERT_TRUE(events2.WaitFor(vek::eJobValidationDone));
        manager.Stop();
    }
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"big")) == TestServer::PatternBytes(0, size), true);
    EXPECT_EQ(job["download_started"], 2);
    EXPECT_FALSE(job.contains("download_duration")); // a resumed run stores none
    EXPECT_FALSE(job.contains("HttpPausedDownload"));
    auto gets = dltest::Requests(dir, "GET");
    ASSERT_GE(gets.size(), 3u);
    EXPECT_EQ(vek::test::HeaderOf(gets[1], "Range"), "bytes=" + std::to_string(partial) + "-");
    EXPECT_EQ(scratch.CountFiles(), 1u);
}

TEST(DownloadManager, StartAfterAPausedRunWasStoppedRunsUnpaused)
{
    const std::uint64_t size = 8 * 1024 * 1024;
    dltest::ScratchDir scratch("pausestop");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerPauseStop");
    server.SetScenario(dir + "f", {{"size", size}});
    json job = {
        {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "f")), scratch.File(L"f"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    vek::CWinHTTPDownloadManager manager(job, nullptr, options);
    events.Connect(manager);
    std::atomic<bool> pausedOnce{false};
    manager.Progress().connect([&](std::uint64_t, std::uint64_t) {
        if (!pausedOnce.exchange(true))
            manager.Pause();
    });
    manager.Start();
    ASSERT_TRUE(events.WaitFor(vek::eDownloadPaused));
    manager.Stop();
    ASSERT_EQ(events.Events().back(), vek::eDownloadStopped);

    // The next Start must not find the earlier pause still in force (it would wait for a Resume
    // that Resume, finding nothing running, never gives).
    auto started = std::async(std::launch::async, [&] { manager.Start(); });
    if (started.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        manager.Stop(); // releases the wait so that the test can end
        FAIL() << "Start waits on the pause of the stopped run";
    }
    ASSERT_TRUE(events.WaitFor(vek::eJobValidationDone));
    manager.Stop();
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"f")) == TestServer::PatternBytes(0, size), true);
    EXPECT_EQ(job["download_started"], 2);
}

TEST(DownloadManager, ResumeDuringStopDoesNotUndoTheStop)
{
    // The job resumes while a stop is on its way: the stop must still end the transfer.
    const std::uint64_t size = 30 * 1024 * 1024;
    dltest::ScratchDir scratch("resumestop");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerResumeStop");
    server.SetScenario(dir + "f", {{"size", size}});
    json job = {
        {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "f")), scratch.File(L"f"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    vek::CWinHTTPDownloadManager manager(job, nullptr, options);
    events.Connect(manager);
    std::thread stopper;
    std::atomic<bool> stopping{false};
    manager.Progress().connect([&](std::uint64_t, std::uint64_t) {
        if (stopping.exchange(true))
            return;
        // On the download thread, mid-transfer: the stop starts on another thread and waits for
        // this one; then the resume comes.
        stopper = std::thread([&] { manager.Stop(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        manager.Resume();
    });
    manager.Start();
    ASSERT_TRUE(events.WaitFor(vek::eDownloadStopped));
    stopper.join();
    EXPECT_FALSE(manager.IsRunning());
    EXPECT_FALSE(dltest::FileExists(scratch.File(L"f")));
    ASSERT_TRUE(job.contains("HttpPausedDownload"));
    EXPECT_LT(vek::ParseDecimalU64(job["HttpPausedDownload"]["BytesDownloaded"].get<std::string>()), size);
}

TEST(DownloadManager, UnreadablePausedRecordFailsOnceThenTheFileIsFetchedAfresh)
{
    dltest::ScratchDir scratch("badrecord");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerBadRecord");
    server.SetScenario(dir + "f", {{"size", 5000}});
    const std::string url = vek::WideToUtf8(server.HttpsUrl(dir + "f"));
    json job = {
        {"file_array", json::array({FileEntry(url, scratch.File(L"f"), 0)})},
        {"HttpPausedDownload",
         {{"DownloadUri", url}, {"LocalFilePath", vek::WideToUtf8(scratch.File(L"f"))}, {"BytesDownloaded", "12x"}}}};
    json options = json::object();
    for (int expected : {vek::eDownloadFatalError, vek::eJobValidationDone}) {
        dltest::EventLog events;
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        events.Connect(manager);
        manager.Start();
        ASSERT_TRUE(events.WaitFor(expected)) << expected;
        manager.Stop();
    }
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"f")), TestServer::PatternBytes(0, 5000));
    EXPECT_FALSE(job.contains("HttpPausedDownload"));
}

TEST(DownloadManager, JobNodeIsWrittenOnlyUnderTheJobLock)
{
    // The job reads (here: serialises) its node under the job lock while the download thread
    // writes the node through retries; with writes outside the lock the reader meets a node
    // half-changed.
    dltest::ScratchDir scratch("joblock");
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("ManagerJobLock");
    server.SetScenario(dir + "f", {{"size", 100000}, {"drop_after", 100}});
    json job = {
        {"TRANSIENT_ERROR_RETRY_COUNT", 15},
        {"file_array", json::array({FileEntry(vek::WideToUtf8(server.HttpsUrl(dir + "f")), scratch.File(L"f"), 0)})}};
    json options = json::object();
    dltest::EventLog events;
    vek::CWinHTTPDownloadManager manager(job, nullptr, options);
    manager.SetRetryWait(1);
    events.Connect(manager);
    std::atomic<bool> done{false};
    size_t reads = 0;
    std::thread reader([&] {
        while (!done) {
            qkScopedLock lock(manager.JobLock());
            reads += job.dump().size() > 0 ? 1 : 0;
        }
    });
    manager.Start();
    const bool ended = events.WaitFor(vek::eDownloadFatalError); // the retries of a critical file run out
    done = true;
    reader.join();
    manager.Stop();
    EXPECT_TRUE(ended);
    EXPECT_GT(reads, 0u);
    EXPECT_EQ(job["HttpPausedDownload"]["BytesDownloaded"], "1500");
}

} // namespace
