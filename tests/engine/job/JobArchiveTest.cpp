// The archive stage through a whole job run: the scripted plug-in's archive class does the work in
// one call after a valid download.
#include "JobTestSupport.h"

#include "engine/manifest/VekJobStates.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "services/launcher/VekUtil.h"
#include "services/trust/TrustTestSupport.h"

#include <gtest/gtest.h>

namespace {

using jobtest::JobRun;
using jobtest::json;

TEST(JobArchiveTest, ArchiveJobsRunTheArchivePluginOnce)
{
    trust_test::ScopedSignerNames names;
    const std::string archiveClass = jobtest::Utf8(vek::GuidToString(vek::plugin::CLSID_VekArchive));
    struct Case {
        const char* variant;
        const char* type; // of the plug-in entry
        const char* script;
        std::vector<int> tail; // the events after 3
        HRESULT code;
    };
    const Case cases[] = {
        {"level3", "job_archive", "", {34, 35, 1}, S_OK},
        {"level3", "job_plugin2", "", {34, -1, 1}, static_cast<HRESULT>(0x80047ECAL)},
        {"unsigned", "job_archive", "", {34, -1, 1}, static_cast<HRESULT>(0x80047EC4L)},
        {"level3", "job_archive", "start 0x80004005\n", {34, -1, 1}, static_cast<HRESULT>(0x80047ECBL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variant << " " << c.type << " " << c.script);
        JobRun run("archive", "archive");
        run.AddFile("data.bin", std::string(1000, 'd'));
        run.AddPlugin(jobtest::SignedPlugin(c.variant), c.script, false, c.type, archiveClass.c_str());
        ASSERT_TRUE(run.Run());
        std::vector<int> expected = {0, 23, 2, 25, 3};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(expected, run.Events());
        const json node = run.Node();
        EXPECT_EQ(static_cast<int32_t>(c.code), node.value("job_error_code", -1));
        // A failed stage ends the thread where it stood: the state stays eArchive.
        EXPECT_EQ(c.code == S_OK ? vek::eFinished : vek::eArchive, node.value("job_state", -100));
        // The plug-in saw the job text only when it was trusted and found.
        EXPECT_EQ(c.code == S_OK || c.code == static_cast<HRESULT>(0x80047ECBL),
                  jobtest::Exists(run.Destination("plugin.dll.job")));
    }
}

} // namespace
