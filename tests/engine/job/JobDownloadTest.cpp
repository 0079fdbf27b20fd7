// The download stage through a whole job run against the local HTTPS test server: the backend
// check, fetching, resumption, validation of every file, and a stop in the middle.
#include "JobTestSupport.h"

#include "engine/manifest/VekJobStates.h"
#include "net/VekTestServer.h"
#include "services/launcher/VekUtil.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

using jobtest::JobRun;
using jobtest::json;

constexpr HRESULT kFileInvalid = static_cast<HRESULT>(0x80047EC4L);
constexpr HRESULT kTrustFailure = static_cast<HRESULT>(0x80047E05L);
constexpr HRESULT kDownloadFailed = static_cast<HRESULT>(0x80047EC6L);
constexpr HRESULT kBackendUnavailable = static_cast<HRESULT>(0x80047ECDL);

using jobtest::Int;

TEST(JobDownloadTest, AFileThatFailsValidationIsDeletedAndOnlyACriticalOneFailsTheJob)
{
    const std::string good(5000, 'g');
    const std::string bad(7000, 'b');
    const std::string expected(7000, 'x');
    struct Case {
        int priority;
        std::vector<int> events;
        int32_t code;
    };
    const Case cases[] = {
        // Event 27 stands for the failed download: no event 19 follows.
        {0, {0, 23, 2, 25, 27, 1}, static_cast<int32_t>(kFileInvalid)},
        {-1, {0, 23, 2, 25, 3, 1}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        JobRun run("digest", "download");
        run.AddFile("good.bin", good);
        run.AddFile("bad.bin", bad, c.priority, &expected);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.events, run.Events());
        const json node = run.Node();
        EXPECT_EQ(c.code, Int(node, "job_error_code"));
        EXPECT_EQ(vek::eFinished, Int(node, "job_state"));
        EXPECT_FALSE(jobtest::Exists(run.Destination("bad.bin")));
        EXPECT_EQ(good, jobtest::ReadBytes(run.Destination("good.bin")));

        // The file's own report carries its path and real digest, and its failure count.
        const auto reports = run.Reporter()->JobErrors();
        const std::wstring extra = run.Destination("bad.bin") + L"&g=" + vek::FromUtf8(jobtest::Sha256(bad));
        bool fileReported = false;
        for (const auto& report : reports) {
            if (report.extra == extra) {
                fileReported = true;
                EXPECT_EQ(c.priority, report.priority);
                EXPECT_EQ(0, report.count);
            }
        }
        EXPECT_TRUE(fileReported);
        const bool jobReported = !reports.empty() && reports.back().code == kFileInvalid &&
                                 reports.back().extra == L"Invalid digital signature";
        EXPECT_EQ(c.priority >= 0, jobReported);
    }
}

// The trust subsystem fails for "untrusted.bin" only; every other file is validated as usual.
HRESULT TrustFailsForOneFile(const wchar_t* path, const json* node, int32_t* validationError)
{
    const std::wstring text(path);
    const std::wstring name = L"untrusted.bin";
    if (text.size() >= name.size() && text.compare(text.size() - name.size(), name.size(), name) == 0) {
        *validationError = static_cast<int32_t>(kTrustFailure);
        return kTrustFailure;
    }
    return vek::ValidateFile(path, node, validationError);
}

TEST(JobDownloadTest, AFileWhoseTrustCouldNotBeCheckedIsNeverHandedOn)
{
    struct Case {
        int priority;
        std::vector<int> events;
        int32_t code;
        bool kept; // left in place for a later check; the job fails instead
    };
    const Case cases[] = {
        {0, {0, 23, 2, 25, 27, 1}, static_cast<int32_t>(kFileInvalid), true},
        {-1, {0, 23, 2, 25, 3, 1}, static_cast<int32_t>(kTrustFailure), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        JobRun run("trust", "download");
        run.AddFile("good.bin", std::string(5000, 'g'));
        run.AddFile("untrusted.bin", std::string(6000, 'u'), c.priority);
        run.Create();
        vek::VekJob::Tuning tuning;
        tuning.pollIntervalMs = 50;
        tuning.downloadRetryWaitMs = 0;
        tuning.validateFile = TrustFailsForOneFile;
        run.Job().SetTuning(tuning);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.events, run.Events());
        EXPECT_EQ(c.code, Int(run.Node(), "job_error_code"));
        EXPECT_EQ(c.kept, jobtest::Exists(run.Destination("untrusted.bin")));
        EXPECT_TRUE(jobtest::Exists(run.Destination("good.bin")));
    }
}

