// The download engine against the local HTTPS server: fresh downloads, a cut transfer resumed with
// Range, a server that ignores Range, a changed Last-Modified, the size query and its redirects,
// and a stop that ends a receive blocked on a silent server.
#include "DownloadTestSupport.h"

#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using nlohmann::json;
using vek::test::TestServer;

namespace {

constexpr std::uint64_t kSize = 700000;

struct EngineCase {
    std::string dir;
    std::wstring url;
    json record;
};

EngineCase MakeCase(const char* name, const dltest::ScratchDir& scratch)
{
    EngineCase c;
    c.dir = TestServer::UniquePrefix(name);
    c.url = TestServer::Instance().HttpsUrl(c.dir + "file.bin");
    c.record["DownloadUri"] = vek::WideToUtf8(c.url);
    c.record["LocalFilePath"] = vek::WideToUtf8(scratch.File(L"file.bin"));
    c.record["BytesTotal"] = std::to_string(kSize);
    return c;
}

TEST(DownloadEngine, FreshDownloadIsExactAndLeavesNoTemporaryFile)
{
    dltest::ScratchDir scratch("fresh");
    EngineCase c = MakeCase("EngineFresh", scratch);
    TestServer::Instance().SetScenario(c.dir + "file.bin", {{"size", kSize}});

    vek::CWinHTTPEngine engine(nullptr, nullptr);
    std::uint64_t size = 0;
    ASSERT_EQ(engine.getDownloadSize(c.url, size), S_OK);
    EXPECT_EQ(size, kSize);

    ASSERT_EQ(engine.download(c.record), S_OK);
    EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_TRANSFERRED);
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"file.bin")), TestServer::PatternBytes(0, kSize));
    EXPECT_EQ(c.record["BytesDownloaded"], std::to_string(kSize));
    EXPECT_EQ(c.record["DateLastModifed"], "Wed, 01 Jan 2025 00:00:00 GMT");
    EXPECT_EQ(scratch.CountFiles(), 1u); // the temporary file was moved, not copied
    auto gets = dltest::Requests(c.dir, "GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_FALSE(vek::test::HasHeader(gets[0], "Range"));
}

// A first attempt cut after N bytes; then the second attempt's server behaviour.
struct ResumeCase {
    const char* name;
    json secondScenario;                   // scenario for the second attempt
    std::vector<std::string> secondRanges; // Range header of each GET of the second attempt
};

TEST(DownloadEngine, CutTransferResumesOrRestartsAndEndsExact)
{
    const std::uint64_t cut = 250000;
    const ResumeCase cases[] = {
        {"Resume", {{"size", kSize}}, {"bytes=250000-"}},
        {"RangeIgnored", {{"size", kSize}, {"ignore_range", true}}, {"bytes=250000-"}},
        {"LastModifiedChanged",
         {{"size", kSize}, {"last_modified", "Thu, 02 Jan 2025 00:00:00 GMT"}},
         {"bytes=250000-", ""}},
    };
    for (const ResumeCase& rc : cases) {
        SCOPED_TRACE(rc.name);
        dltest::ScratchDir scratch(rc.name);
        EngineCase c = MakeCase(rc.name, scratch);
        auto& server = TestServer::Instance();
        server.SetScenario(c.dir + "file.bin", {{"size", kSize}, {"drop_after", cut}, {"times", 1}});

        vek::CWinHTTPEngine engine(nullptr, nullptr);
        // The cut body is a transient failure: nothing in place, the record ready to resume.
        EXPECT_EQ(engine.download(c.record), HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR));
        EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_TRANSIENT_ERROR);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"file.bin")));
        ASSERT_EQ(c.record["BytesDownloaded"], std::to_string(cut));
        const std::wstring temp = vek::Utf8ToWide(c.record["LocalTempPath"].get<std::string>());
        EXPECT_EQ(dltest::ReadFileBytes(temp), TestServer::PatternBytes(0, cut));

        server.Clear(c.dir);
        server.SetScenario(c.dir + "file.bin", rc.secondScenario);
        ASSERT_EQ(engine.download(c.record), S_OK);
        EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_TRANSFERRED);
        EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"file.bin")), TestServer::PatternBytes(0, kSize));
        EXPECT_EQ(scratch.CountFiles(), 1u);
        auto gets = dltest::Requests(c.dir, "GET");
        ASSERT_EQ(gets.size(), rc.secondRanges.size());
        for (size_t i = 0; i < gets.size(); ++i)
            EXPECT_EQ(vek::test::HeaderOf(gets[i], "Range"), rc.secondRanges[i]) << i;
    }
}

