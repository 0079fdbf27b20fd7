// The client's proxy from the settings component's store: the section's values read into the
// proxy fields, and a client that takes its proxy from there and reaches the server through
// tinyproxy.
#include "PinningTestSupport.h"

#include "net/VekTestServer.h"
#include "net/http/Jux_ProxySettings.h"
#include "net/http/Jux_WinHttpClient.h"
#include "settings/manager/qkSettingsModule.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

using namespace pintest;
using Microsoft::WRL::ComPtr;
using vek::test::TestProxy;
using vek::test::TestServer;

namespace {

std::wstring g_storePath;

// Stands in for the settings component: a standalone manager over the test's store file.
HRESULT OpenTestStore(IModuleLifetimeMgr*, qkSettings::ISettingsMgr** manager)
{
    qkSettings::ModuleAddRef();
    HRESULT code = qkSettings::CreateStandaloneSettingsMgr(manager);
    if (code < 0)
        return code;
    code = (*manager)->Open(g_storePath.c_str(), qkSettings::openflag::kReadOnly, nullptr);
    if (code < 0) {
        (*manager)->Release();
        *manager = nullptr;
    }
    return code;
}

HRESULT NoStore(IModuleLifetimeMgr*, qkSettings::ISettingsMgr**)
{
    return static_cast<HRESULT>(0x80010300);
}

StoreValue Number(DWORD v)
{
    return {v, std::nullopt, std::nullopt};
}
StoreValue Text(const wchar_t* t)
{
    return {std::nullopt, std::nullopt, std::wstring(t)};
}

class ProxySettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_storePath = m_dir.Path() + L"\\proxy.dat";
        Jux::SetProxyStoreOpener(&OpenTestStore);
    }
    void TearDown() override { Jux::SetProxyStoreOpener(nullptr); }
    void WriteSection(const std::map<std::wstring, StoreValue>& values)
    {
        WriteStore(g_storePath, {{Jux::kProxySection, values}});
    }
    DataDir m_dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

} // namespace

