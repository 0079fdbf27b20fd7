// The main dialog driven by the real job engine: download-only jobs fetch from the local HTTPS
// test server, and every job event reaches the dialog as a posted copy, the way the UI engine and
// the tray window relay it. Checked: a failed download shows the attention page with its exit
// code and the job's error, and the window then closes without a question.
#include "DialogTestSupport.h"

#include "engine/jobengine/JobEngineTestSupport.h"
#include "engine/jobengine/VekJobEngine.h"
#include "net/VekTestServer.h"
#include "services/launcher/VekUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

using dialogtest::DialogTest;
using json = nlohmann::json;
using vek::VekJobEngine;
using vek::test::TestServer;

const char* const kAbc = "abc";
const char* const kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// A bound for failures only: the loop ends as soon as the awaited update arrives.
constexpr ULONGLONG kSafetyMs = 120000;

class RealEngineDialogTest : public DialogTest {
public:
    void SetUp() override
    {
        DialogTest::SetUp();
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_manifestId = "{DIALOG-" + name + "-" + std::to_string(::GetCurrentProcessId()) + "}";
        m_prefix = TestServer::UniquePrefix("Dialog" + name);
        m_run = std::make_unique<jobenginetest::TempFolder>(L"dialog-run-" + jobenginetest::Widen(name));
        jobenginetest::RemoveManifestKey(m_manifestId);
    }
    void TearDown() override
    {
        if (m_engine)
            m_engine->Stop(true);
        DialogTest::TearDown();
        m_engine.reset();
        jobenginetest::RemoveManifestKey(m_manifestId);
        TestServer::Instance().Clear(m_prefix);
    }

    // One download-only job of one file, with the server's answer scripted.
    void MakeEngine(const json& scenario)
    {
        const std::string path = m_prefix + "j1/a.bin";
        TestServer::Instance().PutFile(path, kAbc);
        if (!scenario.empty())
            TestServer::Instance().SetScenario(path, scenario);
        const json job = {
            {"job_id", "j1"},
            {"job_type", "download"},
            {"file_array", json::array({{{"source_file", vek::ToUtf8(TestServer::Instance().HttpsUrl(path))},
                                         {"destination_file", "a.bin"},
                                         {"file_priority", 0},
                                         {"validation", {{"type", "sha256"}, {"data", kAbcDigest}}}}})}};
        const json root = {{"vek",
                            {{"global", {{"manifest_id", m_manifestId}}},
                             {"bootstrap", {{"run_location", vek::ToUtf8(m_run->Text() + L"\\")}}},
                             {"job_array", json::array({job})}}}};
        auto document = std::make_shared<vek::ManifestDocument>();
        ASSERT_EQ(document->Adopt(root), S_OK);
        m_engine = std::make_shared<VekJobEngine>(nullptr, document, L"C:\\x\\VekLauncher.exe");
        m_engine->setCommandLine(L"VekLauncher.exe");
    }

    // The dialog over the real engine (through the constructor the product uses), and the relay
    // of the engine's events and progress to it as posted copies.
    void OpenOnEngine()
    {
        vek::VekBaseUIOptions options;
        options.jobList = std::make_unique<dialogtest::RecordingJobList>(list);
        options.system = &system;
        qkCommandLine commandLine;
        commandLine.Parse(L"VekLauncher.exe");
        options.commandLine = commandLine;
        options.interactiveSession = true;
        options.tickCount = [this] { return now; };
        options.sleep = [](DWORD) {};
        dialog = std::make_unique<vek::VekBaseUI>(nullptr, m_engine, S_OK, std::move(options));
        ASSERT_EQ(dialog->Create(owner->GetHwnd()), S_OK);
        HWND target = dialog->hwnd();
        m_engine->subscribeJobEvents([target](int32_t event, const json& node) {
            auto record = std::make_unique<vek::VekJobUpdateRecord>();
            record->job = node;
            record->event = event;
            vek::PostJobUpdateRecord(target, WM_VEK_UPDATE_JOB_INFO, std::move(record));
            return 0;
        });
        m_engine->subscribeJobProgress([target](uint64_t total, uint64_t done) {
            auto record = std::make_unique<vek::VekProgressRecord>();
            record->total = total;
            record->done = done;
            vek::PostProgressRecord(target, WM_VEK_JOB_PROGRESS_INFO, std::move(record));
        });
        Drain();
    }

    // Runs the window's messages until the job list has seen the event (or the window closed).
    bool PumpUntilListSees(int event)
    {
        const ULONGLONG end = ::GetTickCount64() + kSafetyMs;
        while (::GetTickCount64() < end) {
            Drain();
            for (int seen : list->events)
                if (seen == event)
                    return true;
            if (Closed())
                return false;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        }
        return false;
    }
    bool PumpUntilClosed()
    {
        const ULONGLONG end = ::GetTickCount64() + kSafetyMs;
        while (::GetTickCount64() < end && !Closed()) {
            Drain();
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        }
        return Closed();
    }

    std::shared_ptr<VekJobEngine> m_engine;
    std::string m_manifestId;
    std::string m_prefix;
    std::unique_ptr<jobenginetest::TempFolder> m_run;
};

TEST_F(RealEngineDialogTest, FailedDownloadShowsTheAttentionPageAndClosesWithoutAsking)
{
    MakeEngine(json{{"status", 404}});
    OpenOnEngine();
    ASSERT_TRUE(m_engine->Start());
    ASSERT_TRUE(PumpUntilListSees(11)) << testing::PrintToString(list->events);
    Drain();
    const std::vector<int>& events = list->events;
    EXPECT_EQ(events.front(), 9);
    EXPECT_TRUE(std::find_if(events.begin(), events.end(), [](int e) { return e == -1 || e == -3; }) != events.end())
        << "a fatal job event: " << testing::PrintToString(events);
    EXPECT_LT(m_engine->GetEngineState(), 0);
    EXPECT_EQ(g_ExitCode, 3);
    EXPECT_EQ(Text(3320), L"Error-Unable to Continue");
    EXPECT_FALSE(ListVisible());
    EXPECT_FALSE(Closed()) << "the page waits for the user";
    EXPECT_EQ(static_cast<uint32_t>(dialog->lastError()), 0x80047EC6u) << "the job's download error";
    m_engine->Join();
    ::PostMessageW(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(PumpUntilClosed());
    EXPECT_EQ(system.boxes, 0) << "after a fatal event: no question";
    EXPECT_EQ(g_ExitCode, 3);
    EXPECT_EQ(owner->closes, 1);
}

} // namespace
