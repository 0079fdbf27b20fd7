#include "ReportTestSupport.h"
#include "engine/report/VekStatusReporter.h"

#include "BrowserProxyTestSupport.h"
#include "net/VekTestServer.h"
#include "net/proxy/ProxyTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

using json = nlohmann::json;
using vek::test::HeaderOf;
using vek::test::TestServer;

namespace {

using reporttest::Narrow;

json Manifest(const std::wstring& reportingUrl, json distribution = nullptr, json proxy = nullptr)
{
    if (distribution.is_null())
        distribution = {
            {"cc_token", "legacy-tok"}, {"product_uuid", "pu-1"}, {"customer_id", "cust-7"}, {"domain_id", "dom-9"}};
    json options = json::object();
    if (!reportingUrl.empty())
        options["reporting_url"] = Narrow(reportingUrl);
    if (!proxy.is_null())
        options["proxy_settings"] = proxy;
    return {{"vek",
             {{"bootstrap", {{"options", options}}}, {"job_array", json::array({{{"distribution", distribution}}})}}}};
}

// A reporter of the test's own, with a fixed machine identifier, clock and edition, and a
// default browser without a proxy.
std::unique_ptr<vek::VekStatusReporter> MakeReporter(bool server = false)
{
    static proxy_test::TestRoot noBrowserKey(HKEY_CURRENT_USER, L"StatusNoBrowser");
    static proxy_test::TempFolder noProfile(L"vek status ");
    auto reporter = std::make_unique<vek::VekStatusReporter>();
    reporter->browserProxy = reporttest::BrowserWithoutProxy(noBrowserKey.Key(), noProfile.Path());
    reporter->machineIdSource = [](std::wstring& id) {
        id = L"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
        return S_OK;
    };
    reporter->isServer = [server] { return server; };
    reporter->clock = [] {
        SYSTEMTIME t = {};
        t.wYear = 2026;
        t.wMonth = 3;
        t.wDay = 4;
        t.wHour = 5;
        t.wMinute = 6;
        t.wSecond = 7;
        t.wMilliseconds = 89;
        return t;
    };
    return reporter;
}

} // namespace

// One record is one JSON POST with the customer and domain headers and the styled body.
TEST(StatusReporter, PostsStyledRecordWithHeaders)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("StatusRecord");
    auto reporter = MakeReporter();
    ASSERT_EQ(S_OK, reporter->init(Manifest(server.HttpsUrl(dir + "status?x=1")), reporter->GetMachineId()));

    EXPECT_EQ(S_OK, reporter->LogStatus(vek::DOWNLOAD_FINISHED, L"Download time: 12s"));
    const json log = server.Log(dir);
    ASSERT_EQ(1u, log.size());
    const json& entry = log[0];
    EXPECT_EQ("POST", entry.value("method", ""));
    EXPECT_EQ("x=1", entry.value("query", ""));
    EXPECT_EQ("application/json", HeaderOf(entry, "Content-Type"));
    EXPECT_EQ("cust-7", HeaderOf(entry, "x-zavo-customer-id"));
    EXPECT_EQ("dom-9", HeaderOf(entry, "x-zavo-domain-id"));
    EXPECT_EQ("{\n"
              "   \"connect_token\" : \"legacy-tok\",\n"
              "   \"product_uuid\" : \"pu-1\",\n"
              "   \"state_code\" : \"DOWNLOAD_FINISHED\",\n"
              "   \"state_data\" : \"Download time: 12s\",\n"
              "   \"talqual_machine_id\" : \"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE\",\n"
              "   \"time_stamp\" : \"2026-03-04T05:06:07.089Z\"\n"
              "}\n",
              entry.value("body", ""));
}

TEST(StatusReporter, SendsCodesByName)
{
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {0, "VEK_STARTED"},
        {5, "DOWNLOAD_FAILED_PROXY_ISSUE"},
        {13, "REBOOT_REQUIRED_NOTIFICATION_SHOWN"},
        {14, "REBOOT_REQUIRED_TO_CONTINUE"},
        {15, "WINDOWS_RESTART_INITIATED"},
        {18, "BACKEND_CHECK_FAILED"},
        {19, "<unknown>"},
        {20, "RESTART_UPGRADE_NOTIFICATION_SHOWN"},
        {21, "PRECHECK_INSTALL_IN_PROGRESS"},
        {99, "<unknown>"},
        {-1, "<unknown>"},
    };
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("StatusNames");
    auto reporter = MakeReporter();
    ASSERT_EQ(S_OK, reporter->init(Manifest(server.HttpsUrl(dir + "s")), reporter->GetMachineId()));
    for (const auto& c : cases)
        EXPECT_EQ(S_OK, reporter->LogStatus(c.code, L"d"));
    const json log = server.Log(dir);
    ASSERT_EQ(std::size(cases), log.size());
    for (size_t i = 0; i < log.size(); ++i) {
        const json body = json::parse(log[i].value("body", "{}"));
        EXPECT_EQ(cases[i].name, body.value("state_code", "")) << cases[i].code;
    }
}

