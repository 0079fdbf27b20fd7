// The installation stage through a whole job run: the scripted plug-in is served as a job file (or
// already in place), verified while held, loaded, started with the job text and polled.
#include "JobTestSupport.h"

#include "engine/manifest/VekJobStates.h"
#include "services/trust/TrustTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

using jobtest::JobRun;
using jobtest::json;
using jobtest::SignedPlugin;

constexpr HRESULT kPluginStartFailed = static_cast<HRESULT>(0x80047EC2L);
constexpr HRESULT kPluginCreateFailed = static_cast<HRESULT>(0x80047EC3L);
constexpr HRESULT kPluginSignature = static_cast<HRESULT>(0x80047EC4L);
constexpr HRESULT kPluginNotInManifest = static_cast<HRESULT>(0x80047EC5L);
constexpr HRESULT kInstallCancelledByHost = static_cast<HRESULT>(0x80047EC7L);

using jobtest::Int;

// The fixture signers' names, so that the level-3 signed copy passes the strict check.
class JobPluginTest : public ::testing::Test {
protected:
    trust_test::ScopedSignerNames m_names;
};

TEST_F(JobPluginTest, DownloadsVerifiesAndRunsThePluginToTheEnd)
{
    JobRun run("install");
    run.AddFile("payload.bin", std::string(70000, 'p'));
    run.AddPlugin(SignedPlugin("level3"), "running 2\nstatus 3\n");
    ASSERT_TRUE(run.Run());

    EXPECT_EQ((std::vector<int>{0, 23, 2, 25, 3, 21, 6, 1}), run.Events());
    const json node = run.Node();
    EXPECT_EQ(vek::eFinished, Int(node, "job_state"));
    EXPECT_EQ(0, Int(node, "job_error_code"));
    EXPECT_EQ(0, Int(node, "error_type"));
    EXPECT_EQ(std::string(70000, 'p'), jobtest::ReadBytes(run.Destination("payload.bin")));
    // The download's progress reached the job's subscribers, up to the whole size.
    const auto progress = run.LastProgress();
    EXPECT_GE(progress.first, 70000u);
    EXPECT_EQ(progress.first, progress.second);
    // The plug-in was handed the job node as JSON text, and asked to stop once at the end.
    const json text = json::parse(run.PluginText(".job"), nullptr, false);
    ASSERT_FALSE(text.is_discarded());
    EXPECT_EQ(node.value("job_id", std::string("node")), text.value("job_id", std::string("text")));
    EXPECT_EQ(vek::ePostProcess, Int(text, "job_state"));
    EXPECT_EQ("1", run.PluginText(".stops"));
    EXPECT_FALSE(run.Job().IsRunning());
    // The module is no longer loaded.
    EXPECT_EQ(nullptr, GetModuleHandleW(run.Destination("plugin.dll").c_str()));
}

TEST_F(JobPluginTest, EachStatusClassEndsTheJobItsOwnWay)
{
    struct Case {
        int status;
        HRESULT pluginError;
        std::vector<int> tail; // the events after 21
        int32_t state;         // "job_state" before the loop turns it into eFinished
        HRESULT code;          // "job_error_code" at the end
        bool stopNeeded;       // the job waits in its state until stopped
        bool errorReported;
    };
    const Case cases[] = {
        {3, E_FAIL, {6, 1}, vek::eFinished, S_OK, false, false},
        {6, static_cast<HRESULT>(0x800704C7), {5, 1}, vek::eFinished, static_cast<HRESULT>(0x800704C7), false, false},
        {10, E_ACCESSDENIED, {18, 18, 1}, vek::eFinished, E_ACCESSDENIED, false, false},
        {0, S_OK, {-2, 1}, vek::eFinished, kPluginStartFailed, false, false},
        {7, S_OK, {14, 13, 1}, vek::eFinished, S_OK, false, false},
        {4, S_OK, {7, 1}, vek::eFinished, S_OK, false, false},
        {5, S_OK, {7, 1}, vek::eFinished, S_OK, false, false},
        {-1, E_ABORT, {-2, 1}, vek::eFinished, E_ABORT, false, true},
        {-1, S_OK, {-2, 1}, vek::eFinished, E_FAIL, false, true},
        {-2, E_ABORT, {-2, 1}, vek::eFinished, E_ABORT, false, false},
        {-3, E_ABORT, {-4, 1}, vek::eFinished, E_ABORT, false, false},
        {8, E_ABORT, {-5, 13, 1}, vek::eFinished, E_ABORT, false, true},
        {9, E_PENDING, {36, 13, 1}, vek::eFinished, E_PENDING, true, false},
        {42, S_OK, {-2, 1}, vek::eFinished, E_UNEXPECTED, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << c.status << " error " << std::hex << c.pluginError);
        JobRun run("status");
        char script[96];
        snprintf(script, sizeof script, "running 1\nstatus %d\nerror 0x%08lX\n", c.status,
                 static_cast<unsigned long>(c.pluginError));
        run.AddPlugin(SignedPlugin("level3"), script, true);
        run.JobNode()["download_duration"] = 5;
        run.Start();
        if (c.stopNeeded) {
            ASSERT_TRUE(run.WaitForEvent(36));
            EXPECT_FALSE(run.WaitForEnd(0));
            run.Job().Stop();
        }
        ASSERT_TRUE(run.WaitForEnd());
        std::vector<int> expected = {0, 23, 25, 3, 21};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(expected, run.Events());
        const json node = run.Node();
        EXPECT_EQ(c.state, Int(node, "job_state"));
        EXPECT_EQ(static_cast<int32_t>(c.code), Int(node, "job_error_code"));
        EXPECT_EQ(c.status == -3, !node.contains("download_duration"));
        EXPECT_EQ(c.errorReported, !run.Reporter()->Errors().empty());
        // Nothing was left to fetch: no request reached the server.
        EXPECT_TRUE(run.Requests("GET").empty());
        EXPECT_EQ(1, Int(node, "last_download_error"));
    }
}

