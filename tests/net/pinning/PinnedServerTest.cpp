// Pinning as the program attaches it: no hook override and no stand-in check, only the policy of
// a real settings file, against the test server's "pinned" certificate under pinned.vek.test (a
// dotted name that the white-list entry "vek.test" covers; pinned-name.sh maps it to 127.0.0.1).
// Then the download engine and manager: a plain-HTTP file or a host off the white list does not
// switch the checks off for the next server, and a refused certificate is retried like any
// cancelled request but named as a refusal, never as a network failure.
#include "PinningTestSupport.h"

#include "net/VekTestServer.h"
#include "net/download/CWinHTTPDownloadManager.h"
#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"
#include "net/http/Jux_CertificateCheck.h"
#include "net/http/Jux_HTTPCertPinning.h"
#include "net/http/Jux_WinHttpClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace pintest;
using nlohmann::json;
using vek::test::TestServer;

namespace {

constexpr HRESULT kRefused = static_cast<HRESULT>(0x800704DC);
const HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED);

// "ok", or why pinned.vek.test does not resolve to loopback here.
std::string PinnedNameStatus()
{
    const char* path = std::getenv("VEK_PINNED_NAME_STATUS");
    if (!path)
        return "VEK_PINNED_NAME_STATUS is not set (run the test through ctest)";
    std::ifstream file(std::string("Z:") + path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text.empty() ? "no status from pinned-name.sh" : text;
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class PinnedServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string status = PinnedNameStatus();
        if (status != "ok")
            GTEST_SKIP() << status;
        EnsureSettingsFactory();
        EnsureRecordingTelemetry();
        Jux::RegisterCertificateCheck(nullptr); // the check the client makes on first use
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        TakeTelemetry();
        m_prefix = TestServer::UniquePrefix(::testing::UnitTest::GetInstance()->current_test_info()->name());
        TestServer::Instance().PutFile(m_prefix + "doc", "pinned content");
        const std::wstring certs = TestServer::Instance().CertsDir() + L"\\";
        m_leaf = ThumbprintOfPem(certs + L"pinned-name.crt");
        m_root = ThumbprintOfPem(certs + L"ca.crt");
    }
    void TearDown() override
    {
        if (!m_prefix.empty())
            TestServer::Instance().Clear(m_prefix);
    }

    std::wstring PinnedUrl(const std::string& path) const
    {
        return L"https://pinned.vek.test:" + std::to_wstring(TestServer::Instance().HttpsPort("pinned")) +
               Widen(m_prefix + path);
    }

    // White list "vek.test", the CA as the one well-known root; room for every report of the day.
    void WritePolicy(DWORD mode, bool pinTheLeaf)
    {
        m_dir.Write({.mode = mode,
                     .rootCheckMode = 1,
                     .pins = std::vector<std::wstring>{pinTheLeaf ? m_leaf : std::wstring(40, L'0')},
                     .wellKnownRoots = std::vector<std::wstring>{m_root},
                     .whiteList = std::vector<std::wstring>{L"vek.test"},
                     .dataVersion = 7,
                     .maxPings = 100,
                     .pingCount = 0,
                     .lastInitPingTime = 0});
    }

    DataDir m_dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::string m_prefix;
    std::wstring m_leaf, m_root;
};

// A client that cannot make its pinning hook (as when memory runs out).
class HooklessClient : public Jux::CWinHttpClient {
protected:
    std::shared_ptr<Jux::CPinningHook> CreatePinningHook() override { return nullptr; }
};

} // namespace