TEST(DownloadEngine, ChangedSizeRestartsAndMissingTemporaryFileDownloadsAfresh)
{
    dltest::ScratchDir scratch("changed");
    EngineCase c = MakeCase("EngineChanged", scratch);
    auto& server = TestServer::Instance();
    server.SetScenario(c.dir + "file.bin", {{"size", kSize}, {"drop_after", 1000}, {"times", 1}});
    vek::CWinHTTPEngine engine(nullptr, nullptr);
    engine.download(c.record);
    ASSERT_EQ(c.record["BytesDownloaded"], "1000");

    // The size query of the next run found another size: the partial file is dropped.
    c.record["BytesTotal"] = std::to_string(kSize + 1);
    server.Clear(c.dir);
    server.SetScenario(c.dir + "file.bin", {{"size", kSize + 1}});
    ASSERT_EQ(engine.download(c.record), S_OK);
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"file.bin")), TestServer::PatternBytes(0, kSize + 1));
    EXPECT_EQ(scratch.CountFiles(), 1u);
    auto gets = dltest::Requests(c.dir, "GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_FALSE(vek::test::HasHeader(gets[0], "Range"));

    // A record whose temporary file is gone downloads afresh.
    json record = c.record;
    record["LocalTempPath"] = vek::WideToUtf8(scratch.File(L"gone.tmp"));
    record["BytesDownloaded"] = "5";
    record["BytesTotalCached"] = record["BytesTotal"];
    ::DeleteFileW(scratch.File(L"file.bin").c_str());
    ASSERT_EQ(engine.download(record), S_OK);
    EXPECT_EQ(dltest::ReadFileBytes(scratch.File(L"file.bin")), TestServer::PatternBytes(0, kSize + 1));
}

TEST(DownloadEngine, HttpFailuresAndSizeQueries)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("EngineStatus");
    server.SetScenario(dir + "missing", {{"status", 404}});
    server.SetScenario(dir + "moved", {{"redirects", 3}, {"location", dir + "target"}});
    server.SetScenario(dir + "target", {{"size", 12345}});
    server.SetScenario(dir + "big", {{"size", 5000000000ull}});

    vek::CWinHTTPEngine engine(nullptr, nullptr);
    std::uint64_t size = 1;
    EXPECT_EQ(engine.getDownloadSize(server.HttpsUrl(dir + "missing"), size), vek::VEK_E_HTTP_DOWNLOAD);
    EXPECT_EQ(engine.getHttpStatus(), 404u);
    EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_ERROR);

    vek::CWinHTTPEngine engine2(nullptr, nullptr);
    EXPECT_EQ(engine2.getDownloadSize(server.HttpsUrl(dir + "moved"), size), S_OK);
    EXPECT_EQ(size, 12345u);
    EXPECT_EQ(engine2.getDownloadSize(server.HttpsUrl(dir + "big"), size), S_OK);
    EXPECT_EQ(size, 5000000000ull); // 64-bit sizes

    // A port nobody listens on: cannot connect, a transient failure.
    vek::CWinHTTPEngine engine3(nullptr, nullptr);
    EXPECT_TRUE(vek::IsTransientDownloadError(engine3.getDownloadSize(L"https://localhost:1/x", size)));
    EXPECT_EQ(engine3.getJobState(), vek::BG_JOB_STATE_TRANSIENT_ERROR);
}