TEST_F(JobPluginTest, APluginThatCannotBeTrustedOrCreatedIsNeverRun)
{
    struct Case {
        const char* variant;
        const char* dll;
        const char* clsid;
        const char* type;
        const char* script;
        HRESULT code;
        bool started; // the plug-in's Start was called
    };
    const Case cases[] = {
        {"unsigned", "jobs_scripted_plugin.dll", nullptr, nullptr, "", kPluginSignature, false},
        {"tampered", "jobs_scripted_plugin.dll", nullptr, nullptr, "", kPluginSignature, false},
        {"level3", "jobs_scripted_plugin.dll", "{11111111-2222-3333-4444-555555555555}", nullptr, "",
         kPluginNotInManifest, false},
        // The class identifier in lower case still names the plug-in class.
        {"level3", "jobs_scripted_plugin.dll", "{c0239f12-0de7-47dd-8b89-c16b6a1b4b40}", nullptr, "start 0x80004005\n",
         kPluginStartFailed, true},
        {"level3", "jobs_scripted_plugin.dll", nullptr, "job_archive", "", kPluginNotInManifest, false},
        {"level3", "jobs_foreign_plugin.dll", nullptr, nullptr, "", kPluginCreateFailed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variant << " " << c.dll << " " << (c.clsid ? c.clsid : "") << " "
                                        << (c.type ? c.type : ""));
        JobRun run("refused");
        run.AddPlugin(SignedPlugin(c.variant, c.dll), c.script, true, c.type, c.clsid);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 21, -1, 1}), run.Events());
        const json node = run.Node();
        EXPECT_EQ(static_cast<int32_t>(c.code), Int(node, "job_error_code"));
        EXPECT_EQ(c.started, jobtest::Exists(run.Destination("plugin.dll.job")));
        EXPECT_EQ(nullptr, GetModuleHandleW(run.Destination("plugin.dll").c_str()));
        const auto reports = run.Reporter()->JobErrors();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(c.code, reports.back().code);
    }
}

TEST_F(JobPluginTest, PluginCallbacksWriteTheNodeAndPassTheirEventsOn)
{
    struct Case {
        const char* data;
        json intermediate;
    };
    const Case cases[] = {
        {"[1,{\"a\":2}]", json::array({1, {{"a", 2}}})},
        {"not json at all", json("not json at all")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        JobRun run("callbacks");
        const std::string script = std::string("event 17\nonerror 0x80047F30 ") + c.data +
                                   "\nevent 29\nevent 30\nonerror 0x80070005 denied\nerror 0x00000404\nstatus 3\n";
        run.AddPlugin(SignedPlugin("level3"), script, true);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 21, 17, 29, 30, 6, 1}), run.Events());
        const json node = run.Node();
        EXPECT_EQ(c.intermediate, node.value("intermediate_errors", json()));
        EXPECT_EQ(1, Int(node, "rekey_status"));
        EXPECT_EQ(0x404, Int(node, "OtherErrors"));
        EXPECT_EQ(static_cast<int32_t>(0x80070005), Int(node, "last_plugin_error"));
        EXPECT_EQ(3, Int(node, "error_type"));
        // Status 3 clears the code that OnError wrote.
        EXPECT_EQ(0, Int(node, "job_error_code"));
    }
}

TEST_F(JobPluginTest, ANegativeAnswerToTheInstallStartCancelsWithoutLoading)
{
    JobRun run("cancel");
    run.AddPlugin(SignedPlugin("level3"), "status 3\n", true);
    run.AnswerInstallStart(-1);
    ASSERT_TRUE(run.Run());
    EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 21, 5, 1}), run.Events());
    EXPECT_EQ(static_cast<int32_t>(kInstallCancelledByHost), Int(run.Node(), "job_error_code"));
    EXPECT_FALSE(jobtest::Exists(run.Destination("plugin.dll.job")));
}

