// Certificate pinning against the local HTTPS server's two-level chain (test CA -> intermediate
// -> localhost): the verdict of each policy, the reports that reach the telemetry object and the
// detailed report, the remembered certificate, the white list and a redirect off it.
#include "PinningTestSupport.h"

#include "common/base/qkWideFormat.h"
#include "net/VekTestServer.h"
#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"
#include "net/http/Jux_HTTPCertPinning.h"
#include "net/http/Jux_PinningHook.h"
#include "net/http/Jux_PinningTelemetry.h"
#include "net/http/Jux_WinHttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>

using namespace pintest;
using vek::test::TestServer;

namespace {

constexpr std::uint64_t kNow = 133000000000000000ULL;

struct DetailedReport {
    Jux::PinningReport report;
    std::string text;
};

// The real policy; detailed reports are recorded instead of filed as error instances.
class RecordingPinning : public Jux::CHTTPCertPinning {
public:
    explicit RecordingPinning(std::shared_ptr<Jux::IFileTimeClock> clock) : CHTTPCertPinning(std::move(clock)) {}
    std::vector<DetailedReport> Take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<DetailedReport> taken;
        taken.swap(m_details);
        return taken;
    }

protected:
    void FileDetailedReport(const Jux::PinningReport& report, const std::string& utf8Text) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_details.push_back({report, utf8Text});
    }

private:
    std::mutex m_lock;
    std::vector<DetailedReport> m_details;
};

struct Chain {
    std::wstring leaf, intermediate, root;
    std::wstring leafName, intermediateName, rootName;
};

const Chain& TestChain()
{
    static const Chain chain = [] {
        const std::wstring dir = TestServer::Instance().CertsDir() + L"\\";
        Chain c;
        c.leaf = ThumbprintOfPem(dir + L"chained-localhost.crt");
        c.intermediate = ThumbprintOfPem(dir + L"inter-ca.crt");
        c.root = ThumbprintOfPem(dir + L"ca.crt");
        c.leafName = DisplayNameOfPem(dir + L"chained-localhost.crt");
        c.intermediateName = DisplayNameOfPem(dir + L"inter-ca.crt");
        c.rootName = DisplayNameOfPem(dir + L"ca.crt");
        return c;
    }();
    return chain;
}

std::wstring Lower(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

class CertificatePinning : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureSettingsFactory();
        EnsureRecordingTelemetry();
        ASSERT_EQ(40u, TestChain().leaf.size());
        m_pinning = std::make_shared<RecordingPinning>(m_clock);
        Jux::RegisterCertificateCheck(m_pinning);
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        TakeTelemetry();
        m_prefix = TestServer::UniquePrefix(::testing::UnitTest::GetInstance()->current_test_info()->name());
        TestServer::Instance().PutFile(m_prefix + "doc", "pinned content");
    }
    void TearDown() override
    {
        Jux::RegisterCertificateCheck(nullptr);
        TestServer::Instance().Clear(m_prefix);
    }

    // A policy file with room for every report of the day.
    void WritePolicy(pintest::ClientSettingsSpec spec)
    {
        spec.dataVersion = spec.dataVersion.value_or(7);
        spec.maxPings = spec.maxPings.value_or(100);
        spec.pingCount = 0;
        spec.lastInitPingTime = kNow;
        m_dir.Write(spec);
    }

    // One GET through a client whose requests are pinned (localhost can be on no white list:
    // an entry never covers the name itself, so the client's hook is put in place directly).
    HRESULT Get(Jux::CWinHttpClient& client, const std::string& path = "doc")
    {
        if (!client.IsInitialized()) {
            const HRESULT hr = client.Initialize(
                L"VEK", TestServer::Instance().HttpsUrl(m_prefix + path, "chained").c_str(), 30, false);
            if (FAILED(hr))
                return hr;
            client.SetPinningHookOverride(std::make_shared<Jux::CPinningHook>());
        }
        Jux::RequestId id = 0;
        HRESULT hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
        DWORD status = 0;
        if (SUCCEEDED(hr))
            hr = client.GetStatus(id, &status);
        if (SUCCEEDED(hr) && status != 200)
            hr = E_FAIL;
        if (id)
            client.CloseRequest(id);
        client.WaitForRequests(10, 2000);
        return hr;
    }

    std::shared_ptr<FixedClock> m_clock = std::make_shared<FixedClock>(kNow + 1);
    std::shared_ptr<RecordingPinning> m_pinning;
    DataDir m_dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::string m_prefix;
};

