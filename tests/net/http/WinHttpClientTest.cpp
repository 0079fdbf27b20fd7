// The client against the local HTTPS test server: session, requests, headers and responses.
#include "HttpTestSupport.h"

#include "common/system/CIsolation.h"
#include "common/system/qkOSInfo.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <regex>

using httptest::Narrow;
using httptest::ReadAll;
using httptest::Wide;
using Jux::CWinHttpClient;
using Jux::RequestId;
using vek::test::HeaderOf;
using vek::test::TestServer;

namespace {

// This process's silo: a fresh id below "Software\VekTests\http" (HKLM), set before any test
// runs, so that the client reads its product values from a key of this process alone.
class ProductSilo : public ::testing::Environment {
public:
    void SetUp() override
    {
        GUID guid{};
        ASSERT_EQ(S_OK, CoCreateGuid(&guid));
        wchar_t id[40];
        StringFromGUID2(guid, id, 40);
        ASSERT_TRUE(CIsolation::SetSiloID(id));
        ASSERT_TRUE(CIsolation::SetSiloRegistryRoot(L"Software\\VekTests\\http"));
    }
    void TearDown() override
    {
        if (const wchar_t* path = CIsolation::GetSiloRegistryPath())
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    }
};
::testing::Environment* const g_productSilo = ::testing::AddGlobalTestEnvironment(new ProductSilo);

class WinHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const wchar_t* silo = CIsolation::GetSiloRegistryPath();
        ASSERT_NE(nullptr, silo);
        m_key = silo;
        m_dir = TestServer::UniquePrefix(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
        server().Clear(m_dir);
    }
    void SetProductValue(const wchar_t* subkey, const wchar_t* name, const std::wstring& value)
    {
        std::wstring path = subkey ? m_key + L"\\" + subkey : m_key;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                  KEY_WRITE | CIsolation::GetRegistryViewFlags(), nullptr, &key, nullptr));
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    static TestServer& server() { return TestServer::Instance(); }
    nlohmann::json OnlyRequest()
    {
        auto log = server().Log(m_dir);
        EXPECT_EQ(1u, log.size());
        return log.empty() ? nlohmann::json::object({{"headers", nlohmann::json::array()}}) : log[0];
    }

    std::wstring m_key;
    std::string m_dir;
};

TEST(WinHttpClientUrl, InitializeCracksSchemeHostPortAndPath)
{
    struct {
        const wchar_t* url;
        bool secure;
        DWORD port;
        const wchar_t* path;
    } cases[] = {
        {L"https://localhost/a/b?x=1&y=2", true, 443, L"/a/b?x=1&y=2"},
        {L"http://localhost/c", false, 80, L"/c"},
        {L"https://localhost:8443/", true, 8443, L"/"},
    };
    for (const auto& c : cases) {
        CWinHttpClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", c.url, 30, false)) << c.url;
        EXPECT_EQ(c.secure, client.IsSecure());
        EXPECT_EQ(c.port, client.Port());
        EXPECT_EQ(c.path, client.UrlPath());
        EXPECT_EQ(L"localhost", client.Host());
    }
    CWinHttpClient bad;
    EXPECT_TRUE(FAILED(bad.Initialize(L"VEK", L"not a url", 30, false)));
}

TEST(WinHttpClientUrl, EverythingBeforeOpenIsNotReady)
{
    CWinHttpClient client;
    RequestId id = 7;
    DWORD status = 0;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), client.Close());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), client.CloseRequest(1));
    EXPECT_EQ(E_INVALIDARG, client.GetStatus(1, &status));
    EXPECT_EQ(0u, client.FindRequest(1));
}

