// The launcher's proxy decision over small manifests: the manifest's own proxy, a direct
// connection, or the browser's settings written back into the manifest. A stand-in browser says
// what the browser has and counts the questions; the last case asks real browser settings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ProxyTestSupport.h"
#include "net/download/CWinHTTPClient.h"
#include "net/proxy/ManifestProductKind.h"
#include "net/proxy/ManifestProxySettings.h"
#include "net/proxy/VekProxySettings.h"
#include "services/session/LogCapture.h"

using nlohmann::json;
using Tolk::BrowserProxy;
using vek::VekProxySettings;

namespace {

class StandInBrowser : public vek::IBrowserProxyProvider {
public:
    HRESULT result = S_OK;
    BrowserProxy answer;
    int asked = 0;
    HRESULT GetProxyFromBrowser(BrowserProxy& proxy, bool registryOnly) override
    {
        ++asked;
        EXPECT_FALSE(registryOnly);
        proxy = answer;
        return result;
    }
};

json Manifest(bool endpoint, const json& proxySettings)
{
    json manifest = {{"vek",
                      {{"bootstrap", {{"options", {{"install", "true"}}}}},
                       {"job_array", json::array({{{"product_data", {{"run_key", endpoint ? "QOR" : "OTHER"}}}}})}}}};
    if (!proxySettings.is_null())
        manifest["vek"]["bootstrap"]["options"]["proxy_settings"] = proxySettings;
    return manifest;
}

BrowserProxy BrowserServer(const wchar_t* server, std::uint32_t port)
{
    BrowserProxy proxy;
    proxy.server = server;
    proxy.port = port;
    proxy.manualServer = true;
    proxy.useProxy = true;
    return proxy;
}

// The members a direct connection writes, over what else the settings held.
json Cleared(json settings)
{
    settings.update(
        json{{"server", ""}, {"port", 0}, {"https_port", 0}, {"autodetect", false}, {"autoconfig_url", ""}});
    return settings;
}

} // namespace

TEST(ProxySelectionTest, ManifestBrowserOrDirect)
{
    const json manifestProxy = {
        {"server", "manifest.test"}, {"port", 3128}, {"user", "u"}, {"password", "p"}, {"allow_fallback", true}};
    BrowserProxy detect;
    detect.autoDetect = true;
    detect.autoConfigUrl = L"http://wpad.test/p.pac";
    detect.autoConfig = true;
    detect.useProxy = true;

    struct Case {
        const char* what;
        bool endpoint;
        json settings; // null: no proxy_settings at all
        HRESULT browserResult;
        BrowserProxy browser;
        bool asked;
        json expected;
    } cases[] = {
        {"endpoint, DISABLED: direct", true, json{{"type", "Disabled"}, {"server", "m"}, {"port", 1}}, S_OK,
         BrowserServer(L"b", 2), false, Cleared(json{{"type", "Disabled"}})},
        {"other product with server and port: kept", false, manifestProxy, S_OK, BrowserServer(L"b", 2), false,
         manifestProxy},
        {"other product with server and https_port only: kept", false, json{{"server", "m"}, {"https_port", "8443"}},
         S_OK, BrowserServer(L"b", 2), false, json{{"server", "m"}, {"https_port", "8443"}}},
        {"endpoint, CUSTOM with server and port: kept", true, json{{"type", "CUSTOM"}, {"server", "m"}, {"port", "81"}},
         S_OK, BrowserServer(L"b", 2), false, json{{"type", "CUSTOM"}, {"server", "m"}, {"port", "81"}}},
        {"endpoint, CUSTOM without port: direct even with a browser proxy", true,
         json{{"type", "custom"}, {"server", "m"}}, S_OK, BrowserServer(L"b", 2), false,
         Cleared(json{{"type", "custom"}})},
        {"endpoint, AUTODETECT: the browser's server", true,
         json{{"type", "AUTODETECT"},
              {"server", "m"},
              {"port", 1},
              {"user", "u"},
              {"password", "p"},
              {"allow_fallback", false}},
         S_OK, BrowserServer(L"browser.test", 8080), true,
         json{{"allow_fallback", false}, {"server", "browser.test"}, {"port", 8080}}},
        {"other product without port: the browser's server", false, json{{"server", "m"}}, S_OK,
         BrowserServer(L"browser.test", 8080), true, json{{"server", "browser.test"}, {"port", 8080}}},
        {"no proxy settings: auto-detection and script", false, json(), S_OK, detect, true,
         json{{"autodetect", true}, {"autoconfig_url", "http://wpad.test/p.pac"}}},
        {"browser without proxy: direct", true, json{{"server", "m"}, {"user", "u"}}, S_OK, BrowserProxy{}, true,
         Cleared(json{{"user", "u"}})},
        {"browser unreadable: unchanged", true, json{{"server", "m"}, {"user", "u"}}, E_ACCESSDENIED,
         BrowserServer(L"b", 2), true, json{{"server", "m"}, {"user", "u"}}},
    };
    for (const Case& c : cases) {
        auto browser = std::make_shared<StandInBrowser>();
        browser->result = c.browserResult;
        browser->answer = c.browser;
        json manifest = Manifest(c.endpoint, c.settings);
        VekProxySettings(browser).determineBrowserProxySettings(manifest);
        EXPECT_EQ(browser->asked, c.asked ? 1 : 0) << c.what;
        EXPECT_EQ(manifest["vek"]["bootstrap"]["options"]["proxy_settings"], c.expected) << c.what;
        EXPECT_EQ(manifest["vek"]["bootstrap"]["options"]["install"], "true") << c.what; // the rest of options stays
    }
}