enum class PinOn { None, Leaf, Intermediate, RootLowerCase, Unrelated };

} // namespace

// Every policy against the same chain: does the request go on, which code is reported, is there a
// detailed report.
TEST_F(CertificatePinning, VerdictAndReportOfEachPolicy)
{
    struct Case {
        const char* name;
        DWORD mode, rootCheckMode;
        PinOn pin;
        bool rootWellKnown;
        bool requestSucceeds;
        int reportedCode; // -1: nothing reported
        HRESULT reportedHr;
    };
    const HRESULT refused = static_cast<HRESULT>(0x800704DC); // the check's own failure
    const Case cases[] = {
        {"mode 0 checks nothing", 0, 1, PinOn::None, true, true, -1, S_OK},
        {"pin on the leaf, well-known root", 2, 1, PinOn::Leaf, true, true, -1, S_OK},
        {"pin on the intermediate", 2, 1, PinOn::Intermediate, true, true, -1, S_OK},
        {"mode 1 reports a mismatch and goes on", 1, 1, PinOn::Unrelated, true, true, 3, refused},
        {"other modes act as 1", 5, 1, PinOn::None, true, true, 3, refused},
        {"mode 2 refuses a mismatch", 2, 1, PinOn::Unrelated, true, false, 3, refused},
        {"private root passes when RootCheckMode is 0", 2, 0, PinOn::None, false, true, 4, S_OK},
        {"private root needs a pin otherwise", 2, 1, PinOn::None, false, false, 4, refused},
        {"pin on the root (lower case), private root", 2, 1, PinOn::RootLowerCase, false, true, 5, S_OK},
    };
    const Chain& chain = TestChain();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        std::vector<std::wstring> pins;
        switch (c.pin) {
        case PinOn::Leaf: pins = {chain.leaf}; break;
        case PinOn::Intermediate: pins = {chain.intermediate}; break;
        case PinOn::RootLowerCase: pins = {Lower(chain.root)}; break;
        case PinOn::Unrelated: pins = {std::wstring(40, L'0')}; break;
        case PinOn::None: break;
        }
        WritePolicy({.mode = c.mode,
                              .rootCheckMode = c.rootCheckMode,
                              .pins = pins,
                              .wellKnownRoots = c.rootWellKnown ? std::vector<std::wstring>{chain.root}
                                                                : std::vector<std::wstring>{}});
        Jux::CWinHttpClient client;
        const HRESULT hr = Get(client);
        // A refusal fails the caller's own WinHTTP call (operation cancelled), and the client
        // keeps the mark that tells it from a network failure.
        const HRESULT expectedHr = c.requestSucceeds ? S_OK : HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED);
        EXPECT_EQ(expectedHr, hr) << std::hex << hr;
        EXPECT_EQ(!c.requestSucceeds, client.LastRequestPinRefused());

        const auto events = TakeTelemetry();
        const auto details = m_pinning->Take();
        if (c.reportedCode < 0) {
            EXPECT_TRUE(events.empty());
            EXPECT_TRUE(details.empty());
            continue;
        }
        ASSERT_EQ(1u, events.size());
        const TelemetryEvent& e = events[0];
        EXPECT_EQ(Jux::kPinningEventId, e.eventId);
        EXPECT_EQ(static_cast<DWORD>(c.reportedCode), e.resultCode);
        EXPECT_EQ(1u, e.constant1);
        EXPECT_EQ(0u, e.constant2);
        ASSERT_EQ(14u, e.pairs.size());
        wchar_t hrText[16];
        qkLib::FormatWide(hrText, 16, L"%lX", static_cast<unsigned long>(c.reportedHr));
        const std::vector<std::pair<std::wstring, std::wstring>> expected = {
            {L"D", L"7"}, {L"A", L"1"}, {L"B", L"0"}, {L"M", std::to_wstring(c.mode)},
            {L"R", std::to_wstring(c.rootCheckMode)}, {L"O", L"0"}, {L"V", L"1"}, {L"W", L"3"},
            {L"X", chain.leafName}, {L"Y", chain.intermediateName}, {L"Z", chain.rootName},
            {L"I", L"127.0.0.1"}, {L"J", hrText}, {L"K", L"0"}};
        EXPECT_EQ(expected, e.pairs);

        // Codes 3, 4 and 5 also file the detailed report with the chain's text dump.
        ASSERT_EQ(1u, details.size());
        const std::string& text = details[0].text;
        EXPECT_NE(std::string::npos, text.find("Ping error: " + std::to_string(c.reportedCode) + "\n")) << text;
        EXPECT_NE(std::string::npos, text.find("Host IP: 127.0.0.1\nConnection Host: localhost\n")) << text;
        std::string rootThumb(chain.root.begin(), chain.root.end());
        EXPECT_NE(std::string::npos, text.find("Thumbprint: " + rootThumb + "\n")) << "the walk reached the root";
    }
}

