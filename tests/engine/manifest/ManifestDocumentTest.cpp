// The Manifest document: loading, the compact writer, tolerant member access, and job nodes
// changed from several threads through the document's own operations.
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "engine/manifest/VekJobStates.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using json = nlohmann::json;
using vek::ManifestJson;

namespace {

std::wstring PackageFixture(const wchar_t* name)
{
    const char* dir = std::getenv("VEK_PACKAGE_FIXTURES");
    std::wstring path = L"Z:";
    for (const char* c = dir != nullptr ? dir : ""; *c != '\0'; ++c) {
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return path + L"\\" + name;
}

std::string Nested(size_t depth)
{
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST(ManifestDocument, LoadsText)
{
    struct Case {
        std::string text;
        HRESULT expected;
    } cases[] = {
        {R"({"vek": {"job_array": []}})", S_OK},
        {"\xEF\xBB\xBF{\"vek\": {}}", S_OK},              // UTF-8 mark skipped
        {"// comment\n{\"vek\": /* inline */ {}}", S_OK}, // comments allowed
        {"{\"a\": \"[[[[\", \"b\": {}}", S_OK},           // brackets in text are no nesting
        {"{\"vek\": " + Nested(60) + "}", S_OK},
        {"{\"vek\": " + Nested(200) + "}", vek::VEK_E_JSON_NOT_PARSED}, // nested too deep
        {"{\"vek\": " + Nested(100000) + "}", vek::VEK_E_JSON_NOT_PARSED},
        {"[1, 2]", vek::VEK_E_JSON_NOT_PARSED}, // root no object
        {"{\"vek\": ", vek::VEK_E_JSON_NOT_PARSED},
        {"", vek::VEK_E_JSON_NOT_PARSED},
        {"{\"a\": \"\xC3\x28\"}", vek::VEK_E_JSON_NOT_PARSED}, // not UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        vek::ManifestDocument document;
        ASSERT_EQ(document.LoadFromText(R"({"kept": 1})"), S_OK);
        EXPECT_EQ(static_cast<uint32_t>(document.LoadFromText(c.text)), static_cast<uint32_t>(c.expected));
        if (FAILED(c.expected)) {
            EXPECT_EQ(document.Snapshot(), json::parse(R"({"kept": 1})")) << "a failed load changes nothing";
        }
    }
}

TEST(ManifestDocument, LoadsFromAPackagedLauncher)
{
    vek::ManifestDocument document;
    EXPECT_EQ(document.LoadFromLauncher(PackageFixture(L"v5.exe").c_str()), S_OK);
    EXPECT_EQ(document.Read([](const json& root) { return root.contains("vek"); }), true);
    EXPECT_EQ(static_cast<uint32_t>(document.LoadFromLauncher(PackageFixture(L"v5_array.exe").c_str())),
              static_cast<uint32_t>(vek::VEK_E_JSON_NOT_PARSED));
    EXPECT_EQ(document.LoadFromLauncher(L""), E_INVALIDARG);
    EXPECT_TRUE(document.Read([](const json& root) { return root.contains("vek"); })) << "kept after failures";
}

TEST(ManifestDocument, CompactWriterOneSortedLine)
{
    vek::ManifestDocument document;
    ASSERT_EQ(document.LoadFromText("{\"z\": 1, \"a\": {\"y\": [1, 2], \"b\": \"t\\nu\"}, \"m\": \"\u00e9\"}"), S_OK);
    EXPECT_EQ(document.ToCompactText(), "{\"a\":{\"b\":\"t\\nu\",\"y\":[1,2]},\"m\":\"\u00e9\",\"z\":1}\n");
    // A text that is not UTF-8 (written by hand into the tree) is written, not thrown.
    document.Modify([](json& root) { root["bad"] = std::string("\xFF"); });
    EXPECT_EQ(document.ToCompactText().back(), '\n');
}

TEST(ManifestJsonAccess, WrongTypesReadAsDefaults)
{
    const json root = json::parse(R"({"t": "text", "n": 7, "u": 18446744073709551615, "f": 1.5, "b": true,
                                      "o": {"k": "v"}, "a": [1], "z": null})");
    struct Case {
        const char* key;
        std::string text;
        int64_t integer;
        bool boolean;
        bool isTrue;
    } cases[] = {
        {"t", "text", -9, false, false}, {"n", "", 7, false, false},
        {"u", "", -9, false, false}, // beyond a signed 64-bit number
        {"f", "", -9, false, false},     {"b", "", -9, true, false},
        {"o", "", -9, false, false},     {"a", "", -9, false, false},
        {"z", "", -9, false, false},     {"missing", "", -9, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const json* value = ManifestJson::Member(&root, c.key);
        EXPECT_EQ(ManifestJson::Text(value, c.key), c.text);
        EXPECT_EQ(ManifestJson::Integer(value, c.key, -9), c.integer);
        EXPECT_EQ(ManifestJson::Boolean(value, c.key, false), c.boolean);
        EXPECT_EQ(ManifestJson::TextIsTrue(value, c.key), c.isTrue);
    }
    EXPECT_EQ(ManifestJson::Path(&root, {"o", "k", "deeper"}), nullptr);
    EXPECT_EQ(ManifestJson::Path(&root, {"a", "0"}), nullptr) << "an array has no members";
    EXPECT_EQ(ManifestJson::Element(ManifestJson::Member(&root, "a"), 1), nullptr);

    json writable = root;
    EXPECT_EQ(ManifestJson::ObjectMember(&writable, "t"), nullptr) << "text is not replaced by an object";
    EXPECT_EQ(writable["t"], "text");
    EXPECT_NE(ManifestJson::ObjectMember(&writable, "z"), nullptr) << "null becomes an object";
    EXPECT_FALSE(ManifestJson::Set(&writable["a"], "k", 1));
    EXPECT_EQ(ManifestJson::Depth(json::parse(Nested(5))), 5u);
}

TEST(ManifestDocument, JobNodesChangedFromSeveralThreads)
{
    vek::ManifestDocument document;
    ASSERT_EQ(document.LoadFromText(R"({"vek": {"job_array": [{"job_id": "a"}, {"job_id": "b"}]}})"), S_OK);
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (size_t job = 0; job < 2; ++job) {
        // The job thread: states and run-time keys.
        threads.emplace_back([&document, job] {
            for (int i = 0; i < kRounds; ++i) {
                document.SetJobState(job, i % 2 == 0 ? vek::eDownload : vek::eDownloadError, false);
                document.SetJobValue(job, "job_error_code", i);
                document.SetJobValue(job, "key" + std::to_string(i % 7), i);
                document.RemoveJobValue(job, "key" + std::to_string((i + 3) % 7));
            }
        });
        // The download thread writes its own keys into the same node.
        threads.emplace_back([&document, job] {
            for (int i = 0; i < kRounds; ++i) {
                document.SetJobValue(job, "download_started", i);
                document.ModifyJob(job, [i](json* node) {
                    (*node)["HttpPausedDownload"] = {{"at", i}};
                    (*node)["last_download_error"] = i;
                });
            }
        });
    }
    // Readers: the user interface and the state file writer.
    threads.emplace_back([&document] {
        for (int i = 0; i < kRounds; ++i) {
            const int32_t state = document.GetJobState(i % 2);
            EXPECT_TRUE(state == vek::eDownload || state == vek::eDownloadError);
            // Keys written together are read together.
            document.ReadJob(i % 2, [](const json* node) {
                const auto paused = node->find("HttpPausedDownload");
                if (paused != node->end()) {
                    EXPECT_EQ(paused->value("at", -1), node->value("last_download_error", -2));
                }
            });
            EXPECT_EQ(document.ToCompactText().back(), '\n');
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t job = 0; job < 2; ++job) {
        EXPECT_EQ(document.GetJobValue(job, "job_error_code"), kRounds - 1);
        EXPECT_EQ(document.GetJobValue(job, "download_started"), kRounds - 1);
        EXPECT_EQ(document.GetJobState(job), vek::eDownloadError);
        EXPECT_EQ(document.GetJobValue(job, "error_type"), 1);
    }
    EXPECT_FALSE(document.ReadJob(2, [](const json* node) { return node != nullptr; }));
    document.SetLastError(static_cast<HRESULT>(0x80047E13));
    EXPECT_EQ(document.Snapshot()["last_error"], static_cast<int32_t>(0x80047E13));
}