// The client asks the program's own check whether its host is white-listed and, for each request,
// whether the server's chain holds a pin: enforced pinning refuses a chain without one; reporting
// only lets it pass; a pinned leaf passes silently.
TEST_F(PinnedServer, ProgramsOwnCheckPinsAWhiteListedHost)
{
    const struct {
        const char* what;
        DWORD mode;
        bool pinTheLeaf;
        HRESULT result;
        int reportedCode; // -1: nothing reported
    } cases[] = {
        {"enforced, pin on the leaf", 2, true, S_OK, -1},
        {"enforced, no pin matches", 2, false, kCancelled, Jux::kPinNoMatchWellKnownRoot},
        {"reporting only, no pin matches", 1, false, S_OK, Jux::kPinNoMatchWellKnownRoot},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        WritePolicy(c.mode, c.pinTheLeaf);
        Jux::CWinHttpClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", PinnedUrl("doc").c_str(), 30, false));
        Jux::RequestId id = 0;
        HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
        DWORD status = 0;
        if (SUCCEEDED(hr))
            hr = client.GetStatus(id, &status);
        if (id)
            client.CloseRequest(id);
        client.WaitForRequests(10, 2000);
        EXPECT_EQ(c.result, hr) << std::hex << hr;
        EXPECT_EQ(FAILED(c.result), client.LastRequestPinRefused());
        EXPECT_FALSE(client.IsNotPinned()) << "the host is on the white list";
        const auto events = TakeTelemetry();
        if (c.reportedCode < 0) {
            EXPECT_EQ(200u, status);
            EXPECT_TRUE(events.empty());
            continue;
        }
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(static_cast<DWORD>(c.reportedCode), events[0].resultCode);
        EXPECT_EQ(L"800704DC", events[0].Value(L"J"));
        EXPECT_EQ(L"127.0.0.1", events[0].Value(L"I"));
    }
}

// One engine fetches a file that leaves its client unpinned (plain HTTP, or a host that no
// white-list entry covers), then a file of the pinned host whose chain holds no pin: the second
// file is checked and refused, as a refusal that the manager retries.
TEST_F(PinnedServer, EarlierFileDoesNotSwitchPinningOffForTheNextServer)
{
    WritePolicy(2, false);
    auto& server = TestServer::Instance();
    server.SetScenario(m_prefix + "first", {{"size", 1000}});
    const struct {
        const char* what;
        std::wstring firstUrl;
    } cases[] = {
        {"plain HTTP", server.HttpUrl(m_prefix + "first")},
        {"host off the white list", server.HttpsUrl(m_prefix + "first")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        const std::wstring base = std::wstring(temp) + L"vekpin-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
        vek::CWinHTTPEngine engine(nullptr, nullptr);
        json first = {{"DownloadUri", vek::WideToUtf8(c.firstUrl)},
                      {"LocalFilePath", vek::WideToUtf8(base + L"first")},
                      {"BytesTotal", "1000"}};
        ASSERT_EQ(S_OK, engine.download(first));
        EXPECT_TRUE(engine.IsNotPinned());
        EXPECT_TRUE(TakeTelemetry().empty());

        json second = {{"DownloadUri", vek::WideToUtf8(PinnedUrl("doc"))},
                       {"LocalFilePath", vek::WideToUtf8(base + L"second")}};
        EXPECT_EQ(kCancelled, engine.download(second));
        EXPECT_EQ(vek::BG_JOB_STATE_TRANSIENT_ERROR, engine.getJobState());
        HRESULT error = S_OK;
        engine.GetError(error);
        EXPECT_EQ(kRefused, error) << std::hex << error;
        const auto events = TakeTelemetry();
        ASSERT_EQ(1u, events.size()) << "one request, checked once";
        EXPECT_EQ(static_cast<DWORD>(Jux::kPinNoMatchWellKnownRoot), events[0].resultCode);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((base + L"second").c_str()));
        ::DeleteFileW((base + L"first").c_str());
    }
}