TEST_F(WinHttpClientTest, GetPostAndHeadCarryUserAgentOverTls12)
{
    server().PutFile(m_dir + "doc", "hello world");
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir).c_str(), 30, false));

    RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.Query(L"GET", L"doc", nullptr, nullptr, 0, nullptr, 0, &id));
    ASSERT_NE(0u, id);
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    EXPECT_EQ("hello world", ReadAll(client, id));
    std::uint64_t length = 0;
    EXPECT_EQ(S_OK, client.GetContentLength(id, &length));
    EXPECT_EQ(11u, length);
    EXPECT_EQ(S_OK, client.CloseRequest(id));
    EXPECT_EQ(S_FALSE, client.CloseRequest(id));
    EXPECT_EQ(S_FALSE, client.CloseRequest(0));

    ASSERT_EQ(S_OK, client.PostRequest(L"post", L"Content-Type: application/json\r\n", "{\"a\":1}", &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    client.CloseRequest(id);

    ASSERT_EQ(S_OK, client.Query(L"HEAD", L"doc", nullptr, nullptr, 0, nullptr, 0, &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(200u, status);
    EXPECT_EQ(S_OK, client.GetContentLength(id, &length));
    EXPECT_EQ(11u, length);
    client.CloseRequest(id);
    EXPECT_EQ(0u, client.OpenRequestCount());

    auto log = server().Log(m_dir);
    ASSERT_EQ(3u, log.size());
    const char* methods[] = {"GET", "POST", "HEAD"};
    const char* paths[] = {"doc", "post", "doc"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(methods[i], log[i]["method"]);
        EXPECT_EQ(m_dir + paths[i], log[i]["path"]);
        EXPECT_EQ("VEK", HeaderOf(log[i], "User-Agent"));
        EXPECT_EQ("TLSv1.2", log[i]["tls"]);
        EXPECT_FALSE(vek::test::HasHeader(log[i], "X-Talv-Request-Id")); // identity headers off
    }
    EXPECT_EQ("{\"a\":1}", log[1]["body"]);
    EXPECT_EQ("application/json", HeaderOf(log[1], "Content-Type"));
}

TEST_F(WinHttpClientTest, PostWithoutPathGoesToTheUrlPathWithItsQuery)
{
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir + "report?kind=ping&n=2").c_str(), 30, false));
    RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.PostRequest(nullptr, nullptr, "x", &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    // Body and send data together make the request's total length.
    RequestId id2 = 0;
    ASSERT_EQ(S_OK, client.Query(L"POST", nullptr, nullptr, "def", 3, "abc", 3, &id2));
    ASSERT_EQ(S_OK, client.GetStatus(id2, &status));
    auto log = server().Log(m_dir);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(m_dir + "report", log[0]["path"]);
    EXPECT_EQ("kind=ping&n=2", log[0]["query"]);
    EXPECT_EQ("abcdef", log[1]["body"]);
}

TEST_F(WinHttpClientTest, UserAgentFromRegistryOrDefault)
{
    const RTL_OSVERSIONINFOEXW& os = qkOSInfo::GetVersionInfo();
    const std::wstring version = std::to_wstring(os.dwMajorVersion) + L"." + std::to_wstring(os.dwMinorVersion) + L"." +
                                 std::to_wstring(os.dwBuildNumber);
    struct {
        const wchar_t* value;
        std::wstring expected;
    } cases[] = {
        {nullptr, L"Tolk/0.0.0.0/Win/" + version},
        {L"Prod//Win", L"Prod//Win/" + version},
        {L"Prod/2.0/Plat/6.1", L"Prod/2.0/Plat/6.1"},
    };
    int n = 0;
    for (const auto& c : cases) {
        if (c.value)
            SetProductValue(nullptr, L"USERAGENT", c.value);
        CWinHttpClient client;
        std::string path = m_dir + "ua" + std::to_string(n++);
        ASSERT_EQ(S_OK, client.Initialize(nullptr, server().HttpsUrl(path).c_str(), 30, false));
        EXPECT_EQ(c.expected, client.UserAgent());
        RequestId id = 0;
        DWORD status = 0;
        ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
        client.GetStatus(id, &status);
        auto log = server().Log(path);
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(Narrow(c.expected), HeaderOf(log[0], "User-Agent"));
    }
}

TEST_F(WinHttpClientTest, IdentityHeadersOnlyOnHttpsWithMachineId)
{
    SetProductValue(L"Identifiers", L"MID", L"machine-42");
    SetProductValue(nullptr, L"PRODUCTID", L"PROD7");
    struct {
        bool https;
        bool withMid;
        bool expectHeaders;
    } cases[] = {
        {true, true, true},
        {false, true, false},
        {true, false, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        if (!c.withMid) {
            std::wstring sub = m_key + L"\\Identifiers";
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, sub.c_str());
        }
        std::string path = m_dir + "id" + std::to_string(n++);
        CWinHttpClient client;
        client.SetSendIdentityHeaders(true);
        std::wstring url = c.https ? server().HttpsUrl(path) : server().HttpUrl(path);
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", url.c_str(), 30, false));
        RequestId id = 0;
        DWORD status = 0;
        ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
        ASSERT_EQ(S_OK, client.GetStatus(id, &status));
        auto log = server().Log(path);
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(c.expectHeaders, vek::test::HasHeader(log[0], "X-Talv-Request-Id")) << path;
        if (c.expectHeaders) {
            EXPECT_EQ("machine-42", HeaderOf(log[0], "X-Talv-Machine-Id"));
            EXPECT_TRUE(std::regex_match(HeaderOf(log[0], "X-Talv-Request-Id"), std::regex("PROD7-[0-9A-F]{32}")));
            EXPECT_TRUE(std::regex_match(HeaderOf(log[0], "X-Talv-Local-User-Id"), std::regex("S-1-5-[0-9-]+")));
        }
    }
}

TEST_F(WinHttpClientTest, RangeAndHeaderQueries)
{
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl("/_gen/5000000000/big.bin").c_str(), 30, false));
    RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.Query(L"HEAD", nullptr, nullptr, nullptr, 0, nullptr, 0, &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    std::uint64_t length = 0;
    ASSERT_EQ(S_OK, client.GetContentLength(id, &length));
    EXPECT_EQ(5000000000ull, length); // beyond 32 bits
    std::wstring text;
    EXPECT_EQ(S_OK, client.GetHeaderText(id, L"Last-Modified:", text)); // callers' form with a colon
    EXPECT_EQ(L"Wed, 01 Jan 2025 00:00:00 GMT", text);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_WINHTTP_HEADER_NOT_FOUND), client.GetHeaderText(id, L"X-Missing", text));
    client.CloseRequest(id);

    ASSERT_EQ(S_OK, client.GetRequest(L"Range: bytes=4999999990-\r\n", &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(206u, status);
    EXPECT_EQ(S_OK, client.GetHeaderText(id, L"Content-Range", text));
    EXPECT_EQ(L"bytes 4999999990-4999999999/5000000000", text);
    EXPECT_EQ(TestServer::PatternBytes(4999999990ull, 10), ReadAll(client, id));
    EXPECT_EQ(E_INVALIDARG, client.GetHeaderText(id + 1, L"Content-Range", text));
}

TEST_F(WinHttpClientTest, StatusCodesRedirectsAndDroppedConnections)
{
    server().SetScenario(m_dir + "busy", {{"status", 503}, {"body", "later"}});
    server().SetScenario(m_dir + "moved", {{"redirects", 3}, {"location", m_dir + "final"}});
    server().PutFile(m_dir + "final", "arrived");
    server().SetScenario(m_dir + "drop", {{"size", 100000}, {"drop_after", 1000}});
    server().SetScenario(m_dir + "short", {{"size", 100}, {"content_length", 500}});
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir).c_str(), 30, false));
    struct {
        const wchar_t* path;
        DWORD status;
        std::string body;
    } cases[] = {
        {L"busy", 503, "later"},
        {L"moved", 200, "arrived"},
        // The body ends early without an error from the read loop: callers compare the length.
        {L"drop", 200, TestServer::PatternBytes(0, 1000)},
        {L"short", 200, TestServer::PatternBytes(0, 100)},
    };
    for (const auto& c : cases) {
        RequestId id = 0;
        DWORD status = 0;
        ASSERT_EQ(S_OK, client.Query(L"GET", c.path, nullptr, nullptr, 0, nullptr, 0, &id)) << Narrow(c.path);
        ASSERT_EQ(S_OK, client.GetStatus(id, &status));
        EXPECT_EQ(c.status, status) << Narrow(c.path);
        EXPECT_EQ(c.body, ReadAll(client, id)) << Narrow(c.path);
        client.CloseRequest(id);
    }
    auto log = server().Log(m_dir + "moved");
    EXPECT_EQ(3u, log.size()); // moved, moved?hop=1, moved?hop=2, then final
    EXPECT_EQ(1u, server().Log(m_dir + "final").size());
}

