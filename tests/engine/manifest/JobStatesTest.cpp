// Job states and job events: the tables, the state changes with their "error_type", and the
// rule that eJobFinish ends every run.
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobEventEmitter.h"
#include "engine/manifest/VekJobStates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using json = nlohmann::json;

TEST(JobEventTable, EveryValueOnceWithTheSystemNames)
{
    std::set<std::wstring> names;
    int32_t expected = -5;
    for (const vek::JobEventInfo* row = vek::JobEventTableBegin(); row != vek::JobEventTableEnd(); ++row) {
        EXPECT_EQ(row->value, expected++) << "rows in value order, none missing";
        EXPECT_TRUE(names.insert(row->name).second)
            << "name used twice: " << std::string(row->name, row->name + wcslen(row->name));
        EXPECT_NE(row->origins, 0u);
        EXPECT_EQ(row->wholeDocument, row->value >= 9 && row->value <= 11);
    }
    EXPECT_EQ(expected, 44);

    struct Named {
        int32_t value;
        const wchar_t* name;
    } named[] = {
        {-4, L"eJobInstallErrorRetryDownload"},
        {-1, L"eFatalError"},
        {1, L"eJobFinish"},
        {3, L"eJobDownloadFinish"},
        {12, L"eFailover"},
        {13, L"eJobStopped"},
        {19, L"eJobDownloadFailed"},
        {20, L"eJobEngineRestartAsAdmin"},
        {42, L"eJobShowRestartAndUpgradeMessage"},
    };
    for (const auto& n : named) {
        EXPECT_STREQ(vek::JobEventName(n.value), n.name);
    }
    EXPECT_STREQ(vek::JobEventName(44), L"unknown");
    EXPECT_STREQ(vek::JobEventName(-6), L"unknown");
    EXPECT_TRUE(vek::IsEngineJobEvent(28));
    EXPECT_FALSE(vek::IsEngineJobEvent(29));
    EXPECT_TRUE(vek::IsUiJobEvent(43));
    EXPECT_FALSE(vek::IsUiJobEvent(44));

    struct State {
        int32_t value;
        const wchar_t* name;
    } states[] = {
        {-3, L"eRestartDownload"},     {-2, L"eDownloadError"},  {0, L"ePreProcess"}, {1, L"eDownload"},
        {2, L"ePostProcess"},          {3, L"eInstallFinished"}, {4, L"eStopped"},    {5, L"eInstallCancelled"},
        {8, L"eRebootRequired"},       {9, L"eFinished"},        {10, L"eArchive"},   {11, L"eArchiveFinished"},
        {13, L"eInstallUACCancelled"},
    };
    for (const auto& s : states) {
        EXPECT_STREQ(vek::JobStateName(s.value), s.name);
    }
    EXPECT_STREQ(vek::JobStateName(14), L"unknown");
}

TEST(JobState, TransitionsKeepErrorType)
{
    struct Case {
        int32_t state;
        bool pluginStage;
        json errorBefore;
        json errorAfter;
    } cases[] = {
        {vek::eDownloadError, false, 0, 1}, {vek::eDownloadError, true, 3, 1},
        {vek::eInstallFailed, true, 2, 0},  // inside the plug-in stage
        {vek::eInstallFailed, false, 0, 2}, // outside it
        {vek::eDownload, false, 1, 1},      // other states leave it
        {vek::eFinished, true, 3, 3},       {vek::eStopped, false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.state << " plugin=" << c.pluginStage);
        json root = {{"vek", {{"job_array", json::array({json::object()})}}}};
        if (!c.errorBefore.is_null()) {
            root["vek"]["job_array"][0]["error_type"] = c.errorBefore;
        }
        vek::ManifestDocument document;
        ASSERT_EQ(document.Adopt(root), S_OK);
        EXPECT_EQ(document.GetJobState(0), vek::eDownloadError) << "a node without job_state";
        ASSERT_TRUE(document.SetJobState(0, c.state, c.pluginStage));
        EXPECT_EQ(document.GetJobState(0), c.state);
        EXPECT_EQ(document.GetJobValue(0, "error_type"), c.errorAfter);
    }
}

TEST(JobState, ReadsAndResets)
{
    struct Case {
        json state;
        int32_t expected;
    } cases[] = {
        {4, 4},
        {-3, -3},
        {nullptr, vek::eDownloadError},
        {"4", vek::eDownloadError},
        {4.5, vek::eDownloadError},
        {json::parse("4294967296"), vek::eDownloadError},
        {json::object(), vek::eDownloadError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state.dump());
        EXPECT_EQ(vek::ManifestDocument::ReadJobState(json{{"job_state", c.state}}), c.expected);
    }
    vek::ManifestDocument document;
    ASSERT_EQ(
        document.Adopt(json::parse(R"({"vek":{"job_array":[{"job_state":9,"error_type":1,"job_error_code":5}]}})")),
        S_OK);
    EXPECT_TRUE(document.ResetJobState(0));
    const json job = document.GetJobValue(0, "job_state");
    EXPECT_EQ(job, 0);
    EXPECT_EQ(document.GetJobValue(0, "error_type"), 0);
    EXPECT_EQ(document.GetJobValue(0, "job_error_code"), 0);
    EXPECT_FALSE(document.SetJobState(1, vek::eDownload, false)) << "no second job";
    EXPECT_EQ(document.GetJobState(1), vek::eDownloadError);

    EXPECT_EQ(vek::ErrorTypeForPluginEvent(-3), 2);
    EXPECT_EQ(vek::ErrorTypeForPluginEvent(17), 3);
    EXPECT_EQ(vek::ErrorTypeForPluginEvent(29), -1);
}

