// The download engine against the local HTTPS server: fresh downloads, a cut transfer resumed with
// Range, a server that ignores Range, a changed Last-Modified, the size query and its redirects,
// a stop that ends a receive blocked on a silent server, a stop in the middle of a body, and range
// answers that do not continue the partial file.
#include "DownloadTestSupport.h"

#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
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

// Lets a test wait until the engine has written a number of bytes of the current file.
class ProgressWatch : public vek::IDownloadEngineObserver {
public:
    void OnFileProgress(std::uint64_t fileBytes) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bytes = fileBytes;
        m_changed.notify_all();
    }
    bool WaitFor(std::uint64_t bytes)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_bytes >= bytes; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::uint64_t m_bytes = 0;
};

// Waits until the server's answer stands in the hold of that name.
bool WaitHeld(const std::string& name)
{
    for (int i = 0; i < 3000; ++i) {
        const json answer = json::parse(TestServer::Instance().Control(L"GET", "/_control/held?name=" + name, ""));
        if (answer.value("held", false))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void ReleaseHold(const std::string& name)
{
    TestServer::Instance().Control(L"POST", "/_control/release?name=" + name, "");
}

// Starts a download whose body stops after `held` bytes (the server holds it), stops the engine
// there, then lets the server drop the connection. Returns the download's result. Without a watch
// the stop comes once the server holds (the client may not have handed all bytes on yet).
HRESULT DownloadStoppedInBody(vek::CWinHTTPEngine& engine, ProgressWatch* watch, json& record,
                              const std::string& holdName, std::uint64_t held)
{
    auto result = std::async(std::launch::async, [&] { return engine.download(record); });
    const bool reached = watch != nullptr ? watch->WaitFor(held) : WaitHeld(holdName);
    engine.requestExit();
    ReleaseHold(holdName);
    EXPECT_TRUE(reached) << "the body never reached " << held << " bytes";
    EXPECT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return result.get();
}

} // namespace

namespace {

TEST(DownloadEngine, StopInTheBodyKeepsLastModifiedSoAReplacedFileIsFetchedAnew)
{
    // The server's file is replaced by one of the same size between a stop and the next attempt:
    // in the same run (the stopped engine goes on) and across a restart (a new engine).
    constexpr std::uint64_t size = 200000, held = 60000;
    const std::string oldModified = "Mon, 06 Jan 2025 10:00:00 GMT", newModified = "Tue, 07 Jan 2025 11:00:00 GMT";
    for (const bool sameRun : {true, false}) {
        SCOPED_TRACE(sameRun ? "same run" : "after a restart");
        dltest::ScratchDir scratch("stopped");
        EngineCase c = MakeCase("EngineStopped", scratch);
        c.record["BytesTotal"] = std::to_string(size);
        auto& server = TestServer::Instance();
        const std::string hold = c.dir + "hold";
        server.SetScenario(c.dir + "file.bin", {{"size", size},
                                                {"last_modified", oldModified},
                                                {"hold_after", held},
                                                {"hold", hold},
                                                {"drop_after", held},
                                                {"times", 1}});
        ProgressWatch watch;
        auto engine = std::make_unique<vek::CWinHTTPEngine>(&watch, nullptr);
        engine->SetTimeoutSeconds(5);
        EXPECT_EQ(DownloadStoppedInBody(*engine, &watch, c.record, hold, held), HRESULT_FROM_WIN32(ERROR_CANCELLED));
        EXPECT_EQ(engine->getJobState(), vek::BG_JOB_STATE_CANCELLED);
        // The record keeps what the answer carried, so that a resume can tell the versions apart.
        EXPECT_EQ(c.record.value("DateLastModifed", std::string()), oldModified);
        ASSERT_EQ(c.record.value("BytesDownloaded", std::string()), std::to_string(held));

        // The new version: other bytes, the same size, another Last-Modified.
        const std::string fresh = TestServer::PatternBytes(7, size);
        server.Clear(c.dir);
        server.PutFile(c.dir + "file.bin", fresh);
        server.SetScenario(c.dir + "file.bin", {{"last_modified", newModified}});
        if (sameRun)
            engine->clearExit();
        else
            engine = std::make_unique<vek::CWinHTTPEngine>(nullptr, nullptr);
        ASSERT_EQ(engine->download(c.record), S_OK);
        const std::string placed = dltest::ReadFileBytes(scratch.File(L"file.bin"));
        EXPECT_TRUE(placed == fresh) << "the file in place is not the new version (" << placed.size() << " bytes)";
        EXPECT_EQ(c.record.value("DateLastModifed", std::string()), newModified);
        auto gets = dltest::Requests(c.dir, "GET");
        ASSERT_EQ(gets.size(), 2u);
        EXPECT_EQ(vek::test::HeaderOf(gets[0], "Range"), "bytes=" + std::to_string(held) + "-");
        EXPECT_FALSE(vek::test::HasHeader(gets[1], "Range"));
    }
}

TEST(DownloadEngine, StopInABodyOfUnknownLengthEndsCancelled)
{
    // A body without a length (chunked, or ended by the connection's close) and a size query
    // without one: nothing tells a cut body from a whole one, so only the stop itself may decide.
    // The server drops the connection after the stop.
    const struct {
        const char* name;
        const char* framing;
        bool watchBytes; // stop once the bytes are on disk, else once the server holds
    } cases[] = {
        {"chunked", "chunked", false},
        {"ended by the close", "no_length", true},
    };
    auto& server = TestServer::Instance();
    for (const auto& fc : cases) {
        SCOPED_TRACE(fc.name);
        dltest::ScratchDir scratch("unknown");
        EngineCase c = MakeCase("EngineUnknownLength", scratch);
        const std::string hold = c.dir + "hold";
        server.SetScenario(
            c.dir + "file.bin",
            {{"size", kSize}, {fc.framing, true}, {"hold_after", 100000}, {"hold", hold}, {"drop_after", 100000}});
        ProgressWatch watch;
        vek::CWinHTTPEngine engine(&watch, nullptr);
        std::uint64_t size = 1;
        ASSERT_EQ(engine.getDownloadSize(c.url, size), S_OK);
        EXPECT_EQ(size, 0u);
        c.record["BytesTotal"] = std::to_string(size);

        EXPECT_EQ(DownloadStoppedInBody(engine, fc.watchBytes ? &watch : nullptr, c.record, hold, 100000),
                  HRESULT_FROM_WIN32(ERROR_CANCELLED));
        EXPECT_EQ(engine.getJobState(), vek::BG_JOB_STATE_CANCELLED);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"file.bin")));
    }
}

