// The job engine's handling of job events, on the real registry: each case fires a sequence of
// events at a fresh engine as a running job would, then checks what reached the subscribers, the
// engine state, whether the run was ended, the registry values of the manifest and its jobs, and
// what was reported.
#include "engine/jobengine/VekJobEngine.h"

#include "JobEngineTestSupport.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobStates.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace jobenginetest;
using vek::VekJobEngine;

namespace {

constexpr int32_t kBackendFailed = static_cast<int32_t>(0x80047ECD);
constexpr int32_t kPluginNotFound = static_cast<int32_t>(0x80047EC5);
constexpr int32_t kPluginNotLoaded = static_cast<int32_t>(0x80047EC1);
// A step that stands for the job window writing "no further retry" between two events.
constexpr int32_t kUserSpendsRetry = 1000;
constexpr int32_t kSubscriberResult = 7;

struct Step {
    int32_t event;
    json patch = json::object(); // merged into job j1's node before it is passed
};

struct RegValue {
    const char* job; // "" for the manifest key
    const wchar_t* name;
    std::optional<DWORD> value;
};

struct Case {
    const char* name;
    json global;                 // merged into "vek"."global"
    std::vector<RegValue> before; // values written before the events (set ones only)
    std::vector<Step> steps;
    std::vector<int32_t> forwarded;
    int32_t state;
    bool terminating;
    std::vector<RegValue> after;
    std::vector<std::pair<int, bool>> reported; // (event, with data)
    std::optional<int32_t> lastError = std::nullopt;
    std::optional<uint32_t> restoredDuration = std::nullopt;
    json restart = nullptr; // expected "vek"."restart"
};

std::wstring KeyOf(const std::string& manifestId, const char* job)
{
    return *job ? JobKey(manifestId, job) : ManifestKey(manifestId);
}

json MakeManifest(const std::string& manifestId, const json& global)
{
    json root = {{"vek",
                  {{"global", {{"manifest_id", manifestId}}},
                   {"bootstrap", {{"options", json::object()}}},
                   {"job_array",
                    json::array({{{"job_id", "j1"}, {"job_type", "install"}},
                                 {{"job_id", "j2"}, {"job_type", "install"}}})}}}};
    root["vek"]["global"].update(global);
    return root;
}

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        {"PreProcessRecordsStartedOnceAndRestoresDuration",
         json::object(),
         {{"j1", L"download_duration", 42}},
         {{vek::eJobPreProcess}, {vek::eJobPreProcess}},
         {0, 0},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"Started", 1}, {"j1", L"download_duration", 42}},
         {{0, true}},
         std::nullopt,
         42u},
        {"FirstDataClearsDurationAndEveryDownloadComplete",
         json::object(),
         {{"j1", L"download_duration", 5}, {"j1", L"DownloadComplete", 0}, {"j2", L"DownloadComplete", 0}},
         {{vek::eJobDownloadStart, {{"download_started", 1}}}},
         {2},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"download_duration", std::nullopt},
          {"j1", L"DownloadComplete", std::nullopt},
          {"j2", L"DownloadComplete", std::nullopt}},
         {{2, false}}},
        {"InstallJobDownloadFinishRecordsDownloadCompleteOnly",
         json::object(),
         {{"j1", L"Started", 1}},
         {{vek::eJobDownloadFinish}},
         {3},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"DownloadComplete", 0}, {"j1", L"Finished", std::nullopt}},
         {}},
        {"DownloadOnlyJobFinishesAndReportsOnce",
         json::object(),
         {},
         {{vek::eJobPreProcess, {{"job_type", "download"}}},
          {vek::eJobDownloadFinish, {{"job_type", "download"}}},
          {vek::eJobDownloadFinish, {{"job_type", "download"}}}},
         {0, 3, 3},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"Finished", 1}, {"j1", L"DownloadComplete", std::nullopt}},
         {{0, true}, {1, true}}},
        {"JobThatNeverStartedCannotBeFinished",
         json::object(),
         {},
         {{vek::eJobPluginEvent4}},
         {4},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"Finished", std::nullopt}},
         {}},
        {"DurationFrozenByEarlierEventIsNotSaved",
         json::object(),
         {},
         {{vek::eJobPreProcess}, {vek::eJobPluginEvent4}, {vek::eJobRebootRequired, {{"download_duration", 77}}}},
         {0, 4, 22},
         VekJobEngine::eIdle,
         true,
         {{"j1", L"Finished", 1}, {"j1", L"download_duration", std::nullopt}},
         {{0, true}, {1, true}, {22, true}}},
        {"RebootRequiredSavesDurationAndEndsRun",
         json::object(),
         {},
         {{vek::eJobRebootRequired, {{"download_duration", 77}}}},
         {22},
         VekJobEngine::eIdle,
         true,
         {{"j1", L"download_duration", 77}},
         {{22, true}}},
        {"DownloadFailureWithoutFailoverIsFatalAndCounted",
         json::object(),
         {},
         {{vek::eJobPreProcess},
          {vek::eJobDownloadFailed, {{"job_error_code", kBackendFailed}}},
          {vek::eJobDownloadFailed, {{"job_error_code", kBackendFailed}}}},
         {0, -1, -1},
         VekJobEngine::eFatalError,
         true,
         {{"j1", L"FailureCount", 1}, {"j1", L"Finished", 1}},
         {{0, true}, {-1, false}, {1, true}, {-1, false}},
         kBackendFailed},
        {"DownloadFailureWithFailoverOffersIt",
         {{"failover", "https://localhost/failover"}},
         {},
         {{vek::eJobDownloadFailed}},
         {12},
         VekJobEngine::eFailover,
         true,
         {{"j1", L"FailureCount", 0}},
         {{12, false}}},
        {"AcceptedDownloadNotFoundIsFatalDespiteFailover",
         {{"failover", "https://localhost/failover"}},
         {{"", L"DownloadAccepted", 1}},
         {{vek::eJobDownloadFailed, {{"OtherErrors", 404}}}},
         {-1},
         VekJobEngine::eFatalError,
         true,
         {{"j1", L"FailureCount", 0}},
         {{-1, false}}},
        {"SuccessfulJobEndIsForwardedAndClearsLastError",
         json::object(),
         {},
         {{vek::eJobFinish, {{"job_error_code", 0}}}},
         {1},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"FailureCount", std::nullopt}},
         {},
         0},
        {"OrdinaryJobFailureIsForwardedUncounted",
         json::object(),
         {},
         {{vek::eJobFinish, {{"job_error_code", kBackendFailed}}}},
         {1},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"FailureCount", std::nullopt}},
         {},
         kBackendFailed},
        {"MissingPluginIsFatalAndCounted",
         json::object(),
         {},
         {{vek::eJobFinish, {{"job_error_code", kPluginNotFound}}}},
         {-1},
         VekJobEngine::eFatalError,
         false,
         {{"j1", L"FailureCount", 0}},
         {},
         kPluginNotFound},
        {"UnloadablePluginIsFatalAndCounted",
         json::object(),
         {},
         {{vek::eJobFinish, {{"job_error_code", kPluginNotLoaded}}}},
         {-1},
         VekJobEngine::eFatalError,
         false,
         {{"j1", L"FailureCount", 0}},
         {},
         kPluginNotLoaded},
        {"InstallErrorAllowsOneNewDownload",
         json::object(),
         {{"j1", L"Started", 1}},
         {{vek::eJobInstallErrorRetryDownload}},
         {-4},
         VekJobEngine::eRetryDownloadAllowed,
         false,
         {{"", L"RetryDownload", 1}},
         {{-4, true}}},
        {"SecondInstallErrorAfterSpentRetryIsFatal",
         json::object(),
         {{"j1", L"Started", 1}},
         {{vek::eJobInstallErrorRetryDownload}, {kUserSpendsRetry}, {vek::eJobInstallErrorRetryDownload}},
         {-4, -4},
         VekJobEngine::eFatalError,
         false,
         {{"", L"RetryDownload", 2}},
         {{-4, true}, {-4, true}}},
        // Without the manifest's key the grant cannot be recorded: refused, or it would be
        // granted again and again.
        {"RetryThatCannotBeRecordedIsRefused",
         json::object(),
         {},
         {{vek::eJobInstallErrorRetryDownload}},
         {-4},
         VekJobEngine::eFatalError,
         false,
         {{"", L"RetryDownload", std::nullopt}},
         {{-4, true}}},
        // A second install error before the new download recorded its start: the engine has
        // granted its one retry already.
        {"SecondInstallErrorOfTheSameEngineIsFatal",
         json::object(),
         {{"j1", L"Started", 1}},
         {{vek::eJobInstallErrorRetryDownload}, {vek::eJobInstallErrorRetryDownload}},
         {-4, -4},
         VekJobEngine::eFatalError,
         false,
         {{"", L"RetryDownload", 1}},
         {{-4, true}, {-4, true}}},
        {"ValidationFailureFinishesAndAsksForNewDownload",
         json::object(),
         {},
         {{vek::eJobPreProcess}, {vek::eJobValidationFailed}},
         {0, 27},
         VekJobEngine::eRetryDownloadAllowed,
         false,
         {{"j1", L"Finished", 1}, {"", L"RetryDownload", 1}},
         {{0, true}, {1, true}}},
        {"RestartAsAdminCarriesRestartIntoManifest",
         json::object(),
         {},
         {{vek::eJobEngineRestartAsAdmin, {{"restart", {{"elevated", true}}}}}},
         {20},
         VekJobEngine::eIdle,
         true,
         {},
         {{20, false}},
         std::nullopt,
         std::nullopt,
         {{"elevated", true}}},
        {"PluginFailureClassFinishesAndIsFatal",
         json::object(),
         {},
         {{vek::eJobPreProcess}, {vek::eJobPluginFailure}},
         {0, -3},
         VekJobEngine::eFatalError,
         false,
         {{"j1", L"Finished", 1}},
         {{0, true}, {1, true}, {-3, false}}},
        {"JobEndedByItsExceptionIsFatal",
         json::object(),
         {},
         {{vek::eFatalError}, {vek::eJobFinish, {{"job_error_code", static_cast<int32_t>(0x80047EC4)}}}},
         {-1, -1},
         VekJobEngine::eFatalError,
         false,
         {{"j1", L"FailureCount", 0}},
         {{-1, false}}},
        {"FailedBackendCheckOffersFailover",
         {{"failover", "https://localhost/failover"}},
         {},
         {{vek::eFailover}},
         {12},
         VekJobEngine::eFailover,
         false,
         {},
         {}},
        {"FailedBackendCheckWithoutFailoverIsFatal",
         json::object(),
         {},
         {{vek::eFailover}},
         {12},
         VekJobEngine::eFatalError,
         false,
         {},
         {}},
        {"InstallFailedIsFatal",
         json::object(),
         {},
         {{vek::eJobInstallFailed}},
         {-2},
         VekJobEngine::eFatalError,
         false,
         {},
         {{-2, false}}},
        {"StoppedJobEndsRun",
         json::object(),
         {},
         {{vek::eJobStopped}},
         {13},
         VekJobEngine::eIdle,
         true,
         {},
         {{13, false}}},
        {"PluginStoppedEndsRun",
         json::object(),
         {},
         {{vek::eJobInstallStopped}},
         {-5},
         VekJobEngine::eIdle,
         true,
         {},
         {{-5, false}}},
        {"UnknownEventIsOnlyForwarded",
         json::object(),
         {},
         {{vek::eJobPluginEvent37}, {99}},
         {37, 99},
         VekJobEngine::eIdle,
         false,
         {{"j1", L"Started", std::nullopt}},
         {}},
    };
    return cases;
}

