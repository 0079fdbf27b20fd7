// The client through a real proxy (tinyproxy), and proxy credentials against a 407.
#include "HttpTestSupport.h"

#include <gtest/gtest.h>

using httptest::ReadAll;
using httptest::Wide;
using Jux::CWinHttpClient;
using Jux::RequestId;
using vek::test::HeaderOf;
using vek::test::TestProxy;
using vek::test::TestServer;

namespace {

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(WinHttpClientProxy, HttpsTunnelsThroughTheProxyAndFallsBackDirect)
{
    auto& server = TestServer::Instance();
    auto& proxy = TestProxy::Instance();
    std::string dir = TestServer::UniquePrefix("proxy");
    server.PutFile(dir + "doc", "through the proxy");
    const std::string target = "localhost:" + std::to_string(server.HttpsPort());

    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server.HttpsUrl(dir + "doc").c_str(), 30, false));
    ASSERT_EQ(S_OK, client.SetProxy(false, nullptr, L"127.0.0.1", proxy.Port(), nullptr, nullptr));
    const size_t before = Count(proxy.ReadLog(false), target);

    RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    EXPECT_EQ("through the proxy", ReadAll(client, id));
    client.CloseRequest(id);
    EXPECT_EQ(L"127.0.0.1:" + std::to_wstring(proxy.Port()), client.SessionProxy());
    const size_t afterProxy = Count(proxy.ReadLog(false), target);
    EXPECT_GT(afterProxy, before); // the CONNECT to the server went through tinyproxy

    // Proxy switched off: the next request goes direct.
    client.SetProxyEnabled(false);
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    client.CloseRequest(id);
    EXPECT_EQ(L"", client.SessionProxy());
    EXPECT_EQ(afterProxy, Count(proxy.ReadLog(false), target));
    EXPECT_EQ(2u, server.Log(dir).size());
    server.Clear(dir);
}

TEST(WinHttpClientProxy, AuthenticatingProxyWithCredentials)
{
    // Windows answers the CONNECT's 407 with the credentials set on the request. Wine sends the
    // CONNECT without credentials and fails the request (12157 or another 12xxx code); the test
    // accepts both and checks the tunnel's outcome against the proxy's log.
    auto& server = TestServer::Instance();
    auto& proxy = TestProxy::Instance();
    std::string dir = TestServer::UniquePrefix("authproxy");
    server.PutFile(dir + "doc", "authenticated");
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server.HttpsUrl(dir + "doc").c_str(), 30, false));
    ASSERT_EQ(S_OK, client.SetProxy(false, nullptr, L"127.0.0.1", proxy.AuthPort(), proxy.User().c_str(),
                                    proxy.Password().c_str()));
    RequestId id = 0;
    DWORD status = 0;
    HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
    if (SUCCEEDED(hr))
        hr = client.GetStatus(id, &status);
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(200u, status);
        EXPECT_EQ(1u, server.Log(dir).size());
    } else {
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr));
        EXPECT_GE(HRESULT_CODE(hr), 12000) << std::hex << hr;
        EXPECT_TRUE(server.Log(dir).empty());
        std::cout << "[ WINE     ] authenticating proxy: CONNECT without credentials, hr=0x" << std::hex << hr << "\n";
    }
    server.Clear(dir);
}

TEST(WinHttpClientProxy, ProxyCredentialsAnswerA407)
{
    // The plain-HTTP port of the test server plays an authenticating proxy: it answers 407 until
    // the request carries the proxy's Basic credentials.
    auto& server = TestServer::Instance();
    std::string dir = TestServer::UniquePrefix("407");
    server.SetScenario(dir + "doc", {{"auth", "proxy"}, {"user", "pxuser"}, {"password", "pxpass"}});
    server.PutFile(dir + "doc", "behind the proxy");
    struct {
        const wchar_t* user;
        const wchar_t* password;
        DWORD status;
    } cases[] = {
        {nullptr, nullptr, 407},   // no credentials: the 407 reaches the caller
        {L"pxuser", nullptr, 407}, // user without password: none set (S_FALSE)
        {L"pxuser", L"pxpass", 200},
    };
    for (const auto& c : cases) {
        CWinHttpClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", server.HttpUrl(dir + "doc").c_str(), 30, false));
        ASSERT_EQ(S_OK, client.SetProxy(false, nullptr, L"127.0.0.1", server.HttpPort(), c.user, c.password));
        RequestId id = 0;
        DWORD status = 0;
        ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
        ASSERT_EQ(S_OK, client.GetStatus(id, &status));
        EXPECT_EQ(c.status, status);
        if (status == 200) {
            EXPECT_EQ("behind the proxy", ReadAll(client, id));
        }
        client.CloseRequest(id);
    }
    auto log = server.Log(dir);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("Basic cHh1c2VyOnB4cGFzcw==", HeaderOf(log.back(), "Proxy-Authorization")); // pxuser:pxpass
    server.Clear(dir);
}

} // namespace