TEST_F(WinHttpClientTest, StalledServerTimesOut)
{
    server().SetScenario(m_dir + "stall", {{"stall", 5}, {"size", 10}});
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir + "stall").c_str(), 1, false));
    RequestId id = 0;
    DWORD status = 0;
    HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
    if (SUCCEEDED(hr))
        hr = client.GetStatus(id, &status);
    EXPECT_TRUE(httptest::IsTimeout(hr)) << std::hex << hr;
}

TEST_F(WinHttpClientTest, SecondInitializeClosesOpenRequests)
{
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir + "a").c_str(), 30, false));
    RequestId id = 0;
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    EXPECT_EQ(1u, client.OpenRequestCount());
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir + "b").c_str(), 30, false));
    EXPECT_EQ(0u, client.OpenRequestCount());
    EXPECT_EQ(0u, client.FindRequest(id));
    EXPECT_EQ(S_OK, client.Close());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), client.Close());
}

namespace {

// A client whose next session cannot be opened (as when memory runs out).
class FailingSessionClient : public CWinHttpClient {
public:
    bool failOpen = false;

protected:
    HINTERNET OpenInternetSession(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxy,
                                  DWORD flags) override
    {
        if (failOpen) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return CWinHttpClient::OpenInternetSession(userAgent, accessType, proxy, flags);
    }
};

bool HandleIsOpen(HINTERNET handle)
{
    DWORD_PTR context = 0;
    DWORD size = sizeof context;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, &size) != FALSE;
}

} // namespace

