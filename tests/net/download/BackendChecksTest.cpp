// Backend probes against the local server: accepted and refused statuses, skipped checks, and the
// reporting service's status address.
#include "DownloadTestSupport.h"

#include "net/download/BackendChecks.h"
#include "net/download/DownloadJson.h"

#include <gtest/gtest.h>

using nlohmann::json;
using vek::test::TestServer;

namespace {

TEST(BackendChecks, AcceptedRefusedAndSkipped)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("Backend");
    server.SetScenario(dir + "ok", {{"status", 204}});
    server.SetScenario(dir + "down", {{"status", 503}});
    server.SetScenario(dir + "r3_zavo_i/status", {{"status", 200}});
    const std::string ok = vek::WideToUtf8(server.HttpsUrl(dir + "ok"));
    const std::string down = vek::WideToUtf8(server.HttpsUrl(dir + "down"));
    const json options = {{"reporting_url", vek::WideToUtf8(server.HttpsUrl(dir + "r3_zavo_i/report?x=1"))}};

    const struct {
        const char* name;
        json job;
        bool result;
        std::string description;
    } cases[] = {
        {"accepted", {{"backend_urls", {{{"url", ok}, {"codes", {200, 204}}}}}}, true, ""},
        {"refused",
         {{"backend_urls",
           {{{"url", ok}, {"codes", {204}}}, {{"url", down}, {"codes", {200}}}, {{"url", ok}, {"codes", {204}}}}}},
         false,
         "hr=0x00000001, status=503, url=" + down},
        {"redistributable", {{"create_msi", "true"}, {"backend_urls", {{{"url", down}, {"codes", {200}}}}}}, true, ""},
        {"codes not numbers", {{"backend_urls", {{{"url", down}, {"codes", {"200"}}}}}}, true, ""},
        {"empty list", {{"backend_urls", json::array()}}, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json job = c.job;
        EXPECT_EQ(vek::ValidateBackendUrls(job, options), c.result);
        EXPECT_EQ(job.value("job_error_description", std::string()), c.description);
    }
    // The refused case stopped at the failing backend; the status address was probed with HEAD.
    EXPECT_FALSE(dltest::Requests(dir + "r3_zavo_i/status", "HEAD").empty());

    json job = {{"backend_urls", {{{"url", ok}, {"codes", {204}}}}}};
    server.SetScenario(dir + "r3_zavo_i/status", {{"status", 500}});
    EXPECT_FALSE(vek::ValidateBackendUrls(job, options));
    EXPECT_NE(job["job_error_description"].get<std::string>().find("status=500"), std::string::npos);
}

} // namespace
