#include "engine/report/VekDataReporter.h"

#include "common/base/qkCrc32.h"
#include "common/system/qkRegistry.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "net/VekTestServer.h"

#include "ReportTestSupport.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

using namespace reporttest;
using vek::test::TestServer;

namespace {

json Manifest(const std::string& manifestId, json global = json::object(), json job = json::object())
{
    global["manifest_id"] = manifestId;
    if (!job.contains("job_id"))
        job["job_id"] = "job-1";
    job["product_data"] = {{"product_name", "Prod & Co"}, {"product_version", "1.2"}};
    return {{"vek", {{"global", global}, {"job_array", json::array({job})}}}};
}

std::string UniqueId(const char* name)
{
    return std::string(name) + "-" + std::to_string(::GetCurrentProcessId());
}

} // namespace

// The query's number formats carry over from field to field as the reporting service expects.
TEST(DataReporter, ModuleQueryEncodings)
{
    const std::string id = UniqueId("mq");
    const json manifest = Manifest(id);
    const std::wstring manifestKey = L"Software\\Vallor\\Vek\\" + std::wstring(id.begin(), id.end());
    const HKEY root = vek::GetRegistryContext(manifest);
    {
        qkRegistry key;
        ASSERT_TRUE(key.Create(root, manifestKey.c_str(), KEY_ALL_ACCESS));
        key.SetDWORDValue(L"FailureCount", 11);
        qkRegistry job;
        ASSERT_TRUE(job.Create(root, (manifestKey + L"\\job-1").c_str(), KEY_ALL_ACCESS));
        job.SetDWORDValue(L"DownloadComplete", 0);
    }
    TempFolder folder;
    vek::VekDataReporter reporter(&manifest);
    FixFacts(reporter, folder.Path());
    reporter.initMachineID();

    const struct {
        const char* name;
        json record;
        std::vector<std::pair<std::string, std::string>> expected; // parameter, value
        std::vector<std::string> absent;
    } cases[] = {
        {"above 600 switches to hexadecimal",
         {{"error_code", static_cast<long long>(0x80047E87)}, {"OtherErrors", 601}},
         {{"error", "80047e87"}, {"h", "00000259"}, {"j", "b"}},
         {}},
        {"600 stays decimal",
         {{"error_code", 1}, {"OtherErrors", 600}},
         {{"error", "00000001"}, {"h", "600"}, {"j", "11"}},
         {}},
        {"negative event code",
         {{"log_type", "event"}, {"event_code", -4}, {"error_code", 0}},
         {{"e", "fffffffc"}, {"y", "0"}, {"z", "0"}},
         {}},
        {"install cancelled after download", {{"job_id", "job-1"}, {"error_type", 4}}, {{"z", "3"}}, {"y"}},
        {"download error", {{"error_type", 1}}, {{"y", "1"}}, {"z"}},
        {"texts are percent-encoded",
         {{"extra_data", "a&b=c d"}, {"file_sizes", "1|2"}, {"job_id", "job-1"}},
         {{"n", "a&b=c d"}, {"m", "1|2"}, {"c", "job-1"}},
         {"b=c d"}},
        {"serial number placeholder",
         {{"product_serial_number", ""}, {"download_duration", 30}},
         {{"x", "PSN_NOT_SET"}, {"v", "30"}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string query = Narrow(reporter.BuildModuleQuery(c.record));
        EXPECT_EQ("9090", Param(query, "module"));
        EXPECT_EQ("09.01", Param(query, "language"));
        EXPECT_EQ("Vallor Download Manager", Param(query, "product"));
        EXPECT_EQ("Prod & Co", Param(query, "pln"));
        EXPECT_EQ("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", Param(query, "MID"));
        for (const auto& [name, value] : c.expected)
            EXPECT_EQ(value, Param(query, name)) << name;
        for (const auto& name : c.absent)
            EXPECT_EQ("<absent>", Param(query, name)) << name;
    }

    // The check value interleaves the CRC-32 of the query before it with the time.
    const std::string query = Narrow(reporter.BuildModuleQuery({{"error_code", 5}}));
    const size_t at = query.find("&zzz=");
    ASSERT_NE(std::string::npos, at);
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(qkLib::Crc32(query.data(), static_cast<DWORD>(at))));
    const std::string t = "12345678", h = crc;
    EXPECT_EQ("0" + h.substr(0, 3) + t.substr(0, 3) + h.substr(3, 2) + t.substr(3, 2) + h.substr(5, 2) +
                  t.substr(5, 2) + t[7] + h[7],
              query.substr(at + 5, 17));

    ::RegDeleteTreeW(root, manifestKey.c_str());
}

// A server that answers 404 makes the next one be tried; the URL file records the last one.
TEST(DataReporter, TriesReportingServersInOrder)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("DataServers");
    server.SetScenario(dir + "one", {{"status", 404}});
    server.SetScenario(dir + "two", {{"status", 200}, {"body", "ok"}});
    json global = {{"reporting_servers", json::array({{{"reporting_url", Narrow(server.HttpsUrl(dir + "one"))}},
                                                      {{"reporting_url", Narrow(server.HttpsUrl(dir + "two"))}}})}};
    const json manifest = Manifest(UniqueId("servers"), global);
    TempFolder folder;
    vek::VekDataReporter reporter(&manifest);
    FixFacts(reporter, folder.Path());
    json record = json::object();
    reporter.logError(static_cast<HRESULT>(0x80047E0B), true, record);

    const json log = server.Log(dir);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(dir + "one", log[0].value("path", ""));
    EXPECT_EQ(dir + "two", log[1].value("path", ""));
    const std::string query = log[1].value("query", "");
    EXPECT_NE(std::string::npos, query.find("product=Vallor%20Download%20Manager")) << query;
    EXPECT_EQ("80047e0b", Param(query, "error"));

    const std::string file = ReadFile(reporter.GetUrlFilePath().substr(4));
    EXPECT_EQ(0u, file.find(Narrow(server.HttpsUrl(dir + "two")) + "?module=9090")) << file;
    EXPECT_EQ(1u, std::count(file.begin(), file.end(), '\n'));
}

