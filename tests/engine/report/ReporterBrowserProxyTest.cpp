// The reporters and the default browser's proxy, while the manifest names none: tinyproxy set in
// Internet Settings, then in a Firefox profile (with Internet Settings empty, so that reading the
// wrong browser finds no proxy). The status record travels through the proxy; the start ping,
// which keeps to the manifest's proxy, names the browser's proxy as its kind.
#include "engine/report/VekPingReporter.h"
#include "engine/report/VekStatusReporter.h"

#include "BrowserProxyTestSupport.h"
#include "ReportTestSupport.h"
#include "net/VekTestServer.h"
#include "net/proxy/ProxyTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace reporttest;
using vek::test::TestProxy;
using vek::test::TestServer;

namespace {

size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// One default browser whose settings point at tinyproxy; Firefox's in its profile's prefs.js.
struct BrowserCase {
    const char* what;
    bool firefox;
};

class BrowserWithProxy {
public:
    explicit BrowserWithProxy(bool firefox)
    {
        const std::string port = std::to_string(TestProxy::Instance().Port());
        if (firefox) {
            m_appData.Write(L"Mozilla\\Firefox\\profiles.ini",
                            "[General]\r\nStartWithLastProfile=1\r\n\r\n[Profile0]\r\nName=default\r\n"
                            "IsRelative=1\r\nPath=Profiles/t.default\r\nDefault=1\r\n");
            m_appData.Write(L"Mozilla\\Firefox\\Profiles\\t.default\\prefs.js",
                            "user_pref(\"network.proxy.http\", \"127.0.0.1\");\r\n"
                            "user_pref(\"network.proxy.http_port\", " +
                                port + ");\r\nuser_pref(\"network.proxy.type\", 1);\r\n");
        } else {
            m_user.SetBinary(proxy_test::kConnections, L"DefaultConnectionSettings",
                             proxy_test::ConnectionSettings(0x03, "127.0.0.1:" + port));
            m_user.SetString(proxy_test::kInternetSettings, L"ProxyServer",
                             L"127.0.0.1:" + std::wstring(port.begin(), port.end()));
        }
        Tolk::CInstallEngineWinHTTPClient::Roots roots;
        roots.currentUser = m_user.Key();
        roots.localMachine = m_machine.Key();
        roots.classesRoot = m_machine.Key();
        roots.appData = m_appData.Path();
        provider = std::make_shared<TestBrowser>(roots, firefox ? L"FirefoxURL-308046B0AF4A39CB" : L"IE.HTTP");
    }
    std::shared_ptr<TestBrowser> provider;

private:
    proxy_test::TestRoot m_user{HKEY_CURRENT_USER, L"ReporterBrowserUser"};
    proxy_test::TestRoot m_machine{HKEY_CURRENT_USER, L"ReporterBrowserMachine"};
    proxy_test::TempFolder m_appData{L"vek reporter browser "};
};

const BrowserCase kBrowsers[] = {{"Internet Settings", false}, {"Firefox profile", true}};

json StatusManifest(const std::wstring& reportingUrl)
{
    return {{"vek",
             {{"bootstrap", {{"options", {{"reporting_url", Narrow(reportingUrl)}}}}},
              {"job_array", json::array({{{"distribution", {{"cc_token", "tok"}, {"product_uuid", "pu"}}}}})}}}};
}

} // namespace

// The status reporter runs the proxy discovery when it starts: its record goes through the
// browser's proxy (a CONNECT to the server crosses tinyproxy) and arrives once, with no fall-back.
TEST(ReporterBrowserProxy, StatusRecordTravelsThroughTheBrowsersProxy)
{
    auto& server = TestServer::Instance();
    auto& proxy = TestProxy::Instance();
    const std::string target = "localhost:" + std::to_string(server.HttpsPort());
    for (const BrowserCase& c : kBrowsers) {
        SCOPED_TRACE(c.what);
        BrowserWithProxy browser(c.firefox);
        const std::string dir = TestServer::UniquePrefix("StatusBrowserProxy");
        server.SetScenario(dir + "s", {{"status", 200}, {"body", "ok"}});
        vek::VekStatusReporter reporter;
        reporter.machineIdSource = [](std::wstring& id) {
            id = L"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
            return S_OK;
        };
        reporter.isServer = [] { return false; };
        reporter.browserProxy = browser.provider;
        ASSERT_EQ(S_OK, reporter.init(StatusManifest(server.HttpsUrl(dir + "s")), reporter.GetMachineId()));
        EXPECT_EQ(1, browser.provider->asked);

        const size_t before = Count(proxy.ReadLog(false), target);
        EXPECT_EQ(S_OK, reporter.LogStatus(vek::DOWNLOAD_STARTED, L"through the browser's proxy"));
        EXPECT_GT(Count(proxy.ReadLog(false), target), before) << "the CONNECT crossed tinyproxy";
        const json log = server.Log(dir);
        ASSERT_EQ(1u, log.size()) << "no direct retry";
        EXPECT_EQ("DOWNLOAD_STARTED", json::parse(log[0].value("body", "{}")).value("state_code", ""));
    }
}

// The start ping's proxy kind comes from the same discovery: 12 when the default browser uses a
// proxy, whichever browser that is; 2 when it uses none.
TEST(ReporterBrowserProxy, StartPingNamesTheBrowsersProxyKind)
{
    auto& server = TestServer::Instance();
    for (const BrowserCase& c : kBrowsers) {
        SCOPED_TRACE(c.what);
        BrowserWithProxy browser(c.firefox);
        const std::string dir = TestServer::UniquePrefix("PingBrowserProxy");
        server.SetScenario(dir + "ping", {{"status", 200}, {"body", "ok"}});
        json manifest = {
            {"vek",
             {{"global", {{"manifest_id", "m-1"}, {"reporting_url", Narrow(server.HttpsUrl(dir + "ping"))}}},
              {"bootstrap", {{"distribution_type", "web"}}},
              {"job_array", json::array({{{"job_id", "j1"}, {"distribution", {{"ui_mode", "SILENT"}}}}})}}}};
        vek::VekPingReporter::SetPingsOff(false);
        vek::VekPingReporter::ProcessManifest() = nullptr;
        TempFolder urlFolder;
        vek::VekPingReporter reporter(&manifest);
        FixFacts(reporter, urlFolder.Path());
        reporter.installerOptions = [] { return std::wstring(L"silent"); };
        reporter.browserProxy = browser.provider;
        ASSERT_TRUE(reporter.prepare());
        reporter.sendStartPing(L"x.exe", L"account USER, session 1");
        const json log = server.Log(dir);
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ("12", Param(log[0].value("query", ""), "e"));
        EXPECT_EQ(1, browser.provider->asked);
        vek::VekPingReporter::ProcessManifest() = nullptr;
    }
}
