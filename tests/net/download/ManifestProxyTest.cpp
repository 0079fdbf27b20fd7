// The manifest's proxy port rule and the decryption of encrypted proxy passwords. The encrypted
// texts are made at test time with openssl under the build's proxy key.
#include "net/download/DownloadJson.h"
#include "net/download/ManifestProxy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using nlohmann::json;

namespace {

TEST(GetProxyPort, PicksThePortOfTheScheme)
{
    struct Case {
        const char* settings;
        const wchar_t* address;
        std::uint32_t port;
    } cases[] = {
        {R"({"port": 8080})", L"https://localhost/f", 8080}, // no https_port: port
        {R"({"port": 8080, "https_port": 8443})", L"https://localhost/f", 8443},
        {R"({"port": 8080, "https_port": 8443})", L"http://localhost/f", 8080},
        {R"({"https_port": "8443"})", L"http://localhost/f", 8443}, // decimal string, fallback
        {R"({"port": "3128", "https_port": 0})", L"ftp://x/", 3128},
        {R"({"port": "junk"})", L"http://localhost/f", 0},
        {R"({"port": "12ab"})", L"http://localhost/f", 12}, // wcstol rule
        {R"({})", L"https://localhost/f", 0},
        {R"({"port": true})", L"http://localhost/f", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vek::GetProxyPort(json::parse(c.settings), c.address), c.port) << c.settings;
}

json LoadVectors()
{
    const char* path = std::getenv("VEK_PROXY_VECTORS");
    if (path == nullptr)
        return {};
    // The variable holds a Unix path; Wine maps it through the Z: drive.
    std::ifstream in(std::string("Z:") + path);
    return json::parse(in, nullptr, false);
}

TEST(DecryptProxyPassword, DecryptsWhatOpensslEncrypted)
{
    json vectors = LoadVectors();
    ASSERT_TRUE(vectors.is_object()) << "proxy vectors missing";
    int checked = 0;
    for (auto& [plain, encrypted] : vectors.items()) {
        if (plain[0] == '_')
            continue;
        vek::SecureWString holder;
        vek::DecryptProxyPassword(holder, vek::Utf8ToWide(encrypted.get<std::string>()));
        ASSERT_FALSE(holder.Empty()) << plain;
        EXPECT_EQ(std::wstring(holder.Get()), vek::Utf8ToWide(plain));
        ++checked;
    }
    EXPECT_GE(checked, 4);
}

TEST(DecryptProxyPassword, GivesNoPasswordForBadText)
{
    json vectors = LoadVectors();
    ASSERT_TRUE(vectors.is_object());
    const std::wstring bad[] = {
        vek::Utf8ToWide(vectors["_31bytes"].get<std::string>()), // decodes to 31 bytes
        L"",
        L"@@@ not base64 @@@",
    };
    for (const std::wstring& text : bad) {
        vek::SecureWString holder;
        vek::DecryptProxyPassword(holder, vek::Utf8ToWide(vectors["s3cret"].get<std::string>()));
        ASSERT_FALSE(holder.Empty());
        // A second decryption wipes the earlier password even when it fails.
        vek::DecryptProxyPassword(holder, text);
        EXPECT_TRUE(holder.Empty());
    }
}

TEST(DownloadJson, DecimalNumbersAreStrict)
{
    EXPECT_EQ(vek::ParseDecimalU64("0"), 0u);
    EXPECT_EQ(vek::ParseDecimalU64("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(vek::ParseDecimalU64("5368709120"), 5368709120ull); // above 32 bits
    for (const char* bad : {"", "-1", " 1", "1 ", "18446744073709551616", "0x10", "1e3"})
        EXPECT_THROW(vek::ParseDecimalU64(bad), std::invalid_argument) << bad;
}

} // namespace