TEST(JobDownloadTest, AMissingOptionalFileIsOnlyLoggedAMissingCriticalOneFailsTheDownload)
{
    struct Case {
        int priority;
        std::vector<int> events;
        int32_t code;
    };
    const Case cases[] = {
        {-1, {0, 23, 2, 25, 3, 1}, 0},
        {0, {0, 23, 19, 1}, static_cast<int32_t>(kDownloadFailed)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        JobRun run("missing", "download");
        run.AddFile("present.bin", std::string(3000, 'p'));
        run.AddMissingFile("absent.bin", c.priority);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.events, run.Events());
        const json node = run.Node();
        EXPECT_EQ(c.code, Int(node, "job_error_code"));
        EXPECT_FALSE(jobtest::Exists(run.Destination("absent.bin")));
        if (c.priority >= 0) {
            // The download's own failure stays in "last_download_error".
            EXPECT_NE(1, Int(node, "last_download_error"));
            EXPECT_EQ(vek::eErrorDownload, Int(node, "error_type"));
        }
    }
}

TEST(JobDownloadTest, FilesAlreadyInPlaceAreValidatedWithoutARequest)
{
    JobRun run("present", "download");
    run.AddFile("one.bin", std::string(1234, '1'));
    run.AddFile("two.bin", std::string(4321, '2'), -1);
    run.PlaceFilesInAdvance();
    ASSERT_TRUE(run.Run());
    EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 1}), run.Events());
    EXPECT_TRUE(jobtest::ReadBytes(run.Destination("one.bin")) == std::string(1234, '1'));
    EXPECT_EQ(1, Int(run.Node(), "last_download_error"));
    EXPECT_TRUE(vek::test::TestServer::Instance().Log(run.Prefix()).empty());
}

// With full rights (as every process here has) a file already in place is adopted only when it is
// of our own account and no other account may write it; otherwise it is fetched anew.
TEST(JobDownloadTest, AFileInPlaceThatAnotherAccountOwnsOrMayWriteIsFetchedAnew)
{
    enum class Plant { Own, WritableByEveryone, OfAnotherAccount };
    struct Case {
        const char* name;
        Plant plant;
        bool fetched;
    };
    const Case cases[] = {
        {"own", Plant::Own, false},
        {"writable by everyone", Plant::WritableByEveryone, true},
        {"of another account", Plant::OfAnotherAccount, true},
    };
    const std::string bytes = "foreign\n"; // the fixture's files of another account hold these
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring foreign = untrusted::Path(L"foreign-1.txt");
        if (c.plant == Plant::OfAnotherAccount && !untrusted::IsForeign(foreign))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        JobRun run(std::string("adopt") + std::to_string(static_cast<int>(c.plant)), "download");
        run.AddFile("one.bin", bytes);
        run.PlaceFilesInAdvance();
        const std::wstring destination = run.Destination("one.bin");
        if (c.plant == Plant::WritableByEveryone) {
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                               &descriptor, nullptr));
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = nullptr;
            ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                      ::SetNamedSecurityInfoW(const_cast<wchar_t*>(destination.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, dacl, nullptr));
            ::LocalFree(descriptor);
        } else if (c.plant == Plant::OfAnotherAccount) {
            ASSERT_TRUE(::MoveFileExW(foreign.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING))
                << ::GetLastError();
            ASSERT_TRUE(untrusted::IsForeign(destination));
        }
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.fetched, !run.Requests("GET").empty());
        EXPECT_EQ(vek::eFinished, Int(run.Node(), "job_state"));
        EXPECT_EQ(bytes, jobtest::ReadBytes(destination));
        EXPECT_FALSE(untrusted::IsForeign(destination));
    }
}