// The roads to a direct connection leave no proxy of any kind: a manifest's auto-detection or
// configuration script must not survive them, or the client would go through WPAD or the script.
TEST(ProxySelectionTest, DirectRoadsLeaveNoAutomaticProxy)
{
    const json automatic[] = {
        json{{"autodetect", true}},
        json{{"autoconfig_url", "http://wpad.test/p.pac"}},
        json{{"autodetect", true}, {"autoconfig_url", "http://wpad.test/p.pac"}, {"user", "u"}, {"password", "p"}},
    };
    const struct {
        const char* what;
        bool endpoint;
        json settings;
    } roads[] = {
        {"endpoint, DISABLED", true, json{{"type", "DISABLED"}, {"server", "m"}, {"port", 1}}},
        {"endpoint, CUSTOM without a port", true, json{{"type", "CUSTOM"}, {"server", "m"}}},
        {"browser not using a proxy", false, json{{"server", "m"}}},
    };
    for (const auto& road : roads) {
        for (const json& extra : automatic) {
            SCOPED_TRACE(std::string(road.what) + " " + extra.dump());
            json settings = road.settings;
            settings.update(extra);
            json manifest = Manifest(road.endpoint, settings);
            VekProxySettings(std::make_shared<StandInBrowser>()).determineBrowserProxySettings(manifest);
            const json& settled = manifest["vek"]["bootstrap"]["options"]["proxy_settings"];
            EXPECT_EQ(settled.value("autodetect", true), false);
            EXPECT_EQ(settled.value("autoconfig_url", std::string("absent")), "");

            const std::wstring address = L"https://localhost:1/file";
            vek::CWinHTTPClient client;
            client.LoadProxySettings(&settled, address);
            EXPECT_FALSE(client.ProxyGiven());
            ASSERT_EQ(client.Initialize(L"VEK", address.c_str(), 5, false), S_OK);
            client.SetProxyEnabled(true);
            client.ApplyProxySettings();
            EXPECT_FALSE(client.IsProxyEnabled());
        }
    }
}

TEST(ProxySelectionTest, ManifestFactsAndPort)
{
    struct Case {
        json settings;
        bool hasPort;
        int type;
    } cases[] = {
        {json{{"port", 1}}, true, 0},
        {json{{"https_port", "443"}}, true, 0},
        {json{{"port", "0"}, {"https_port", 0}}, false, 0},
        {json{{"type", "AutoDetect"}}, false, 2},
        {json{{"type", "disabled"}}, false, 1},
        {json{{"type", "CUSTOM"}}, false, 3},
        {json{{"type", 3}}, false, 0},
        {json(), false, 0},
    };
    for (const Case& c : cases) {
        const json manifest = Manifest(true, c.settings);
        EXPECT_EQ(vek::HasManifestProxyPort(manifest), c.hasPort) << c.settings.dump();
        EXPECT_EQ(vek::GetManifestProxyType(manifest), c.type) << c.settings.dump();
    }
    EXPECT_TRUE(vek::IsEndpointManifest(Manifest(true, json())));
    EXPECT_FALSE(vek::IsEndpointManifest(Manifest(false, json())));
    EXPECT_FALSE(vek::IsEndpointManifest(json{{"vek", {{"job_array", json::array()}}}}));
    EXPECT_FALSE(vek::IsEndpointManifest(json{{"vek", {{"job_array", "QOR"}}}}));
}