TEST(DownloadEngine, RangeAnswerThatDoesNotEndTheFileIsNotTakenAsTheFile)
{
    // After a cut at 400 bytes of a 1000-byte file, the server answers the range request with a 206
    // whose Content-Range stops short of the end, or names another total than the size query gave.
    constexpr std::uint64_t size = 1000, cut = 400;
    const struct {
        const char* name;
        std::string contentRange;
        std::size_t bodyBytes;
    } cases[] = {
        {"ten bytes only", "bytes 400-409/1000", 10},
        {"another total", "bytes 400-999/1200", 600},
        {"another total, to its end", "bytes 400-1199/1200", 800},
    };
    for (const auto& rc : cases) {
        SCOPED_TRACE(rc.name);
        dltest::ScratchDir scratch("range");
        EngineCase c = MakeCase("EngineRange", scratch);
        c.record["BytesTotal"] = std::to_string(size);
        auto& server = TestServer::Instance();
        server.SetScenario(c.dir + "file.bin", {{"size", size}, {"drop_after", cut}, {"times", 1}});
        vek::CWinHTTPEngine engine(nullptr, nullptr);
        engine.download(c.record);
        ASSERT_EQ(c.record.value("BytesDownloaded", std::string()), std::to_string(cut));

        server.Clear(c.dir);
        server.SetScenario(c.dir + "file.bin", {{"status", 206},
                                                {"body", std::string(rc.bodyBytes, 'x')},
                                                {"headers", {{"Content-Range", rc.contentRange}}}});
        const HRESULT hr = engine.download(c.record);
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        EXPECT_NE(engine.getJobState(), vek::BG_JOB_STATE_TRANSFERRED);
        EXPECT_FALSE(dltest::FileExists(scratch.File(L"file.bin")));
    }
}

} // namespace
