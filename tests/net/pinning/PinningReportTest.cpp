// A pinning refusal files its detailed report as an error instance: the check's HRESULT as the
// second number, the host's properties, the chain's text and a dump whose stack comes back to
// the code that filed it.
#include "PinningTestSupport.h"

#include "net/VekTestServer.h"
#include "net/http/Jux_HTTPCertPinning.h"
#include "net/http/Jux_PinningHook.h"
#include "net/http/Jux_SettingsHelper.h"
#include "net/http/Jux_WinHttpClient.h"
#include "tests/common/diag/InstanceFileSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace pintest;
using vek::test::TestServer;

namespace {

constexpr std::uint64_t kNow = 133000000000000000ULL;

} // namespace

TEST(PinningReport, ARefusalLeavesAnInstanceWithItsResultHostsChainAndDump)
{
    EnsureSettingsFactory();
    EnsureRecordingTelemetry();
    diagtest::ErrorClientFixture errorClient;
    DataDir dir("PinningReport");
    // Mode 2 with a pin that no certificate of the chain matches: refused, code 3.
    dir.Write({.mode = 2,
               .rootCheckMode = 1,
               .pins = std::vector<std::wstring>{std::wstring(40, L'0')},
               .wellKnownRoots = std::vector<std::wstring>{ThumbprintOfPem(TestServer::Instance().CertsDir() +
                                                                           L"\\ca.crt")},
               .dataVersion = 7,
               .maxPings = 100,
               .pingCount = 0,
               .lastInitPingTime = kNow});
    Jux::RegisterCertificateCheck(
        std::make_shared<Jux::CHTTPCertPinning>(std::make_shared<FixedClock>(kNow + 1)));
    Jux::CHTTPCertPinning::ForgetRememberedThumbprint();
    const std::string prefix = TestServer::UniquePrefix("PinningReport");
    TestServer::Instance().PutFile(prefix + "doc", "pinned content");

    HRESULT hr = E_FAIL;
    {
        Jux::CWinHttpClient client;
        ASSERT_EQ(client.Initialize(L"VEK", TestServer::Instance().HttpsUrl(prefix + "doc", "chained").c_str(), 30,
                                    false),
                  S_OK);
        // localhost is on no white list: the client's hook is put in place directly.
        client.SetPinningHookOverride(std::make_shared<Jux::CPinningHook>());
        Jux::RequestId id = 0;
        hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &id);
        EXPECT_TRUE(client.LastRequestPinRefused());
        if (id)
            client.CloseRequest(id);
        client.WaitForRequests(10, 2000);
    }
    Jux::RegisterCertificateCheck(nullptr);
    TestServer::Instance().Clear(prefix);
    TakeTelemetry();
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED));

    const auto files = errorClient.InstanceFiles();
    ASSERT_EQ(files.size(), 1u);
    const diagtest::InstanceFile instance = diagtest::ReadInstance(files[0]);
    ASSERT_TRUE(instance.ok) << instance.error;
    ASSERT_TRUE(instance.hasNumbers);
    EXPECT_EQ(instance.numbers[0], 0u);
    EXPECT_EQ(instance.numbers[1], 0x800704DCu) << "the check's HRESULT is the second number";
    EXPECT_EQ(instance.idText, L"24300");
    EXPECT_EQ(instance.Property(L"Host IP"), L"127.0.0.1");
    EXPECT_EQ(instance.Property(L"Connection Host"), L"localhost");
    EXPECT_EQ(instance.attachments, (std::vector<std::wstring>{L"Dump", L"Cert Analysis"}));
    EXPECT_EQ(diagtest::WalkReachesTheReporter(instance), "");
}

// Settings that cannot be written back (the file is open read-only) file an error instance each:
// the store's failure as the second number, and the sections concerned under "key", one section
// written on its own, or several in one batch.
TEST(SettingsReport, AFailedWriteBackNamesItsSectionsUnderKey)
{
    EnsureSettingsFactory();
    diagtest::ErrorClientFixture errorClient;
    DataDir dir("SettingsReport");
    dir.Write({.mode = 0, .dataVersion = 7});
    const struct {
        const char* name;
        std::vector<std::wstring> sections;
    } cases[] = {
        {"one section", {L"Test\\Alone"}},
        {"a batch of two", {L"Test\\First", L"Test\\Second"}},
    };
    std::set<std::wstring> seen;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            Jux::CSettingsHelper helper;
            ASSERT_EQ(helper.OpenClientSettings(false), S_OK);
            for (const auto& section : c.sections) {
                ASSERT_TRUE(SUCCEEDED(helper.OpenSection(section.c_str(), true)));
                helper.SetDword(L"Value", 1);
            }
        } // written back, and refused, here
        std::vector<std::wstring> keys;
        size_t added = 0;
        for (const auto& file : errorClient.InstanceFiles()) {
            if (!seen.insert(file).second)
                continue;
            ++added;
            const diagtest::InstanceFile instance = diagtest::ReadInstance(file);
            ASSERT_TRUE(instance.ok) << instance.error;
            EXPECT_EQ(instance.idText, L"JuxClientSettings");
            ASSERT_TRUE(instance.hasNumbers);
            EXPECT_EQ(instance.numbers[0], 0u);
            EXPECT_NE(instance.numbers[1] & 0x80000000u, 0u) << "the store's failure is the second number";
            EXPECT_FALSE(instance.dump.empty());
            for (const auto& [name, value] : instance.properties)
                if (name == L"key")
                    keys.push_back(value);
        }
        EXPECT_GT(added, 0u);
        for (const auto& section : c.sections)
            EXPECT_NE(std::find(keys.begin(), keys.end(), section), keys.end()) << std::string(section.begin(), section.end());
    }
}