TEST_F(JobPluginTest, StopDuringPollingStopsThePluginAndEndsAsStopped)
{
    JobRun run("stoppoll");
    // Event 40 comes through the plug-in's callback from inside its Start.
    run.AddPlugin(SignedPlugin("level3"), "event 40\nrunning -1\nstatus 3\n", true);
    run.Start();
    ASSERT_TRUE(run.WaitForEvent(40));
    run.Job().Stop();
    EXPECT_TRUE(run.WaitForEnd(0));
    EXPECT_FALSE(run.Job().IsRunning());
    EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 21, 40, 13, 1}), run.Events());
    const json node = run.Node();
    EXPECT_EQ(vek::eFinished, Int(node, "job_state"));
    EXPECT_EQ(0, Int(node, "job_error_code"));
    const std::string stops = run.PluginText(".stops");
    EXPECT_TRUE(stops == "1" || stops == "2") << stops;
    EXPECT_EQ(nullptr, GetModuleHandleW(run.Destination("plugin.dll").c_str()));
}

// Every file the job validated stays held, readable but neither writable nor deletable by anyone,
// while the plug-in runs; the job lets go of it when it ends.
TEST_F(JobPluginTest, HandedFilesAreHeldUntilTheJobEnds)
{
    JobRun run("heldfiles");
    run.AddFile("payload.bin", std::string(5000, 'p'));
    run.AddPlugin(SignedPlugin("level3"), "event 40\nrunning -1\nstatus 3\n");
    run.Start();
    ASSERT_TRUE(run.WaitForEvent(40));
    const std::wstring payload = run.Destination("payload.bin");
    struct Use {
        const char* name;
        DWORD access;
        DWORD share;
        DWORD whileHeld; // the error while the job holds the file
    };
    const Use uses[] = {
        {"read", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, ERROR_SUCCESS},
        {"write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, ERROR_SHARING_VIOLATION},
        {"delete", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, ERROR_SHARING_VIOLATION},
    };
    auto errorOf = [&](const Use& use) {
        HANDLE file = ::CreateFileW(payload.c_str(), use.access, use.share, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = file == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        return error;
    };
    for (const Use& use : uses)
        EXPECT_EQ(use.whileHeld, errorOf(use)) << use.name;
    // Nor can it be renamed away, to put another file under its name.
    EXPECT_FALSE(::MoveFileW(payload.c_str(), (payload + L".moved").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
    run.Job().Stop();
    EXPECT_TRUE(run.WaitForEnd(0));
    for (const Use& use : uses)
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), errorOf(use)) << use.name << " after the end";
}

TEST_F(JobPluginTest, APausedJobRunsNoStageUntilResumedAndStopsCleanly)
{
    {
        JobRun run("pausestop");
        run.AddPlugin(SignedPlugin("level3"), "status 3\n", true);
        run.Create();
        run.Job().Pause();
        run.Start();
        EXPECT_TRUE(run.Job().IsPaused());
        run.Job().Stop();
        EXPECT_TRUE(run.WaitForEnd(0));
        EXPECT_EQ((std::vector<int>{13, 1}), run.Events());
        EXPECT_FALSE(jobtest::Exists(run.Destination("plugin.dll.job")));
    }
    JobRun run("pauseresume");
    run.AddPlugin(SignedPlugin("level3"), "status 3\n", true);
    run.Create();
    run.Job().Pause();
    run.Start();
    run.Job().Resume();
    EXPECT_FALSE(run.Job().IsPaused());
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ((std::vector<int>{0, 23, 25, 3, 21, 6, 1}), run.Events());
}

TEST_F(JobPluginTest, TheJobTypeDecidesWhatFollowsAValidDownload)
{
    struct Case {
        const char* type; // null: no "job_type"
        std::vector<int> events;
    };
    const Case cases[] = {
        {"install", {0, 23, 25, 3, 21, 6, 1}},
        {nullptr, {0, 23, 25, 3, 21, 6, 1}},
        {"something else", {0, 23, 25, 3, 21, 6, 1}},
        {"download", {0, 23, 25, 3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type ? c.type : "(none)");
        JobRun run("jobtype", c.type);
        run.AddPlugin(SignedPlugin("level3"), "status 3\n", true);
        ASSERT_TRUE(run.Run());
        EXPECT_EQ(c.events, run.Events());
        EXPECT_EQ(c.events.size() > 5, jobtest::Exists(run.Destination("plugin.dll.job")));
    }
}

TEST(JobExceptionTest, MessagesFollowTheCode)
{
    const std::pair<HRESULT, const char*> cases[] = {
        {static_cast<HRESULT>(0x80047EC1L), "Cannot initialize plugin loader"},
        {static_cast<HRESULT>(0x80047EC2L), "Cannot start plugin"},
        {static_cast<HRESULT>(0x80047EC3L), "Cannot create plugin object"},
        {static_cast<HRESULT>(0x80047EC4L), "Invalid digital signature"},
        {static_cast<HRESULT>(0x80047EC5L), "Unable to find plugin in manifest"},
        {static_cast<HRESULT>(0x80047ECAL), "Unknown JobException"},
        {E_FAIL, "Unknown JobException"},
    };
    for (const auto& [code, message] : cases) {
        const vek::JobException e(code);
        EXPECT_STREQ(message, e.what());
        EXPECT_EQ(code, e.GetCode());
    }
}

} // namespace