// A re-open that fails leaves no handle of the earlier open behind, even when the client is then
// destroyed without another open.
TEST_F(WinHttpClientTest, FailedReopenLeavesNoConnectionOpen)
{
    HINTERNET previous = nullptr;
    {
        FailingSessionClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpsUrl(m_dir + "a").c_str(), 30, false));
        previous = client.ConnectionHandle();
        ASSERT_NE(previous, nullptr);
        ASSERT_TRUE(HandleIsOpen(previous));
        client.failOpen = true;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
                  client.Initialize(L"VEK", server().HttpsUrl(m_dir + "b").c_str(), 30, false));
        EXPECT_FALSE(client.IsInitialized());
    }
    EXPECT_FALSE(HandleIsOpen(previous));
}

TEST_F(WinHttpClientTest, PlainHttpIsNotPinnedAndItsRequestClosesAtOnce)
{
    CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", server().HttpUrl(m_dir + "plain").c_str(), 30, false));
    RequestId id = 0;
    DWORD status = 0;
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    ASSERT_EQ(S_OK, client.GetStatus(id, &status));
    EXPECT_EQ(404u, status);
    EXPECT_TRUE(client.IsNotPinned());
    EXPECT_EQ(S_OK, client.CloseRequest(id));
    EXPECT_EQ(0u, client.OpenRequestCount()); // deleted at once, no late handle-closing wait
    auto entry = OnlyRequest();
    EXPECT_TRUE(entry["tls"].is_null());
}

} // namespace