class JobEventHandlingTest : public ::testing::TestWithParam<Case> {};

TEST_P(JobEventHandlingTest, EventsUpdateStateRegistryAndReports)
{
    const Case& c = GetParam();
    const std::string manifestId = "{JE-EVENTS-" + std::string(c.name) + "-" + std::to_string(::GetCurrentProcessId()) + "}";
    RemoveManifestKey(manifestId);
    for (const RegValue& value : c.before) {
        ASSERT_TRUE(WriteValue(KeyOf(manifestId, value.job), value.name, *value.value));
    }

    auto manifest = std::make_shared<vek::ManifestDocument>();
    ASSERT_EQ(S_OK, manifest->Adopt(MakeManifest(manifestId, c.global)));
    auto reporter = std::make_shared<RecordingReporter>();
    VekJobEngine engine(reporter, manifest, L"C:\\launcher\\VekLauncher.exe");
    engine.setCommandLine(L"VekLauncher.exe");

    std::vector<int32_t> forwarded;
    engine.subscribeJobEvents([&](int32_t event, const json&) {
        forwarded.push_back(event);
        return kSubscriberResult;
    });

    for (const Step& step : c.steps) {
        if (step.event == kUserSpendsRetry) {
            engine.setRetryDownloadDone();
            continue;
        }
        json job = engine.GetJob(0);
        job.update(step.patch);
        EXPECT_EQ(kSubscriberResult, engine.OnJobEvent(step.event, job)) << "event " << step.event;
    }

    EXPECT_EQ(c.forwarded, forwarded);
    EXPECT_EQ(c.state, engine.GetEngineState());
    EXPECT_EQ(c.terminating, engine.IsTerminating());
    for (const RegValue& value : c.after) {
        EXPECT_EQ(value.value, ReadValue(KeyOf(manifestId, value.job), value.name))
            << (*value.job ? value.job : "manifest") << " " << std::string(value.name, value.name + wcslen(value.name));
    }
    EXPECT_EQ(c.reported, reporter->Events());
    json root = manifest->Snapshot();
    if (c.lastError) {
        ASSERT_TRUE(root.contains("last_error"));
        EXPECT_EQ(*c.lastError, root["last_error"].get<int32_t>());
    }
    if (c.restoredDuration) {
        EXPECT_EQ(*c.restoredDuration, root["vek"]["job_array"][0].value("download_duration", 0u));
    }
    if (!c.restart.is_null()) {
        EXPECT_EQ(c.restart, root["vek"].value("restart", json()));
    }
    RemoveManifestKey(manifestId);
}

INSTANTIATE_TEST_SUITE_P(Events, JobEventHandlingTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