// The start record carries the token up front; the command line in its data never carries it.
TEST(StatusReporter, StartRecordMasksTheCommandLineToken)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("StatusStart");
    auto reporter = MakeReporter();
    ASSERT_EQ(S_OK, reporter->init(Manifest(server.HttpsUrl(dir + "s")), reporter->GetMachineId()));
    EXPECT_EQ(S_OK, reporter->LogStatus(vek::VEK_STARTED,
                                        L"account USER, session 1, cmdLine: x.exe /CC_TOKEN switch-secret /q"));
    const json log = server.Log(dir);
    ASSERT_EQ(1u, log.size());
    const json body = json::parse(log[0].value("body", "{}"));
    EXPECT_EQ("connect_token: legacy-tok; account USER, session 1, cmdLine: x.exe /CC_TOKEN ******** /q",
              body.value("state_data", ""));
    EXPECT_EQ(std::string::npos, log.dump().find("switch-secret"));
}

TEST(StatusReporter, TokenFollowsTheEditionOfWindows)
{
    const struct {
        const char* name;
        bool server;
        json distribution;
        const char* token; // null: reporting off
    } cases[] = {
        {"server token on a server",
         true,
         {{"server_cc_token", "srv"}, {"desktop_cc_token", "dsk"}, {"cc_token", "leg"}},
         "srv"},
        {"desktop token on a workstation",
         false,
         {{"server_cc_token", "srv"}, {"desktop_cc_token", "dsk"}, {"cc_token", "leg"}},
         "dsk"},
        {"workstation with only a server token", false, {{"server_cc_token", "srv"}, {"cc_token", "leg"}}, "leg"},
        {"empty tokens fall through", true, {{"server_cc_token", ""}, {"cc_token", "leg"}}, "leg"},
        {"no token", false, {{"server_cc_token", "srv"}}, nullptr},
    };
    auto& server = TestServer::Instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = TestServer::UniquePrefix("StatusToken");
        auto reporter = MakeReporter(c.server);
        ASSERT_EQ(S_OK, reporter->init(Manifest(server.HttpsUrl(dir + "s"), c.distribution), reporter->GetMachineId()));
        EXPECT_EQ(c.token == nullptr, reporter->IsDisabled());
        if (!c.token)
            continue;
        EXPECT_EQ(S_OK, reporter->LogStatus(vek::INSTALLER_FINISHED, L""));
        const json log = server.Log(dir);
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(c.token, json::parse(log[0].value("body", "{}")).value("connect_token", ""));
    }
}

// Without a reporting URL nothing is sent and every report succeeds; a failed post silences the
// reporter for good.
TEST(StatusReporter, SilentWithoutUrlAndAfterFailure)
{
    auto& server = TestServer::Instance();
    auto silent = MakeReporter();
    ASSERT_EQ(S_OK, silent->init(Manifest(L""), silent->GetMachineId()));
    EXPECT_TRUE(silent->IsDisabled());
    // It tries its own executable's manifest again at each report; a test program has none.
    EXPECT_EQ(S_OK, silent->LogStatus(vek::VEK_STARTED, L""));
    EXPECT_EQ(S_OK, silent->LogStatus(vek::VEK_FINISHED, L""));

    const std::string dir = TestServer::UniquePrefix("StatusFail");
    server.SetScenario(dir + "s", {{"status", 404}});
    auto reporter = MakeReporter();
    ASSERT_EQ(S_OK, reporter->init(Manifest(server.HttpsUrl(dir + "s")), reporter->GetMachineId()));
    EXPECT_TRUE(FAILED(reporter->LogStatus(vek::DOWNLOAD_STARTED, L"")));
    EXPECT_TRUE(reporter->IsDisabled());
    EXPECT_EQ(S_OK, reporter->LogStatus(vek::DOWNLOAD_FINISHED, L""));
    EXPECT_EQ(1u, server.Log(dir).size());
}

// A proxy failure gives one direct retry and, when that works, a record of the fall-back.
TEST(StatusReporter, FallsBackToDirectConnectionOnce)
{
    auto& server = TestServer::Instance();
    auto& proxy = vek::test::TestProxy::Instance();
    const std::string dir = TestServer::UniquePrefix("StatusProxy");
    server.SetScenario(dir + "s", {{"status", 500}, {"times", 1}});
    auto reporter = MakeReporter();
    const json proxySettings = {
        {"type", "CUSTOM"}, {"server", "127.0.0.1"}, {"port", proxy.Port()}, {"https_port", proxy.Port()}};
    ASSERT_EQ(S_OK,
              reporter->init(Manifest(server.HttpsUrl(dir + "s"), nullptr, proxySettings), reporter->GetMachineId()));
    EXPECT_EQ(S_OK, reporter->LogStatus(vek::DOWNLOAD_STARTED, L"via proxy"));
    const json log = server.Log(dir);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("DOWNLOAD_STARTED", json::parse(log[1].value("body", "{}")).value("state_code", ""));
    const json fallback = json::parse(log[2].value("body", "{}"));
    EXPECT_EQ("DOWNLOAD_FAILED_PROXY_ISSUE", fallback.value("state_code", ""));
    EXPECT_EQ("Reporter fell back to direct connection. Proxy returned HTTP_STATUS: 500",
              fallback.value("state_data", ""));
}