TEST(DataReporter, WithoutManifestOnlyRecordsWithTheirOwnUrl)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("DataNoManifest");
    server.SetScenario(dir + "r", {{"status", 200}, {"body", "ok"}});
    TempFolder folder;
    const json none;
    vek::VekDataReporter reporter(&none);
    FixFacts(reporter, folder.Path());
    json bare = json::object();
    reporter.sendModuleFData(bare);
    json own = {{"reporting_url", Narrow(server.HttpsUrl(dir + "r"))}, {"error_code", 7}};
    reporter.sendModuleFData(own);
    const json log = server.Log(dir);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("00000007", Param(log[0].value("query", ""), "error"));
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    // A manifest that names no reporting server sends nothing and writes no URL file.
    const json quiet = Manifest(UniqueId("quiet"));
    vek::VekDataReporter silent(&quiet);
    FixFacts(silent, folder.Path());
    silent.logError(E_FAIL);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

// Events send module data and the manifest's OLP pings; event 8 sends nothing.
TEST(DataReporter, EventsAndOlpPings)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("DataEvents");
    server.SetScenario(dir + "report", {{"status", 200}, {"body", "ok"}});
    server.SetScenario(dir + "olp-start", {{"status", 200}, {"body", "ok"}});
    json global = {{"reporting_url", Narrow(server.HttpsUrl(dir + "report"))}};
    json job = {{"job_id", "j7"},
                {"distribution",
                 {{"olp_start_url", Narrow(server.HttpsUrl(dir + "olp-start?k=v"))}, {"transaction_id", "tx"}}}};
    const json manifest = Manifest(UniqueId("events"), global, job);
    TempFolder folder;
    vek::VekDataReporter reporter(&manifest);
    FixFacts(reporter, folder.Path());
    const json& jobNode = manifest.at("vek").at("job_array").at(0);

    EXPECT_EQ(S_OK, reporter.postEventWithData(8, jobNode, true));
    EXPECT_EQ(0u, server.Log(dir).size());
    EXPECT_EQ(S_OK, reporter.postEventWithData(2, jobNode, true));
    EXPECT_EQ(S_OK, reporter.postEvent(3, jobNode)); // no end URL: nothing
    const json log = server.Log(dir);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(dir + "report", log[0].value("path", ""));
    EXPECT_EQ("j7", Param(log[0].value("query", ""), "c"));
    EXPECT_EQ("tx", Param(log[0].value("query", ""), "d"));
    EXPECT_EQ("00000002", Param(log[0].value("query", ""), "e"));
    EXPECT_EQ(dir + "olp-start", log[1].value("path", ""));
    EXPECT_EQ("k=v", log[1].value("query", ""));

    // A failed OLP ping is an error of the event, not of the caller.
    server.SetScenario(dir + "olp-start", {{"status", 500}});
    EXPECT_EQ(static_cast<HRESULT>(0x80047E84), reporter.postEvent(2, jobNode));
    EXPECT_EQ(3u, server.Log(dir).size());
}

