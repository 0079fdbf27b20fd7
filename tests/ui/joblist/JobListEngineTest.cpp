// The job list over the real job engine (not started): one window per job of the manifest, the
// download folder the engine derives, and values removed from the engine's own document.
#include "JobListFixture.h"

#include "engine/jobengine/VekJobEngine.h"
#include "engine/manifest/ManifestDocument.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<vek::ManifestDocument> Manifest()
{
    nlohmann::json job1 = {{"job_type", "download"}, {"job_error_code", 5}, {"download_duration", 9}};
    nlohmann::json job2 = {{"job_type", "install"}};
    auto document = std::make_shared<vek::ManifestDocument>();
    EXPECT_EQ(S_OK, document->Adopt({{"vek",
                                      {{"global", {{"manifest_id", "{M}"}}},
                                       {"bootstrap", {{"run_location", "C:\\run\\"}, {"download_folder", "dl"}}},
                                       {"job_array", {job1, job2, job2}}}}}));
    return document;
}

TEST(JobListOverTheJobEngine, WindowsFolderAndDocument)
{
    auto document = Manifest();
    auto engine = std::make_shared<vek::VekJobEngine>(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
    auto system = std::make_shared<joblisttest::RecordingSystem>();
    joblisttest::DialogStandIn dialog;
    vek::VekJobList list(engine, nullptr);
    list.SetSystem(system);
    RECT client{};
    ::GetClientRect(dialog, &client);
    ASSERT_NE(nullptr, list.Create(dialog, client));
    ASSERT_EQ(3u, list.GetJobWindowCount());

    nlohmann::json job;
    ASSERT_TRUE(document->GetJob(0, job));
    vek::VekJobUpdateRecord record{job, 0};
    list.OnUpdateJobInfo(WM_VEK_UPDATE_JOB_INFO, record);
    joblisttest::Drain();
    // A download job's link opens the folder the engine downloads into.
    ::SendMessageW(list.GetJobWindow(0)->GetHwnd(), WM_COMMAND, vek::kJobUiClickHereLink, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\run\\{M}\\dl"}), system->opened);

    // A retry's clean-up reaches the engine's document, not only the window's copy.
    auto wrapped = vek::VekJobUIEngine::Wrap(engine);
    wrapped->RemoveJobValue(0, "job_error_code");
    ASSERT_TRUE(document->GetJob(0, job));
    EXPECT_FALSE(job.contains("job_error_code"));
    EXPECT_TRUE(job.contains("download_duration"));
    EXPECT_EQ(3, wrapped->GetJobCount());
}

} // namespace