TEST_F(ProxySettings, SectionValuesBecomeProxyFields)
{
    struct Case {
        const char* name;
        std::map<std::wstring, StoreValue> values;
        HRESULT result;
        bool useProxy, autoDetect, autoConfig, manual;
        const wchar_t* url;
        const wchar_t* server;
        DWORD port, authentication;
        const wchar_t* user;
        const wchar_t* password;
    };
    const Case cases[] = {
        {"empty section", {}, S_OK, false, false, false, false, L"", L"", 80, 9, L"", L""},
        {"auto-detection", {{L"Auto_Detect_DHCP_Enabled", Number(1)}}, S_OK, true, true, false, false, L"", L"", 80, 9,
         L"", L""},
        {"auto-config URL only when enabled",
         {{L"Auto_Config_Enabled", Number(0)}, {L"Auto_Config_URL", Text(L"http://pac/x.pac")}},
         S_OK, false, false, false, false, L"", L"", 80, 9, L"", L""},
        {"manual proxy without port: 80",
         {{L"Manual_Proxy_Enabled", Number(1)}, {L"Manual_Proxy_Server", Text(L"proxy.lan")}},
         S_OK, true, false, false, true, L"", L"proxy.lan", 80, 0, L"", L""},
        {"manual proxy with NTLM credentials",
         {{L"Manual_Proxy_Enabled", Number(1)}, {L"Manual_Proxy_Server", Text(L"proxy.lan")},
          {L"Manual_Proxy_Port", Number(3128)}, {L"Proxy_Authentication_Type", Number(1)},
          {L"Username", Text(L"ann")}, {L"Password", Text(L"secret")}},
         S_OK, true, false, false, true, L"", L"proxy.lan", 3128, 1, L"ann", L"secret"},
        {"missing server keeps the auto-config read before it",
         {{L"Auto_Config_Enabled", Number(1)}, {L"Auto_Config_URL", Text(L"http://pac/x.pac")},
          {L"Manual_Proxy_Enabled", Number(1)}},
         S_OK, true, false, true, false, L"http://pac/x.pac", L"", 80, 9, L"", L""},
        {"empty server fails",
         {{L"Manual_Proxy_Enabled", Number(1)}, {L"Manual_Proxy_Server", Text(L"")}},
         E_FAIL, false, false, false, false, L"", L"", 80, 9, L"", L""},
        {"unreadable port fails",
         {{L"Manual_Proxy_Enabled", Number(1)}, {L"Manual_Proxy_Server", Text(L"p")}, {L"Manual_Proxy_Port", Text(L"x")}},
         E_FAIL, false, false, false, false, L"", L"", 80, 9, L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteSection(c.values);
        Jux::ProxyFields fields;
        fields.server = L"stale";
        fields.authenticationType = 9; // kept unless the section has a manual proxy
        EXPECT_EQ(c.result, Jux::ReadProxySettings(fields));
        EXPECT_EQ(c.useProxy, fields.useProxy);
        EXPECT_EQ(c.autoDetect, fields.autoDetect);
        EXPECT_EQ(c.autoConfig, fields.autoConfig);
        EXPECT_EQ(c.manual, fields.manual);
        EXPECT_EQ(c.url, fields.autoConfigUrl);
        EXPECT_EQ(c.server, fields.server);
        EXPECT_EQ(c.port, fields.port);
        EXPECT_EQ(c.authentication, fields.authenticationType);
        EXPECT_EQ(c.user, fields.user);
        EXPECT_EQ(c.password, fields.password);
    }
}

TEST_F(ProxySettings, MissingStoreOrSection)
{
    Jux::SetProxyStoreOpener(&NoStore);
    Jux::ProxyFields fields;
    fields.server = L"kept";
    fields.useProxy = true;
    EXPECT_EQ(S_OK, Jux::ReadProxySettings(fields)) << "no settings component: nothing changes";
    EXPECT_EQ(L"kept", fields.server);
    EXPECT_TRUE(fields.useProxy);

    Jux::SetProxyStoreOpener(&OpenTestStore);
    WriteStore(g_storePath, {{L"Other", {{L"x", Number(1)}}}});
    EXPECT_EQ(E_FAIL, Jux::ReadProxySettings(fields)) << "no proxy section";
}

// The base client loads its proxy from the settings when it opens and tunnels through it.
TEST_F(ProxySettings, ClientUsesTheProxyFromTheSettings)
{
    auto& server = TestServer::Instance();
    auto& proxy = TestProxy::Instance();
    const std::string prefix = TestServer::UniquePrefix("ProxyFromSettings");
    server.PutFile(prefix + "doc", "via settings");
    WriteSection({{L"Manual_Proxy_Enabled", Number(1)}, {L"Manual_Proxy_Server", Text(L"127.0.0.1")},
                  {L"Manual_Proxy_Port", Number(proxy.Port())}});
    const std::string target = "CONNECT localhost:" + std::to_string(server.HttpsPort("chained"));
    auto count = [&] {
        const std::string log = proxy.ReadLog(false);
        size_t n = 0;
        for (size_t at = log.find(target); at != std::string::npos; at = log.find(target, at + 1))
            ++n;
        return n;
    };
    const size_t before = count();

    bool configured = false;
    Jux::CWinHttpClient probe;
    EXPECT_EQ(S_OK, probe.IsProxyConfiguredInSettings(&configured));
    EXPECT_TRUE(configured);
    EXPECT_FALSE(probe.IsProxyEnabled()) << "the probe leaves the client's fields alone";

    Jux::CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server.HttpsUrl(prefix + "doc", "chained").c_str(), 30, false));
    EXPECT_TRUE(client.IsProxyEnabled());
    Jux::RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    client.CloseRequest(id);
    EXPECT_GT(count(), before) << "the request went through the proxy";
    server.Clear(prefix);
}
