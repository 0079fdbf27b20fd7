// The download record in its typed form and the JSON member reads of the download code: absent,
// null and wrongly typed members, the stored key spellings, and counts that are not decimal.
#include "net/download/DownloadJson.h"
#include "net/download/DownloadRecord.h"

#include <gtest/gtest.h>

#include <stdexcept>

using nlohmann::json;

namespace {

TEST(DownloadRecord, ReadsAndWritesTheStoredKeysAndKeepsOtherMembers)
{
    const json stored = {{"DownloadUri", "https://h/f"},       {"LocalFilePath", "C:\\d\\f"},
                         {"BytesTotal", "5000000000"},         {"BytesTotalCached", "5000000000"},
                         {"BytesDownloaded", "250000"},        {"DateLastModifed", "Wed, 01 Jan 2025 00:00:00 GMT"},
                         {"LocalTempPath", "C:\\d\\VEK1.tmp"}, {"Other", 7}};
    const vek::DownloadRecord record = vek::DownloadRecord::FromJson(stored);
    EXPECT_EQ(record.downloadUri, L"https://h/f");
    EXPECT_EQ(record.bytesTotal, 5000000000ull);
    EXPECT_EQ(record.bytesDownloaded, 250000u);
    EXPECT_EQ(record.dateLastModified, L"Wed, 01 Jan 2025 00:00:00 GMT");
    json written = stored;
    record.ToJson(written);
    EXPECT_EQ(written, stored); // the same spellings, numbers as decimal strings, "Other" kept

    // A fresh record: only what is known is written.
    const vek::DownloadRecord fresh = vek::DownloadRecord::FromJson({{"DownloadUri", "u"}, {"BytesTotal", nullptr}});
    EXPECT_FALSE(fresh.bytesTotal);
    EXPECT_FALSE(fresh.localTempPath);
    EXPECT_EQ(fresh.ToJson(), (json{{"DownloadUri", "u"}, {"LocalFilePath", ""}}));
}

TEST(DownloadRecord, CountThatIsNotDecimalThrows)
{
    // The digits rule itself is ParseDecimalU64's; here: a record's count goes through it.
    for (const json& count : {json("12x"), json(true)}) {
        SCOPED_TRACE(count.dump());
        EXPECT_THROW(vek::DownloadRecord::FromJson({{"BytesDownloaded", count}}), std::invalid_argument);
    }
    EXPECT_EQ(vek::DownloadRecord::FromJson({{"BytesDownloaded", 12u}}).bytesDownloaded, 12u);
}

TEST(DownloadJson, MembersAbsentNullOrOfAnotherTypeReadAsTheFallback)
{
    const json node = {{"flag", true}, {"count", 3}, {"text", "t"}, {"null", nullptr}, {"wrong", "yes"}};
    const json notAnObject = json::array({1, 2});
    struct {
        const json& node;
        const char* name;
        bool flag;
        int count;
        const wchar_t* text;
    } const cases[] = {
        {node, "flag", true, 0, L""},         {node, "count", false, 3, L""},  {node, "text", false, 0, L"t"},
        {node, "null", false, 0, L""},        {node, "absent", false, 0, L""}, {node, "wrong", false, 0, L"yes"},
        {notAnObject, "flag", false, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vek::JsonBool(c.node, c.name, false), c.flag);
        EXPECT_EQ(vek::JsonInt(c.node, c.name, 0), c.count);
        EXPECT_EQ(vek::JsonWString(c.node, c.name), c.text);
    }
    EXPECT_TRUE(vek::JsonBool(node, "absent", true));
    EXPECT_EQ(vek::JsonInt(node, "absent", 15), 15);
}

} // namespace