TEST(JobDownloadTest, AnInterruptedTransferResumesWithARange)
{
    JobRun run("resume", "download");
    const std::string bytes = vek::test::TestServer::PatternBytes(0, 300000);
    run.AddFile("big.bin", bytes);
    // The size query and the first transfer meet the fault; the transfer breaks after 100000 bytes.
    vek::test::TestServer::Instance().SetScenario(run.Prefix() + "big.bin", {{"drop_after", 100000}, {"times", 2}});
    ASSERT_TRUE(run.Run());
    EXPECT_EQ((std::vector<int>{0, 23, 2, 25, 3, 1}), run.Events());
    EXPECT_TRUE(jobtest::ReadBytes(run.Destination("big.bin")) == bytes);
    const auto gets = run.Requests("GET");
    ASSERT_GE(gets.size(), 2u);
    const std::string range = vek::test::HeaderOf(gets.back(), "Range");
    EXPECT_EQ(0u, range.rfind("bytes=", 0)) << range;
    EXPECT_NE("bytes=0-", range);
}

TEST(JobDownloadTest, TheBackendCheckDecidesWhetherTheJobDownloads)
{
    struct Case {
        int status;
        std::vector<int> events;
        int32_t code;
    };
    const Case cases[] = {
        {503, {0, 12, 1}, static_cast<int32_t>(kBackendUnavailable)},
        {200, {0, 23, 2, 25, 3, 1}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        JobRun run("backend", "download");
        run.AddFile("file.bin", std::string(2000, 'f'));
        run.AddBackend(c.status);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.events, run.Events());
        const json node = run.Node();
        EXPECT_EQ(c.code, Int(node, "job_error_code"));
        EXPECT_EQ(c.status == 200, !run.Requests("GET").empty());
        if (c.status != 200) {
            EXPECT_TRUE(node.contains("job_error_description"));
            const auto reports = run.Reporter()->JobErrors();
            ASSERT_EQ(1u, reports.size());
            EXPECT_EQ(kBackendUnavailable, reports[0].code);
        }
    }
}

TEST(JobDownloadTest, StopDuringTheTransferEndsTheJobAsStopped)
{
    JobRun run("stopdl", "download");
    run.AddVirtualFile("huge.bin", 1500ull * 1024 * 1024);
    run.Start();
    ASSERT_TRUE(run.WaitForEvent(2));
    run.Job().Stop();
    // Stop has joined the job thread, which joined the download thread.
    EXPECT_TRUE(run.WaitForEnd(0));
    EXPECT_FALSE(run.Job().IsRunning());
    EXPECT_EQ((std::vector<int>{0, 23, 2, 13, 1}), run.Events());
    EXPECT_EQ(vek::eFinished, Int(run.Node(), "job_state"));
}

TEST(JobDownloadTest, DestinationPathsOfTheLongestLengths)
{
    for (const size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        JobRun run("longpath", "download");
        const std::wstring dir = run.Dir();
        const std::wstring file = L"\\f.bin";
        ASSERT_LT(dir.size() + 2 + file.size(), length);
        const std::wstring folder = dir + L"\\" + std::wstring(length - dir.size() - 1 - file.size(), L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
        const std::wstring path = folder + file;
        ASSERT_EQ(length, path.size());
        json& entry = run.AddFile("f.bin", std::string(800, 'L'));
        entry["destination_file"] = jobtest::Utf8(path);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ((std::vector<int>{0, 23, 2, 25, 3, 1}), run.Events());
        EXPECT_EQ(0, Int(run.Node(), "job_error_code"));
        EXPECT_TRUE(jobtest::ReadBytes(L"\\\\?\\" + path) == std::string(800, 'L'));
    }
}

} // namespace