// The run key names the endpoint product only as "QOR": the proxy selection, the manifest view and
// the ping's proxy kind all follow this one rule.
TEST(ProxySelectionTest, EndpointProductByRunKeyWithItsLetterCase)
{
    const struct {
        json runKey;
        bool endpoint;
    } cases[] = {{"QOR", true}, {"qor", false}, {"Qor", false}, {"QOR ", false}, {1, false}, {nullptr, false}};
    for (const auto& c : cases) {
        const json manifest = {{"vek", {{"job_array", json::array({{{"product_data", {{"run_key", c.runKey}}}}})}}}};
        EXPECT_EQ(vek::IsEndpointManifest(manifest), c.endpoint) << c.runKey.dump();
    }
}

TEST(ProxySelectionTest, HandEditedManifestsAreLeftAlone)
{
    auto browser = std::make_shared<StandInBrowser>();
    for (json manifest : {json(), json{{"vek", {{"bootstrap", "text"}}}},
                          json{{"vek", {{"bootstrap", {{"options", {{"proxy_settings", 5}}}}}}}}}) {
        const json before = manifest;
        vek::test::LogCapture log;
        VekProxySettings(browser).determineBrowserProxySettings(manifest);
        EXPECT_EQ(manifest, before);
    }
    EXPECT_EQ(browser->asked, 0);
}

namespace {

// The browser reader over a test machine, asked through the registry's "http" command.
class RegistryBrowser : public vek::IBrowserProxyProvider {
public:
    explicit RegistryBrowser(Tolk::CInstallEngineWinHTTPClient client) : m_client(std::move(client)) {}
    HRESULT GetProxyFromBrowser(BrowserProxy& proxy, bool) override
    {
        return m_client.GetProxyFromBrowser(proxy, true);
    }

private:
    Tolk::CInstallEngineWinHTTPClient m_client;
};

} // namespace

// From Firefox's profile (type 5: the system's settings) through Internet Settings into the
// manifest.
TEST(ProxySelectionTest, FirefoxSystemSettingsReachTheManifest)
{
    proxy_test::TempFolder appData(L"vek selection ");
    proxy_test::TestRoot user(HKEY_CURRENT_USER, L"SelUser"), classes(HKEY_CURRENT_USER, L"SelClasses");
    user.SetBinary(proxy_test::kConnections, L"DefaultConnectionSettings", proxy_test::ConnectionSettings(0x0B));
    user.SetString(proxy_test::kInternetSettings, L"ProxyServer", L"http=ie.test:8080;https=ie.test:8443");
    classes.SetString(L"http\\shell\\open\\command", L"", L"firefox.exe -url \"%1\"");
    appData.Write(L"Mozilla\\Firefox\\profiles.ini", "[Profile0]\r\nIsRelative=1\r\nPath=Profiles/p\r\nDefault=1\r\n");
    appData.Write(L"Mozilla\\Firefox\\Profiles\\p\\prefs.js", "user_pref(\"network.proxy.type\", 5);\r\n");

    Tolk::CInstallEngineWinHTTPClient::Roots roots;
    roots.currentUser = user.Key();
    roots.classesRoot = classes.Key();
    roots.appData = appData.Path();
    json manifest = Manifest(true, json{{"type", "AUTODETECT"}, {"allow_fallback", true}});
    VekProxySettings(std::make_shared<RegistryBrowser>(Tolk::CInstallEngineWinHTTPClient(roots)))
        .determineBrowserProxySettings(manifest);
    EXPECT_EQ(manifest["vek"]["bootstrap"]["options"]["proxy_settings"],
              (json{{"allow_fallback", true}, {"server", "ie.test"}, {"port", 8080}, {"autodetect", true}}));
}