TEST(DownloadEngine, TransientErrorClasses)
{
    const struct {
        DWORD code;
        bool transient;
    } cases[] = {
        {ERROR_WINHTTP_TIMEOUT, true},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, true},
        {ERROR_WINHTTP_OPERATION_CANCELLED, true},
        {ERROR_WINHTTP_INCORRECT_HANDLE_STATE, true},
        {ERROR_WINHTTP_CANNOT_CONNECT, true},
        {ERROR_WINHTTP_CONNECTION_ERROR, true},
        {WSAECONNRESET, true},
        {WSAETIMEDOUT, true},
        {ERROR_WINHTTP_SECURE_FAILURE, false},
        {ERROR_DISK_FULL, false},
        {ERROR_CANCELLED, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vek::IsTransientDownloadError(HRESULT_FROM_WIN32(c.code)), c.transient) << c.code;
    EXPECT_FALSE(vek::IsTransientDownloadError(vek::VEK_E_HTTP_DOWNLOAD));
}

TEST(DownloadEngine, RedirectFromHttpsToPlainHttpIsRefused)
{
    // WinHTTP follows redirects itself unless the proxy carries a password; then the size query
    // follows them by hand, and must refuse the same downgrade WinHTTP refuses.
    auto& server = TestServer::Instance();
    auto& proxy = vek::test::TestProxy::Instance();
    const struct {
        const char* name;
        json settings;
    } cases[] = {
        {"direct", nullptr},
        {"proxy with password", {{"server", "127.0.0.1"}, {"port", proxy.Port()}, {"user", "u"}, {"password", "p"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = TestServer::UniquePrefix("EngineDowngrade");
        server.SetScenario(dir + "target", {{"size", 1234}});
        server.SetScenario(dir + "moved",
                           {{"redirects", 1}, {"location", vek::WideToUtf8(server.HttpUrl(dir + "target"))}});
        vek::CWinHTTPEngine engine(nullptr, c.settings.is_null() ? nullptr : &c.settings);
        std::uint64_t size = 7;
        const HRESULT hr = engine.getDownloadSize(server.HttpsUrl(dir + "moved"), size);
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_ERROR);
        EXPECT_TRUE(dltest::Requests(dir + "target", "HEAD").empty());
        if (!c.settings.is_null()) {
            EXPECT_EQ(hr, vek::VEK_E_HTTP_DOWNLOAD);
            EXPECT_EQ(engine.getHttpStatus(), 302u);
        }
    }
}

TEST(DownloadEngine, ExitRequestEndsAReceiveBlockedOnASilentServer)
{
    // The server takes a minute to answer. The exit request closes the request in progress: on
    // Windows that ends the blocked receive at once; Wine lets it run to the request time-out
    // (3 s here). Either way the outcome is the stop's, not a time-out to be retried.
    auto& server = TestServer::Instance();
    for (const bool sizeQuery : {false, true}) {
        SCOPED_TRACE(sizeQuery ? "size query" : "download");
        dltest::ScratchDir scratch("silent");
        EngineCase c = MakeCase("EngineSilent", scratch);
        server.SetScenario(c.dir + "file.bin", {{"size", kSize}, {"stall", 60}});
        vek::CWinHTTPEngine engine(nullptr, nullptr);
        engine.SetTimeoutSeconds(3);
        auto result = std::async(std::launch::async, [&] {
            std::uint64_t size = 0;
            return sizeQuery ? engine.getDownloadSize(c.url, size) : engine.download(c.record);
        });
        const char* method = sizeQuery ? "HEAD" : "GET";
        for (int i = 0; i < 600 && dltest::Requests(c.dir, method).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_FALSE(dltest::Requests(c.dir, method).empty());
        engine.requestExit();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(result.get(), HRESULT_FROM_WIN32(ERROR_CANCELLED));
        EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_CANCELLED);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"file.bin")));
        server.Clear(c.dir);
    }
}

} // namespace