// When the silo cannot be set the failure is reported once; the report's own identifier
// lookup does not report again.
TEST(DataReporter, SiloFailureIsReportedOnce)
{
    auto& server = TestServer::Instance();
    const std::string dir = TestServer::UniquePrefix("DataSilo");
    const json manifest = Manifest(UniqueId("silo"), {{"reporting_url", Narrow(server.HttpsUrl(dir + "r"))}});
    TempFolder folder;
    vek::VekDataReporter reporter(&manifest);
    FixFacts(reporter, folder.Path());
    int attempts = 0;
    reporter.selectSilo = [&] {
        ++attempts;
        return vek::VEK_E_SILO_ID_NOT_SET;
    };
    reporter.initMachineID();
    EXPECT_EQ(1, attempts);
    const json log = server.Log(dir);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("80047e04", Param(log[0].value("query", ""), "error"));
    EXPECT_EQ("<absent>", Param(log[0].value("query", ""), "MID"));
}

// A URL file that is a second name of another file (a hard link someone put in the data folder)
// is not written to; the file it names keeps its content. A URL file of its own is appended to.
TEST(DataReporter, UrlFileThatIsAHardLinkIsNotWritten)
{
    const json manifest = Manifest(UniqueId("urlfile"));
    TempFolder folder;
    vek::VekDataReporter reporter(&manifest);
    FixFacts(reporter, folder.Path());
    const std::wstring victim = folder.Path() + L"\\victim.txt";
    {
        std::ofstream out(std::filesystem::path(victim), std::ios::binary);
        out << "victim\n";
    }
    const std::wstring path = reporter.GetUrlFilePath().substr(4);
    ASSERT_TRUE(::CreateHardLinkW(path.c_str(), victim.c_str(), nullptr)) << ::GetLastError();
    reporter.AppendToUrlFile(L"https://localhost/r", L"?q=1");
    EXPECT_EQ(ReadFile(victim), "victim\n");

    ASSERT_TRUE(::DeleteFileW(path.c_str()));
    reporter.AppendToUrlFile(L"https://localhost/r", L"?q=2");
    EXPECT_EQ(ReadFile(path), "https://localhost/r?q=2\r\n");
    EXPECT_EQ(ReadFile(victim), "victim\n");
}

// A URL file goes only into a file of our own: a folder that is a link (another user could have
// made it so) gets none, and a file of another account is not written to. A folder of another
// account gets a file of our own.
TEST(DataReporter, UrlFileInAFolderOrFileOfAnotherAccountIsNotWritten)
{
    const json manifest = Manifest(UniqueId("urltrust"));
    const struct {
        const wchar_t* folder;
        const wchar_t* contentFolder; // where its entries really lie
        const wchar_t* planted;       // a file of another account moved to the URL file's name
        bool written;                 // a URL file of our own is made
    } cases[] = {
        {L"linked", L"target", nullptr, false},
        {L"foreign", L"foreign", nullptr, true},
        {L"plain", L"plain", L"foreign-1.txt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.folder).string());
        const std::wstring content = untrusted::Path(c.contentFolder);
        if (c.contentFolder != std::wstring(L"target") &&
            !untrusted::IsForeign(c.planted ? untrusted::Path(c.planted) : content))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        vek::VekDataReporter reporter(&manifest);
        FixFacts(reporter, untrusted::Path(c.folder));
        const std::wstring path = reporter.GetUrlFilePath();
        if (c.planted) {
            ASSERT_TRUE(::MoveFileW(untrusted::Path(c.planted).c_str(), path.c_str())) << ::GetLastError();
        }
        reporter.AppendToUrlFile(L"https://localhost/r", L"?q=1");
        size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(content))
            ++entries;
        EXPECT_EQ(entries, (c.planted || c.written) ? 1u : 0u);
        if (c.planted) {
            EXPECT_EQ(ReadFile(path.substr(4)), "foreign\n");
        }
        if (c.written) {
            EXPECT_EQ(ReadFile(path.substr(4)), "https://localhost/r?q=1\r\n");
            EXPECT_FALSE(untrusted::IsForeign(path));
        }
        if (c.planted || c.written) {
            ::DeleteFileW(path.c_str());
        }
    }
}