// A critical file whose server is refused: each size query is checked and refused, retried up to
// the job's count like any cancelled request, and the file's error and report name the refusal.
TEST_F(PinnedServer, RefusedServerIsRetriedAndNamedAsARefusal)
{
    WritePolicy(2, false);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring destination = std::wstring(temp) + L"vekpin-manager-" + std::to_wstring(::GetCurrentProcessId());
    json job = {{"TRANSIENT_ERROR_RETRY_COUNT", 2},
                {"file_array", json::array({{{"source_file", vek::WideToUtf8(PinnedUrl("doc"))},
                                             {"destination_file", vek::WideToUtf8(destination)},
                                             {"file_priority", 0}}})}};
    json options = json::object();
    std::vector<int> events;
    {
        vek::CWinHTTPDownloadManager manager(job, nullptr, options);
        manager.SetRetryWait(1);
        manager.Events().connect([&events](int event) { events.push_back(event); });
        manager.Start(); // the size queries run here; a refused one ends the start
        manager.Stop();
    }
    EXPECT_EQ(std::vector<int>{vek::eDownloadFatalError}, events);
    const auto reports = TakeTelemetry();
    EXPECT_EQ(3u, reports.size()) << "the first size query and two retries, each checked";
    for (const auto& report : reports)
        EXPECT_EQ(static_cast<DWORD>(Jux::kPinNoMatchWellKnownRoot), report.resultCode);
    const std::int32_t refused = static_cast<std::int32_t>(kRefused);
    EXPECT_EQ(refused, job["job_error_code"]);
    EXPECT_EQ(refused, job["last_download_error"]);
    EXPECT_EQ(refused, job["OtherErrors"]);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(destination.c_str()));
}

// A request that starts unpinned (plain HTTP, or a host that no white-list entry covers) and is
// redirected to the white-listed host is checked there: with enforced pinning and no pin, refused.
TEST_F(PinnedServer, RedirectToAWhiteListedHostIsChecked)
{
    WritePolicy(2, false);
    auto& server = TestServer::Instance();
    const std::string target = vek::WideToUtf8(PinnedUrl("doc"));
    server.SetScenario(m_prefix + "moved", {{"redirects", 1}, {"location", target}});
    const struct {
        const char* what;
        std::wstring url;
    } cases[] = {
        {"from plain HTTP", server.HttpUrl(m_prefix + "moved")},
        {"from a host off the white list", server.HttpsUrl(m_prefix + "moved")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        Jux::CWinHttpClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", c.url.c_str(), 30, false));
        Jux::RequestId id = 0;
        HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
        DWORD status = 0;
        if (SUCCEEDED(hr))
            hr = client.GetStatus(id, &status);
        if (id)
            client.CloseRequest(id);
        client.WaitForRequests(10, 2000);
        EXPECT_TRUE(FAILED(hr)) << "status " << status;
        const auto events = TakeTelemetry();
        EXPECT_EQ(1u, events.size());
        if (!events.empty()) {
            EXPECT_EQ(static_cast<DWORD>(Jux::kPinNoMatchWellKnownRoot), events[0].resultCode);
        }
    }
}

// Without its hook a request to the white-listed host is refused where pins are required, and goes
// out unchecked where they are only reported; a host off the white list is never refused.
TEST_F(PinnedServer, RequestWithoutAHookFailsOnlyWherePinsAreRequired)
{
    const struct {
        const char* what;
        DWORD mode;
        bool whiteListed;
        bool sent;
    } cases[] = {
        {"pins required, white-listed host", 2, true, false},
        {"pins reported, white-listed host", 1, true, true},
        {"pins required, host off the white list", 2, false, true},
    };
    auto& server = TestServer::Instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WritePolicy(c.mode, false);
        server.Clear(m_prefix + "doc");
        server.PutFile(m_prefix + "doc", "pinned content");
        const std::wstring url = c.whiteListed ? PinnedUrl("doc") : server.HttpsUrl(m_prefix + "doc");
        HooklessClient client;
        ASSERT_EQ(S_OK, client.Initialize(L"VEK", url.c_str(), 30, false));
        Jux::RequestId id = 0;
        HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
        DWORD status = 0;
        if (SUCCEEDED(hr))
            hr = client.GetStatus(id, &status);
        if (id)
            client.CloseRequest(id);
        client.WaitForRequests(10, 2000);
        EXPECT_EQ(c.sent, SUCCEEDED(hr)) << std::hex << hr;
        EXPECT_EQ(c.sent, !server.Log(m_prefix + "doc").empty());
        if (!c.sent) {
            EXPECT_EQ(kCancelled, hr);
            EXPECT_TRUE(client.LastRequestPinRefused());
        }
        TakeTelemetry();
    }
}