// A passed chain is remembered: the same server certificate is not checked again, even when the
// policy changes to one it would fail.
TEST_F(CertificatePinning, RememberedCertificateSkipsTheCheck)
{
    const Chain& chain = TestChain();
    WritePolicy({.mode = 2, .rootCheckMode = 1, .pins = std::vector<std::wstring>{chain.leaf},
                          .wellKnownRoots = std::vector<std::wstring>{chain.root}});
    Jux::CWinHttpClient first;
    ASSERT_EQ(S_OK, Get(first));
    EXPECT_EQ(chain.leaf, Jux::CHTTPCertPinning::RememberedThumbprint());

    WritePolicy({.mode = 2, .rootCheckMode = 1, .pins = std::vector<std::wstring>{},
                          .wellKnownRoots = std::vector<std::wstring>{chain.root}});
    Jux::CWinHttpClient second;
    EXPECT_EQ(S_OK, Get(second)) << "remembered certificate";
    EXPECT_TRUE(TakeTelemetry().empty());

    Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
    Jux::CWinHttpClient third;
    EXPECT_TRUE(FAILED(Get(third))) << "checked again once forgotten";
    ASSERT_EQ(1u, TakeTelemetry().size());
}

// Settings that cannot be read let the request pass and report code 1 (through the limiter).
TEST_F(CertificatePinning, UnreadablePolicyPassesAndReportsCodeOne)
{
    const Chain& chain = TestChain();
    WritePolicy({.mode = 2, .rootCheckMode = 1, .wellKnownRoots = std::vector<std::wstring>{chain.root}});
    Jux::CWinHttpClient client;
    EXPECT_EQ(S_OK, Get(client)) << "no Pins section";
    auto events = TakeTelemetry();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1u, events[0].resultCode);
    EXPECT_EQ(L"2", events[0].Value(L"M"));
    EXPECT_EQ(L"0", events[0].Value(L"V")) << "no chain was walked";
    EXPECT_TRUE(m_pinning->Take().empty());
}