TEST(JobState, PluginEventsRecordedInTheNode)
{
    struct Case {
        int32_t event;
        json expected;
    } cases[] = {
        {-3, {{"error_type", 2}}},   {17, {{"error_type", 3}}},
        {29, {{"rekey_status", 0}}}, {30, {{"rekey_status", 1}, {"OtherErrors", 404}}},
        {31, {{"rekey_status", 2}}}, {4, json::object()},
        {28, json::object()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        vek::ManifestDocument document;
        ASSERT_EQ(document.Adopt(json::parse(R"({"vek":{"job_array":[{}]}})")), S_OK);
        EXPECT_TRUE(document.RecordPluginEvent(0, c.event, 404));
        json job;
        ASSERT_TRUE(document.GetJob(0, job));
        EXPECT_EQ(job, c.expected);
        EXPECT_FALSE(document.RecordPluginEvent(1, c.event, 404));
    }
}

namespace {

struct Recorder {
    vek::JobEventSignal signal;
    std::vector<int32_t> events;
    std::mutex lock;

    Recorder()
    {
        signal.connect([this](int32_t event, const json&) {
            std::lock_guard<std::mutex> guard(lock);
            events.push_back(event);
            return event == vek::eJobInstallStart ? -1 : 0;
        });
    }
};

} // namespace

TEST(JobEvents, FinishIsTheLastEventOfEveryRun)
{
    const json node = {{"job_id", "x"}};
    struct Case {
        const char* name;
        bool throws;
        std::vector<int32_t> fired;
        std::vector<int32_t> seen;
    } cases[] = {
        {"normal run", false, {0, 23, 3}, {0, 23, 3, 1}},
        {"run ended by an exception", true, {0, 23}, {0, 23, -1, 1}},
        {"finish fired by the run itself", false, {0, 1, 6}, {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        vek::JobEventEmitter emitter(recorder.signal);
        try {
            vek::JobRunScope run(emitter, node);
            for (int32_t event : c.fired) {
                emitter.Fire(event, node);
            }
            if (c.throws) {
                throw std::runtime_error("job failed");
            }
        } catch (const std::runtime_error&) {}
        EXPECT_EQ(recorder.events, c.seen);
        EXPECT_FALSE(emitter.IsRunning());
        EXPECT_EQ(emitter.Fire(vek::eJobDownloadStart, node), 0);
        EXPECT_EQ(recorder.events, c.seen) << "nothing after eJobFinish";
    }
}

TEST(JobEvents, SignalResultAndHandlersThatThrow)
{
    const json node = json::object();
    vek::JobEventSignal empty;
    vek::JobEventEmitter quiet(empty);
    quiet.BeginRun();
    EXPECT_EQ(quiet.Fire(vek::eJobInstallStart, node), 0) << "no slot: 0";

    Recorder recorder;
    recorder.signal.connect([](int32_t event, const json&) -> int32_t {
        if (event == 25) {
            throw std::runtime_error("handler failed");
        }
        return event == vek::eJobInstallStart ? -7 : 0;
    });
    vek::JobEventEmitter emitter(recorder.signal);
    emitter.BeginRun();
    EXPECT_EQ(emitter.Fire(vek::eJobInstallStart, node), -7) << "the last slot answers";
    EXPECT_EQ(emitter.Fire(25, node), 0);
    EXPECT_TRUE(emitter.IsRunning()) << "a throwing handler does not end the run";
    emitter.Finish(node);
    EXPECT_EQ(recorder.events, (std::vector<int32_t>{21, 25, 1}));
}

TEST(JobEvents, FinishStaysLastWithAPluginThreadFiring)
{
    const json node = json::object();
    for (int round = 0; round < 20; ++round) {
        Recorder recorder;
        vek::JobEventEmitter emitter(recorder.signal);
        emitter.BeginRun();
        std::atomic<bool> go{false};
        std::thread plugin([&] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 200; ++i) {
                emitter.Fire(vek::eJobRekeyStatus0, node);
            }
        });
        go = true;
        emitter.Fire(vek::eJobInstallStart, node);
        emitter.Finish(node);
        plugin.join();
        ASSERT_FALSE(recorder.events.empty());
        EXPECT_EQ(recorder.events.back(), vek::eJobFinish);
        EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), vek::eJobFinish), 1);
    }
}
