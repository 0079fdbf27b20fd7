// The client settings file: factory registration, the sources of settings managers, typed reads,
// and the daily report limiter over a settable clock, within one process and across two.
#include "PinningTestSupport.h"

#include "common/objects/qkInstanceFactory.h"
#include "net/http/Jux_HTTPClientSettings.h"
#include "net/http/Jux_ReportLimiter.h"
#include "net/http/Jux_SettingsFactory.h"
#include "settings/manager/qkSettingsModule.h"

#include <gtest/gtest.h>

#include <string>

using namespace pintest;

namespace {

constexpr std::uint64_t kDay = Jux::kReportPeriod;
constexpr std::uint64_t kT0 = 133000000000000000ULL; // some UTC file time in 2022
const wchar_t kCounters[] = L"Dynamic\\JuxClient\\HTTPClient";

HRESULT FirstFactory(qkSettings::ISettingsMgr** manager)
{
    return qkSettings::CreateStandaloneSettingsMgr(manager) >= 0 ? S_OK : E_FAIL;
}
HRESULT SecondFactory(qkSettings::ISettingsMgr**)
{
    return E_FAIL;
}

IUnknown* STDAPICALLTYPE CreateStandaloneManager()
{
    qkSettings::ISettingsMgr* manager = nullptr;
    if (qkSettings::CreateStandaloneSettingsMgr(&manager) < 0)
        return nullptr;
    return manager;
}

class ClientSettings : public ::testing::Test {
protected:
    void SetUp() override { EnsureSettingsFactory(); }
    DataDir m_dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

} // namespace

// Only the first registration in a process counts, whatever it was.
TEST(SettingsFactoryChild, DISABLED_Registration)
{
    const std::wstring first = Env(L"PIN_FIRST");
    ASSERT_FALSE(first.empty());
    if (first == L"null") {
        EXPECT_EQ(E_INVALIDARG, Jux::RegisterSettingsFactory(nullptr));
        EXPECT_EQ(E_UNEXPECTED, Jux::RegisterSettingsFactory(&FirstFactory));
        EXPECT_EQ(nullptr, Jux::GetSettingsFactory());
    } else {
        EXPECT_EQ(S_OK, Jux::RegisterSettingsFactory(&FirstFactory));
        EXPECT_EQ(E_UNEXPECTED, Jux::RegisterSettingsFactory(&SecondFactory));
        EXPECT_EQ(E_UNEXPECTED, Jux::RegisterSettingsFactory(nullptr));
        EXPECT_EQ(&FirstFactory, Jux::GetSettingsFactory());
    }
}

TEST(SettingsFactory, OnlyTheFirstRegistrationOfAProcessCounts)
{
    for (const wchar_t* first : {L"null", L"function"})
        EXPECT_EQ(0u, RunChild("SettingsFactoryChild.DISABLED_Registration", {{L"PIN_FIRST", first}})) << first;
}

// Without a registered factory and without the settings DLL, the instance factory serves the store.
TEST(SettingsFactoryChild, DISABLED_InstanceFactoryServesTheStore)
{
    qkSettings::ModuleAddRef();
    SetDataDir(Env(L"PIN_DATADIR"));
    {
        Jux::CHTTPClientSettings settings;
        EXPECT_TRUE(FAILED(settings.Open())) << "no source of settings managers yet";
    }
    const GUID managerObject = {0xA91C8C44, 0x02B9, 0x4B02, {0x97, 0xB6, 0x61, 0x96, 0x89, 0x3C, 0x6F, 0x2B}};
    ASSERT_GE(qkInstanceFactory::GetInstanceFactory()->RegisterCreator(managerObject, &CreateStandaloneManager), 0);
    Jux::CHTTPClientSettings settings;
    ASSERT_EQ(S_OK, settings.Open());
    DWORD mode = 9, rootCheck = 9;
    EXPECT_EQ(S_OK, settings.GetPinningModes(mode, rootCheck));
    EXPECT_EQ(2u, mode);
    EXPECT_EQ(0u, rootCheck);
}

TEST_F(ClientSettings, InstanceFactoryServesTheStoreWhenNothingElseDoes)
{
    m_dir.Write({.mode = 2, .rootCheckMode = 0});
    EXPECT_EQ(0u, RunChild("SettingsFactoryChild.DISABLED_InstanceFactoryServesTheStore",
                           {{L"PIN_DATADIR", m_dir.Path()}}));
}

TEST_F(ClientSettings, TypedReadsOfTheProvisionedValues)
{
    const std::wstring longPin(300, L'a'); // longer than the first read's buffer
    m_dir.Write({.mode = 1,
                 .rootCheckMode = 3,
                 .pins = std::vector<std::wstring>{L"0A0B", longPin},
                 .wellKnownRoots = std::vector<std::wstring>{},
                 .whiteList = std::vector<std::wstring>{L"example.com", L"vek.test"},
                 .dataVersion = 42,
                 .maxPings = 5});
    Jux::CHTTPClientSettings settings;
    ASSERT_EQ(S_OK, settings.Open());
    DWORD mode = 0, rootCheck = 0, version = 0, maxPings = 0;
    EXPECT_EQ(S_OK, settings.GetPinningModes(mode, rootCheck));
    EXPECT_EQ(1u, mode);
    EXPECT_EQ(3u, rootCheck);
    EXPECT_EQ(S_OK, settings.GetDataVersion(version));
    EXPECT_EQ(42u, version);
    EXPECT_EQ(S_OK, settings.GetMaxPingsForDailyPeriod(maxPings));
    EXPECT_EQ(5u, maxPings);

    std::map<std::wstring, std::wstring> pins, roots{{L"stale", L"x"}};
    EXPECT_EQ(S_OK, settings.GetPins(pins));
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"entry0", L"0A0B"}, {L"entry1", longPin}}), pins);
    EXPECT_EQ(S_OK, settings.GetWellKnownRoots(roots));
    EXPECT_TRUE(roots.empty()) << "a section without values is an empty list";
    std::vector<std::wstring> whiteList;
    EXPECT_EQ(S_OK, settings.GetWhiteList(whiteList));
    EXPECT_EQ((std::vector<std::wstring>{L"example.com", L"vek.test"}), whiteList);

    // The counters were never written: reads fail as "not found" and nothing is created.
    DWORD count = 7;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), settings.GetCurrentDailyPingCount(count));
    EXPECT_EQ(7u, count);
}