// A request without a server certificate (plain HTTP handle) cannot be decided: code 2, reported
// at once; it counts as a failed check, so enforced pinning (mode 2) refuses it and mode 1 lets it go.
TEST_F(CertificatePinning, RequestWithoutCertificateReportsCodeTwoAndIsRefusedWhenEnforced)
{
    for (const DWORD mode : {2u, 1u}) {
        SCOPED_TRACE(mode);
        WritePolicy({.mode = mode, .rootCheckMode = 1, .maxPings = 0}); // the limiter would refuse
        HINTERNET session = WinHttpOpen(L"pin-test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
        HINTERNET connection = WinHttpConnect(session, L"localhost", 80, 0);
        HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/x", nullptr, nullptr, nullptr, 0);
        ASSERT_NE(nullptr, request);
        EXPECT_EQ(mode != 2, m_pinning->CheckServerCertificate(request, L"10.0.0.1", Jux::kCheckOnSend, 0));
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        auto events = TakeTelemetry();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(2u, events[0].resultCode);
        EXPECT_EQ(L"4294967295", events[0].Value(L"M"));
        EXPECT_EQ(L"4294967295", events[0].Value(L"R"));
        EXPECT_EQ(L"0", events[0].Value(L"D"));
        EXPECT_EQ(L"10.0.0.1", events[0].Value(L"I"));
    }
}

// A secure failure (source 2) is always reported, even with a passing chain or pinning off:
// summary only. Wine never raises that notification, so the check is called on a finished request.
TEST_F(CertificatePinning, SecureFailureIsAlwaysReported)
{
    const Chain& chain = TestChain();
    HINTERNET session = WinHttpOpen(L"pin-test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection =
        WinHttpConnect(session, L"localhost", static_cast<INTERNET_PORT>(TestServer::Instance().HttpsPort("chained")), 0);
    const std::wstring path = std::wstring(m_prefix.begin(), m_prefix.end()) + L"doc";
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
                WinHttpReceiveResponse(request, nullptr));
    const DWORD flags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
    for (DWORD mode : {2u, 0u}) {
        SCOPED_TRACE(mode);
        Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
        WritePolicy({.mode = mode, .rootCheckMode = 1, .pins = std::vector<std::wstring>{chain.leaf},
                     .wellKnownRoots = std::vector<std::wstring>{chain.root}});
        EXPECT_TRUE(m_pinning->CheckServerCertificate(request, L"127.0.0.1", Jux::kCheckOnSecureFailure, flags));
        auto events = TakeTelemetry();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(0u, events[0].resultCode);
        EXPECT_EQ(L"2", events[0].Value(L"A"));
        EXPECT_EQ(std::to_wstring(flags), events[0].Value(L"B"));
        EXPECT_EQ(std::to_wstring(mode), events[0].Value(L"M"));
        EXPECT_EQ(mode == 0 ? L"0" : L"3", events[0].Value(L"W")) << "mode 0 builds no chain";
        EXPECT_TRUE(m_pinning->Take().empty());
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
}

// The daily limit applies to the reports after a check.
TEST_F(CertificatePinning, ReportsStopAtTheDailyLimit)
{
    const Chain& chain = TestChain();
    WritePolicy({.mode = 1, .rootCheckMode = 1, .pins = std::vector<std::wstring>{},
                          .wellKnownRoots = std::vector<std::wstring>{chain.root}, .maxPings = 2});
    for (int i = 0; i < 3; ++i) {
        Jux::CWinHttpClient client;
        EXPECT_EQ(S_OK, Get(client)) << "mode 1 never refuses";
    }
    EXPECT_EQ(2u, TakeTelemetry().size());
    EXPECT_EQ(2u, m_pinning->Take().size());
    m_clock->now = kNow + Jux::kReportPeriod;
    Jux::CWinHttpClient client;
    EXPECT_EQ(S_OK, Get(client));
    EXPECT_EQ(1u, TakeTelemetry().size()) << "a new day";
}

// A pinned request redirected to a host off the white list: one report (source 3, code 7), and no
// further check of that request.
TEST_F(CertificatePinning, RedirectOffTheWhiteListIsReportedOnce)
{
    const Chain& chain = TestChain();
    WritePolicy({.mode = 2, .rootCheckMode = 1, .pins = std::vector<std::wstring>{chain.leaf},
                          .wellKnownRoots = std::vector<std::wstring>{chain.root},
                          .whiteList = std::vector<std::wstring>{L"example.com"}});
    TestServer::Instance().SetScenario(m_prefix + "moved", {{"redirects", 2}, {"location", m_prefix + "doc"}});
    Jux::CWinHttpClient client;
    EXPECT_EQ(S_OK, Get(client, "moved"));
    auto events = TakeTelemetry();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(7u, events[0].resultCode);
    EXPECT_EQ(L"3", events[0].Value(L"A"));
    EXPECT_EQ(L"1", events[0].Value(L"O"));
    EXPECT_EQ(L"4294967295", events[0].Value(L"M"));
    EXPECT_EQ(L"127.0.0.1", events[0].Value(L"I"));
}

TEST(WhiteList, EntryCoversNamesBelowItOnly)
{
    struct Case {
        const wchar_t* host;
        const wchar_t* entry;
        bool covered;
    };
    const Case cases[] = {
        {L"www.example.com", L"example.com", true},
        {L"a.b.EXAMPLE.Com", L"example.com", true},
        {L"example.com", L"example.com", false},
        {L"badexample.com", L"example.com", false},
        {L"example.com.evil", L"example.com", false},
        {L".example.com", L"example.com", true},
        {L"com", L"example.com", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.covered, Jux::WhiteListEntryCovers(c.host, c.entry)) << c.host << " / " << c.entry;
}

// The white list through the settings file: pinning off or unreadable settings pin nothing, and
// unreadable settings are reported at once.
TEST_F(CertificatePinning, WhiteListFromTheSettingsFile)
{
    WritePolicy({.mode = 1, .rootCheckMode = 0, .whiteList = std::vector<std::wstring>{L"vek.test"}});
    EXPECT_TRUE(Jux::IsHostWhiteListed(L"cdn.vek.test"));
    EXPECT_FALSE(Jux::IsHostWhiteListed(L"vek.test"));
    EXPECT_TRUE(Jux::IsUrlHostWhiteListed(L"https://a.b.vek.test:8443/x?y"));
    EXPECT_TRUE(TakeTelemetry().empty());

    WritePolicy({.mode = 0, .rootCheckMode = 0, .whiteList = std::vector<std::wstring>{L"vek.test"}});
    EXPECT_FALSE(Jux::IsHostWhiteListed(L"cdn.vek.test")) << "mode 0 pins nothing";
    EXPECT_TRUE(TakeTelemetry().empty());

    WritePolicy({.mode = 1, .rootCheckMode = 0});
    EXPECT_FALSE(Jux::IsHostWhiteListed(L"cdn.vek.test")) << "no WhiteList section";
    auto events = TakeTelemetry();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1u, events[0].resultCode);
    EXPECT_EQ(L"1", events[0].Value(L"O"));
    EXPECT_EQ(L"4294967295", events[0].Value(L"M"));

    // A client whose host no entry covers is not pinned: its requests are never checked.
    WritePolicy({.mode = 2, .rootCheckMode = 1, .pins = std::vector<std::wstring>{},
                          .wellKnownRoots = std::vector<std::wstring>{}, .whiteList = std::vector<std::wstring>{L"localhost"}});
    Jux::CWinHttpClient client;
    ASSERT_EQ(S_OK, client.Initialize(L"VEK", TestServer::Instance().HttpsUrl(m_prefix + "doc", "chained").c_str(), 30,
                                      false));
    Jux::RequestId id = 0;
    ASSERT_EQ(S_OK, client.GetRequest(static_cast<const wchar_t*>(nullptr), &id));
    client.CloseRequest(id);
    EXPECT_TRUE(client.IsNotPinned());
    EXPECT_TRUE(TakeTelemetry().empty());
}

namespace {

// Lets the first request go out and keeps redirects checked; the check of the redirected request
// waits until the test lets it answer, and then refuses.
class RefusingAfterRedirectHook : public Jux::CPinningHook {
public:
    bool OnCertificateCheck(HINTERNET request, const std::wstring&, DWORD, DWORD) override
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (++m_checks == 1)
            return true;
        m_handle = request;
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
        return false;
    }
    bool OnRedirect(const std::wstring&, const std::wstring&) override { return true; }

    HINTERNET WaitEntered()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_entered; });
        return m_entered ? m_handle : nullptr;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_checks = 0;
    bool m_entered = false, m_released = false;
    HINTERNET m_handle = nullptr;
};

