#include "engine/report/VekDownloadJobReporting.h"
#include "engine/report/VekPingReporter.h"

#include "net/VekTestServer.h"

#include "BrowserProxyTestSupport.h"
#include "ReportTestSupport.h"
#include "net/proxy/ProxyTestSupport.h"

#include <gtest/gtest.h>

using namespace reporttest;
using vek::test::TestServer;

namespace {

class Pings : public ::testing::Test {
protected:
    void SetUp() override
    {
        vek::VekPingReporter::SetPingsOff(false);
        vek::VekPingReporter::ProcessManifest() = nullptr;
        m_dir = TestServer::UniquePrefix("Pings");
        TestServer::Instance().SetScenario(m_dir + "ping", {{"status", 200}, {"body", "ok"}});
        m_manifest = {
            {"vek",
             {{"global",
               {{"manifest_id", "m-1"},
                {"telemetry_product_name", "Tele"},
                {"reporting_url", Narrow(TestServer::Instance().HttpsUrl(m_dir + "ping"))}}},
              {"bootstrap", {{"distribution_type", "web"}}},
              {"job_array",
               json::array(
                   {{{"job_id", "j1"},
                     {"distribution", {{"customer_id", "c1"}, {"domain_id", "d1"}, {"ui_mode", "INTERACTIVE"}}}}})}}}};
    }
    void TearDown() override
    {
        vek::VekPingReporter::SetPingsOff(false);
        vek::VekPingReporter::ProcessManifest() = nullptr;
    }

    std::unique_ptr<vek::VekPingReporter> Make()
    {
        auto reporter = std::make_unique<vek::VekPingReporter>(&m_manifest);
        FixFacts(*reporter, m_folder.Path());
        reporter->installerOptions = [] { return std::wstring(L"silent"); };
        reporter->browserProxy = BrowserWithoutProxy(m_noBrowserKey.Key(), m_noProfile.Path());
        return reporter;
    }
    json Log() { return TestServer::Instance().Log(m_dir); }

    std::string m_dir;
    json m_manifest;
    TempFolder m_folder;
    proxy_test::TestRoot m_noBrowserKey{HKEY_CURRENT_USER, L"PingNoBrowser"};
    proxy_test::TempFolder m_noProfile{L"vek ping "};
};

} // namespace

TEST_F(Pings, StartAndFinishPingsCarryTheirParameters)
{
    auto reporter = Make();
    ASSERT_TRUE(reporter->prepare());
    reporter->sendStartPing(L"x.exe /CC_TOKEN top-secret /q", L"account USER, session 1");
    reporter->sendFinishPing(13, static_cast<HRESULT>(0x80047E0B));
    const json log = Log();
    ASSERT_EQ(2u, log.size());
    const std::string start = log[0].value("query", "");
    const std::vector<std::pair<std::string, std::string>> expected = {{"module", "9091"},
                                                                       {"platform", "windows"},
                                                                       {"product", "VEK"},
                                                                       {"version", "5.17.1.211"},
                                                                       {"g", "Tele"},
                                                                       {"l", "c1"},
                                                                       {"m", "d1"},
                                                                       {"MID", "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"},
                                                                       {"language", "09.01"},
                                                                       {"a", "VEK_START"},
                                                                       {"b", "m-1"},
                                                                       {"c", "web"},
                                                                       {"d", "0"},
                                                                       {"f", "2"},
                                                                       {"k", "account USER, session 1"},
                                                                       {"j", "x.exe /CC_TOKEN ******** /q"},
                                                                       {"e", "2"}};
    for (const auto& [name, value] : expected)
        EXPECT_EQ(value, Param(start, name)) << name;
    const std::string finish = log[1].value("query", "");
    EXPECT_EQ("VEK_FINISH", Param(finish, "a"));
    EXPECT_EQ("13", Param(finish, "h"));
    EXPECT_EQ("80047E0B", Param(finish, "o"));

    // The token reaches neither a request nor the URL file.
    const std::string file = ReadFile(reporter->GetUrlFilePath().substr(4));
    EXPECT_EQ(2u, std::count(file.begin(), file.end(), '\n'));
    EXPECT_EQ(std::string::npos, file.find("top-secret"));
    EXPECT_EQ(std::string::npos, log.dump().find("top-secret"));
}

TEST_F(Pings, JobFailurePings)
{
    auto reporter = Make();
    ASSERT_TRUE(reporter->prepare());
    const json job = {{"job_id", "j1"},
                      {"job_error_code", static_cast<long long>(0x80047EC6)},
                      {"last_download_error", 12029},
                      {"OtherErrors", 3},
                      {"validation_error", 0},
                      {"job_error_description", "hr=0x80072efd, status=0, url=https://b/"}};
    reporter->logJobError(static_cast<HRESULT>(0x80047EC6), true, job, nullptr, vek::kNotGiven, vek::kNotGiven);
    reporter->logJobError(static_cast<HRESULT>(0x80047EC4), true, job, L"a&g=b", 3, 1);
    reporter->logJobError(static_cast<HRESULT>(0x80047ECD), true, job, nullptr, vek::kNotGiven, vek::kNotGiven);
    const json log = Log();
    ASSERT_EQ(3u, log.size());
    const std::string first = log[0].value("query", "");
    EXPECT_EQ("JOB_FAILURE", Param(first, "a"));
    EXPECT_EQ("80047EC6", Param(first, "h"));
    EXPECT_EQ("je:80047EC6,de:2EFD,ve:0,oe:3", Param(first, "o"));
    EXPECT_NE(std::string::npos, first.find("&a=JOB_FAILURE&h=80047EC6&o=je:80047EC6,de:")) << first;
    EXPECT_EQ("je:80047EC6,de:2EFD,ve:0,oe:3,ed:a,b", Param(log[1].value("query", ""), "o"));
    const std::string backend = log[2].value("query", "");
    EXPECT_EQ("BACKEND_VALIDATION", Param(backend, "a"));
    EXPECT_EQ("hr=0x80072efd, status=0, url=https://b/", Param(backend, "o"));
    EXPECT_EQ("<absent>", Param(backend, "status"));
    // The other operations of the interface send nothing.
    json record = json::object();
    EXPECT_EQ(0, reporter->logError(E_FAIL, true, record));
    EXPECT_EQ(0, reporter->logEvent(2, job, true));
    EXPECT_EQ(0, reporter->logConsent(1));
    EXPECT_EQ(3u, Log().size());
}

