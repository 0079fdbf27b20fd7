// A download that runs out of disk space on a small drive of its own (a 1 MiB tmpfs mapped as a
// Wine drive by the test's fixture): the disk-full event and job-node keys, nothing in place at
// the destination, and a resume once there is room again.
#include "DownloadTestSupport.h"

#include "net/download/DownloadJson.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using nlohmann::json;
using vek::test::TestServer;

namespace {

// The drive's root ("K:"), or empty with the reason it is missing.
std::wstring DiskFullDrive(std::string& reason)
{
    const char* status = std::getenv("VEK_DISKFULL_STATUS");
    const char* drive = std::getenv("VEK_DISKFULL_DRIVE");
    if (status == nullptr || drive == nullptr) {
        reason = "the disk-full drive fixture did not run";
        return {};
    }
    std::ifstream in(std::string("Z:") + status);
    std::getline(in, reason);
    if (reason != "ok") {
        reason = "no disk-full drive: " + (reason.empty() ? std::string("no status from the fixture") : reason);
        return {};
    }
    return vek::Utf8ToWide(drive);
}

// Takes room on the drive so that the download runs out of it part way.
bool WriteFiller(const std::wstring& path, size_t size)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::string block(64 * 1024, 'F');
    bool ok = true;
    for (size_t done = 0; ok && done < size; done += block.size()) {
        DWORD written = 0;
        ok = ::WriteFile(h, block.data(), static_cast<DWORD>(std::min(block.size(), size - done)), &written, nullptr) &&
             written != 0;
    }
    ::CloseHandle(h);
    return ok;
}

TEST(DownloadDiskFull, WriteFailureFiresDiskFullAndResumesOnceThereIsRoom)
{
    std::string reason;
    const std::wstring drive = DiskFullDrive(reason);
    if (drive.empty())
        GTEST_SKIP() << reason;

    const std::uint64_t size = 700000;
    // The disk-full error is the system's own code as an HRESULT, as the job record carries it.
    static_assert(vek::kDiskFullResult == static_cast<HRESULT>(0x80070070));
    const std::int32_t diskFull = static_cast<std::int32_t>(vek::kDiskFullResult);
    const struct {
        const char* name;
        int priority;
        std::vector<int> events;
    } cases[] = {
        {"critical",
         0,
         {vek::eDownloadStart, vek::eWinHTTPDownloadStart, vek::eDownloadOutOfDiskSpace, vek::eDownloadFatalError}},
        {"optional",
         -1,
         {vek::eDownloadStart, vek::eWinHTTPDownloadStart, vek::eDownloadOutOfDiskSpace, vek::eJobValidationDone}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dltest::ScratchDir scratch(c.name, drive);
        // 600 KiB of the 1 MiB taken: the 700000 bytes cannot fit.
        ASSERT_TRUE(WriteFiller(scratch.File(L"filler"), 600 * 1024));
        auto& server = TestServer::Instance();
        const std::string dir = TestServer::UniquePrefix("DiskFull");
        server.SetScenario(dir + "f", {{"size", size}});
        const std::string jobId = "dl-diskfull-" + std::to_string(::GetCurrentProcessId()) + "-" + c.name;
        dltest::FailureCounts failures(jobId);
        json job = {{"job_id", jobId},
                    {"file_array", json::array({{{"source_file", vek::WideToUtf8(server.HttpsUrl(dir + "f"))},
                                                 {"destination_file", vek::WideToUtf8(scratch.File(L"f"))},
                                                 {"file_priority", c.priority}}})}};
        json options = json::object();
        dltest::EventLog events;
        {
            vek::CWinHTTPDownloadManager manager(job, nullptr, options);
            manager.SetManifestId(failures.ManifestId());
            events.Connect(manager);
            manager.Start();
            ASSERT_TRUE(events.WaitFor(c.events.back()));
            manager.Stop();
        }
        EXPECT_EQ(events.Events(), c.events);
        EXPECT_EQ(job["last_download_error"], diskFull);
        EXPECT_EQ(job["OtherErrors"], diskFull);
        EXPECT_EQ(job["job_error_code"], 0); // the disk-full event carries it instead
        EXPECT_EQ(failures.Get(L"f"), 0);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"f"))); // nothing partial at the destination

        if (c.priority < 0) {
            // A skipped file keeps nothing: no record, and its partial file no longer takes room.
            EXPECT_FALSE(job.contains("HttpPausedDownload"));
            EXPECT_EQ(scratch.CountFiles(), 1u); // the filler alone
            continue;
        }

        // The record points at the partial file, which holds exactly the bytes it claims.
        ASSERT_TRUE(job.contains("HttpPausedDownload"));
        const json record = job["HttpPausedDownload"];
        const std::uint64_t partial = vek::ParseDecimalU64(record.at("BytesDownloaded").get<std::string>());
        EXPECT_GT(partial, 0u);
        EXPECT_LT(partial, size);
        const std::wstring temp = vek::Utf8ToWide(record.at("LocalTempPath").get<std::string>());
        EXPECT_EQ(dltest::ReadFileBytes(temp), TestServer::PatternBytes(0, static_cast<size_t>(partial)));

        // Room again: the next run resumes the partial file and ends byte-identical.
        ASSERT_TRUE(::DeleteFileW(scratch.File(L"filler").c_str()));
        server.Clear(dir);
        server.SetScenario(dir + "f", {{"size", size}});
        dltest::EventLog events2;
        {
            vek::CWinHTTPDownloadManager manager(job, nullptr, options);
            events2.Connect(manager);
            manager.Start();
            ASSERT_TRUE(events2.WaitFor(vek::eJobValidationDone));
            manager.Stop();
        }
        EXPECT_EQ(events2.Events(),
                  (std::vector<int>{vek::eDownloadStart, vek::eWinHTTPDownloadStart, vek::eJobValidationDone}));
        EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"f")), TestServer::PatternBytes(0, size));
        EXPECT_EQ(scratch.CountFiles(), 1u);
        EXPECT_EQ(job["download_started"], 2);
        EXPECT_FALSE(job.contains("HttpPausedDownload"));
        auto gets = dltest::Requests(dir, "GET");
        ASSERT_EQ(gets.size(), 1u);
        EXPECT_EQ(vek::test::HeaderOf(gets[0], "Range"), "bytes=" + std::to_string(partial) + "-");
    }
}

} // namespace