bool HandleIsOpen(HINTERNET handle)
{
    DWORD_PTR context = 0;
    DWORD size = sizeof context;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, &size) != FALSE;
}

} // namespace

// A stop closes the request while its redirected send waits in the check; the check then refuses.
// The request must be closed once only: by then WinHTTP may have given its handle value to another
// object, here a session of the test's own.
TEST(PinningRefusal, AfterAStopClosesNothingElse)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("RefusalAfterStop");
    server.SetScenario(dir + "moved", {{"redirects", 1}, {"location", dir + "target"}});
    server.SetScenario(dir + "target", {{"size", 1000}});
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    nlohmann::json record;
    record["DownloadUri"] = vek::WideToUtf8(server.HttpsUrl(dir + "moved"));
    record["LocalFilePath"] = vek::WideToUtf8(std::wstring(temp) + L"vek-refusal-after-stop.bin");
    record["BytesTotal"] = "1000";

    auto hook = std::make_shared<RefusingAfterRedirectHook>();
    vek::CWinHTTPEngine engine(nullptr, nullptr);
    engine.SetPinningHookOverride(hook);
    auto result = std::async(std::launch::async, [&] { return engine.download(record); });
    HINTERNET closed = hook->WaitEntered();
    ASSERT_NE(closed, nullptr) << "the redirected request was never checked";
    engine.requestExit();

    // WinHTTP hands a freed handle value out again: take sessions until one has it (Wine reuses the
    // lowest free value; Windows may never give it again).
    std::vector<HINTERNET> sessions;
    HINTERNET reused = nullptr;
    for (int i = 0; i < 256 && reused == nullptr; ++i) {
        HINTERNET session =
            WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        EXPECT_NE(session, nullptr);
        if (session == nullptr)
            break;
        sessions.push_back(session);
        if (session == closed)
            reused = session;
    }
    hook->Release();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(result.get(), HRESULT_FROM_WIN32(ERROR_CANCELLED));
    EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_CANCELLED);
    if (reused != nullptr) {
        EXPECT_TRUE(HandleIsOpen(reused)) << "the refusal closed the handle a second time";
    } else {
        std::printf("the closed request's handle value was not handed out again; nothing to show\n");
    }
    for (HINTERNET session : sessions)
        EXPECT_TRUE(WinHttpCloseHandle(session));
    server.Clear(dir);
}