// The first ping that cannot be delivered silences every later ping of the process.
TEST_F(Pings, FailedPingSilencesTheRest)
{
    TestServer::Instance().SetScenario(m_dir + "ping", {{"status", 404}});
    auto reporter = Make();
    auto other = Make();
    reporter->sendStartPing(L"", L"");
    EXPECT_TRUE(vek::VekPingReporter::PingsOff());
    EXPECT_FALSE(other->prepare());
    other->logJobError(E_FAIL, true, json::object(), nullptr, vek::kNotGiven, vek::kNotGiven);
    reporter->sendFinishPing(0, S_OK);
    EXPECT_EQ(1u, Log().size());
}

// A program without an appended manifest sends no start or finish ping but has its reporter.
TEST_F(Pings, NoPingsWithoutOwnManifest)
{
    vek::VekPingReporter::ProcessReporter().reset();
    vek::SendStartPing(L"x.exe", L"account USER, session 1");
    EXPECT_TRUE(vek::VekPingReporter::PingsOff());
    EXPECT_NE(nullptr, vek::VekPingReporter::ProcessReporter());
    vek::SendFinishPing(0, S_OK);
    EXPECT_EQ(0u, Log().size());
}

// The download manager's file failures reach the engine's reporter as job-failure pings.
TEST_F(Pings, DownloadFailuresBecomeJobFailurePings)
{
    std::shared_ptr<vek::VekPingReporter> reporter = Make();
    ASSERT_TRUE(reporter->prepare());
    vek::VekDownloadJobReporting hooks(reporter);
    json job = {{"job_id", "j1"}, {"job_error_code", 0}};
    hooks.logJobError(static_cast<HRESULT>(0x80047F12), 1, job, L"filename=https://h/f.bin", 5, 2);
    EXPECT_EQ(1, job.value("error_type", 0));
    const json log = Log();
    ASSERT_EQ(1u, log.size());
    const std::string query = log[0].value("query", "");
    EXPECT_EQ("80047F12", Param(query, "h"));
    EXPECT_EQ("je:0,de:0,ve:0,oe:0,ed:filename=https://h/f.bin", Param(query, "o"));
}

// The start ping's package kind and proxy kind follow the manifest view's rules, letter case
// included: "true" and "QOR" as written, and "create_msi" only from the install job.
TEST_F(Pings, StartPingKindsFollowTheManifestView)
{
    const struct {
        const char* what;
        json job;       // members added to the install job
        json bootstrap; // members added to "vek"."bootstrap"
        const char* packageKind;
        const char* proxyKind;
    } cases[] = {
        {"generic package", {{"distribution", {{"generic_package", "true"}}}}, json::object(), "2", "2"},
        {"generic in capitals", {{"distribution", {{"generic_package", "TRUE"}}}}, json::object(), "0", "2"},
        {"package only", {{"create_msi", "true"}}, json::object(), "1", "2"},
        {"package only, other case", {{"create_msi", "True"}}, json::object(), "0", "2"},
        {"create_msi outside the job", json::object(), {{"create_msi", "true"}}, "0", "2"},
        {"endpoint, proxy disabled", {{"product_data", {{"run_key", "QOR"}}}},
         {{"options", {{"proxy_settings", {{"type", "disabled"}}}}}}, "0", "1"},
        {"run key in small letters", {{"product_data", {{"run_key", "qor"}}}},
         {{"options", {{"proxy_settings", {{"type", "disabled"}}}}}}, "0", "2"},
    };
    for (const auto& c : cases) {
        vek::VekPingReporter::ProcessManifest() = nullptr;
        json manifest = m_manifest;
        manifest["vek"]["job_array"][0].update(c.job);
        manifest["vek"]["bootstrap"].update(c.bootstrap);
        const size_t before = Log().size();
        auto reporter = std::make_unique<vek::VekPingReporter>(&manifest);
        FixFacts(*reporter, m_folder.Path());
        reporter->browserProxy = BrowserWithoutProxy(m_noBrowserKey.Key(), m_noProfile.Path());
        reporter->sendStartPing(L"", L"");
        const json log = Log();
        ASSERT_EQ(before + 1, log.size()) << c.what;
        const std::string query = log.back().value("query", "");
        EXPECT_EQ(c.packageKind, Param(query, "d")) << c.what;
        EXPECT_EQ(c.proxyKind, Param(query, "e")) << c.what;
    }
}