TEST_F(ClientSettings, FailuresOfOpeningAndReading)
{
    {
        Jux::CHTTPClientSettings settings;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT), settings.Open()) << "no file";
    }
    m_dir.Write({.mode = 2}); // RootCheckMode missing
    {
        Jux::CHTTPClientSettings settings;
        ASSERT_EQ(S_OK, settings.Open());
        DWORD mode = 9, rootCheck = 9;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), settings.GetPinningModes(mode, rootCheck));
        EXPECT_EQ(9u, mode) << "neither output changes when one read fails";
        EXPECT_EQ(9u, rootCheck);
        std::map<std::wstring, std::wstring> pins;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), settings.GetPins(pins)) << "no Pins section";
    }
    SetDataDir(L"");
    Jux::CHTTPClientSettings settings;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), settings.Open()) << "no data folder";
    SetDataDir(m_dir.Path());
}

// One report asked for at `now` with the counters as given: allowed or not, and the counters after.
TEST_F(ClientSettings, DailyReportLimiter)
{
    struct Case {
        const char* name;
        std::optional<DWORD> maxPings, count;
        std::optional<std::uint64_t> periodStart;
        std::uint64_t now;
        bool allowed;
        std::optional<DWORD> countAfter;
        std::optional<std::uint64_t> periodStartAfter;
    };
    const Case cases[] = {
        {"below the maximum", 3, 1, kT0, kT0 + 10, true, 2, kT0},
        {"at the maximum", 3, 3, kT0, kT0 + 10, false, 3, kT0},
        {"maximum 0 allows none", 0, 0, kT0, kT0 + 2 * kDay, false, 0, kT0},
        {"exactly one day later a new period starts", 3, 3, kT0, kT0 + kDay, true, 1, kT0 + kDay},
        {"just before the day ends", 3, 3, kT0, kT0 + kDay - 1, false, 3, kT0},
        {"clock turned back: below the maximum", 3, 1, kT0 + kDay, kT0, true, 2, kT0 + kDay},
        {"clock turned back: at the maximum", 3, 3, kT0 + kDay, kT0 + kDay / 2, false, 3, kT0 + kDay},
        {"fresh file without counters", 3, std::nullopt, std::nullopt, kT0, false, std::nullopt, std::nullopt},
        {"no maximum provisioned", std::nullopt, 0, kT0, kT0 + 2 * kDay, false, 0, kT0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_dir.Write({.maxPings = c.maxPings, .pingCount = c.count, .lastInitPingTime = c.periodStart});
        FixedClock clock(c.now);
        EXPECT_EQ(c.allowed, Jux::IsReportAllowed(clock));
        EXPECT_EQ(c.countAfter, ReadDword(m_dir.ClientFile(), kCounters, L"CurrentDailyPingCount"));
        EXPECT_EQ(c.periodStartAfter, ReadQword(m_dir.ClientFile(), kCounters, L"LastInitPingTime"));
    }
    // Without a file nothing is allowed (and nothing is created).
    DeleteFileW(m_dir.ClientFile().c_str());
    FixedClock clock(kT0);
    EXPECT_FALSE(Jux::IsReportAllowed(clock));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_dir.ClientFile().c_str()));
}

TEST(ReportLimiterChild, DISABLED_OneReport)
{
    EnsureSettingsFactory();
    SetDataDir(Env(L"PIN_DATADIR"));
    FixedClock clock(std::stoull(Env(L"PIN_NOW")));
    const bool expected = Env(L"PIN_EXPECT") == L"1";
    EXPECT_EQ(expected, Jux::IsReportAllowed(clock));
}

// The counters persist in the file: a second process goes on counting where the first stopped.
TEST_F(ClientSettings, ReportCountersPersistAcrossProcesses)
{
    m_dir.Write({.maxPings = 2, .pingCount = 0, .lastInitPingTime = kT0});
    FixedClock clock(kT0 + 5);
    EXPECT_TRUE(Jux::IsReportAllowed(clock));
    auto child = [this](std::uint64_t now, bool expect) {
        return RunChild("ReportLimiterChild.DISABLED_OneReport", {{L"PIN_DATADIR", m_dir.Path()},
                                                                   {L"PIN_NOW", std::to_wstring(now)},
                                                                   {L"PIN_EXPECT", expect ? L"1" : L"0"}});
    };
    EXPECT_EQ(0u, child(kT0 + 6, true)) << "second report of the day, in another process";
    EXPECT_EQ(2u, ReadDword(m_dir.ClientFile(), kCounters, L"CurrentDailyPingCount"));
    EXPECT_FALSE(Jux::IsReportAllowed(clock)) << "the limit holds across processes";
    EXPECT_EQ(0u, child(kT0 + kDay + 6, true)) << "the next day starts a new period";
    EXPECT_EQ(1u, ReadDword(m_dir.ClientFile(), kCounters, L"CurrentDailyPingCount"));
    EXPECT_EQ(kT0 + kDay + 6, ReadQword(m_dir.ClientFile(), kCounters, L"LastInitPingTime"));
}
