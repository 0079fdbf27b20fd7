// Earlier products of the family found from registry entries that the tests write under a key of
// their own, in the 64-bit or in the 32-bit registry view. The detector under test keeps its own
// key paths; only the root of every path is moved below the test's key.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "services/detect/CLegacyProductDetector.h"

using vek::CLegacyProductDetector;

namespace {

const std::wstring kTestRoot = L"SOFTWARE\\VekTests\\Detect" + std::to_wstring(GetCurrentProcessId());

enum class View { Only64, Only32 };

REGSAM ViewFlag(View view)
{
    return view == View::Only64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// A 64-bit test process plays the launcher: wow64 true is a 32-bit launcher on a 64-bit system,
// whose own (default) view is the 32-bit one.
class TestDetector : public CLegacyProductDetector {
public:
    explicit TestDetector(bool wow64) : m_wow64(wow64) {}
    bool OpenRegistryKey(qkRegistry& key, HKEY root, const wchar_t* path) override
    {
        return CLegacyProductDetector::OpenRegistryKey(key, root, (kTestRoot + L"\\" + path).c_str());
    }

protected:
    bool IsWow64Process() override { return m_wow64; }
    REGSAM DefaultViewFlags() override { return m_wow64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

private:
    bool m_wow64;
};

class LegacyProductDetectorTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            RegDeleteTreeInView(view);
    }
    static void RegDeleteTreeInView(REGSAM view)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VekTests", 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
            return;
        RegDeleteTreeW(key, kTestRoot.substr(kTestRoot.rfind(L'\\') + 1).c_str());
        RegCloseKey(key);
        // The shared parent stays: another test program may be creating its own key below it.
    }
    // An entry with the given string values (none: an empty key).
    static void Write(const wchar_t* path, View view, const std::map<std::wstring, std::wstring>& values = {})
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kTestRoot + L"\\" + path).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS | ViewFlag(view), nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, text] : values)
            RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
};

} // namespace

TEST_F(LegacyProductDetectorTest, UninstallEntriesInEitherView)
{
    Write(CLegacyProductDetector::kOWDKey, View::Only32,
          {{L"DisplayName", L"OWD Client"}, {L"DisplayVersion", L"3.1"}});
    Write(CLegacyProductDetector::kUVRKey, View::Only64, {{L"DisplayName", L"UVR Client"}});
    Write(CLegacyProductDetector::kKAJKey, View::Only64); // no values at all

    struct Case {
        bool wow64;
        bool owd, uvr, kaj;
    } cases[] = {
        // A 32-bit launcher on a 64-bit system sees both views: the 64-bit one first.
        {true, true, true, true},
        // A launcher in its native view sees only that view.
        {false, false, true, true},
    };
    for (const Case& c : cases) {
        TestDetector detector(c.wow64);
        EXPECT_EQ(detector.IsOWDInstalled(), c.owd) << c.wow64;
        EXPECT_EQ(detector.IsUVRInstalled(), c.uvr) << c.wow64;
        EXPECT_EQ(detector.IsKAJInstalled(), c.kaj) << c.wow64;
    }

    TestDetector detector(true);
    std::wstring name = L"before", version = L"before";
    ASSERT_TRUE(detector.GetOWDInfo(name, version));
    EXPECT_EQ(name, L"OWD Client");
    EXPECT_EQ(version, L"3.1");
    name = L"before", version = L"before";
    ASSERT_TRUE(detector.GetUVRInfo(name, version));
    EXPECT_EQ(name, L"UVR Client");
    EXPECT_EQ(version, L"before"); // a missing value leaves its output alone
    name.clear(), version.clear();
    ASSERT_TRUE(detector.GetKAJInfo(name, version)); // an empty key still counts
    EXPECT_EQ(name, L"");
    EXPECT_EQ(version, L"");
}

TEST_F(LegacyProductDetectorTest, EndpointProductByItsIdentifier)
{
    struct Case {
        const wchar_t* id; // null: no PRODUCTID value
        bool installed;
    } cases[] = {{L"QOR", true}, {L"qor", false}, {L"QOR ", false}, {L"", false}, {nullptr, false}};
    for (const Case& c : cases) {
        RegDeleteTreeInView(KEY_WOW64_64KEY);
        std::map<std::wstring, std::wstring> values = {{L"PRODUCTNAME", L"Qor Endpoint"},
                                                       {L"PRODUCTVERSION", L"12.0.1"}};
        if (c.id)
            values[L"PRODUCTID"] = c.id;
        Write(CLegacyProductDetector::kEndpointKey, View::Only64, values);
        TestDetector detector(false);
        std::wstring name, version;
        EXPECT_EQ(detector.GetEndpointProductInfo(name, version), c.installed) << (c.id ? "given" : "absent");
        EXPECT_EQ(name, c.installed ? L"Qor Endpoint" : L"");
        EXPECT_EQ(version, c.installed ? L"12.0.1" : L"");
        EXPECT_EQ(detector.IsEndpointProductInstalled(), c.installed);
    }
}

TEST_F(LegacyProductDetectorTest, LegacyProductNeedsTheHostedAgent)
{
    TestDetector detector(true);
    Write(CLegacyProductDetector::kKAJKey, View::Only64, {{L"DisplayName", L"KAJ"}});
    Write(CLegacyProductDetector::kUVRKey, View::Only32, {{L"DisplayName", L"UVR"}, {L"DisplayVersion", L"1"}});
    Write(CLegacyProductDetector::kOWDKey, View::Only64, {{L"DisplayName", L"OWD"}, {L"DisplayVersion", L"2"}});
    std::wstring name, version;
    EXPECT_FALSE(detector.IsHostedAgentInstalled());
    EXPECT_FALSE(detector.FindLegacyProduct(name, version)); // OWD alone is not enough
    EXPECT_FALSE(detector.IsLegacyProductInstalled());

    Write(CLegacyProductDetector::kHostedAgentKey, View::Only32);
    EXPECT_TRUE(detector.IsHostedAgentInstalled());
    ASSERT_TRUE(detector.FindLegacyProduct(name, version));
    EXPECT_EQ(name, L"OWD"); // before UVR
    EXPECT_EQ(version, L"2");

    Write(CLegacyProductDetector::kEndpointKey, View::Only64,
          {{L"PRODUCTID", L"QOR"}, {L"PRODUCTNAME", L"Qor"}, {L"PRODUCTVERSION", L"12"}});
    ASSERT_TRUE(detector.FindLegacyProduct(name, version));
    EXPECT_EQ(name, L"Qor"); // the endpoint product comes first
    EXPECT_EQ(version, L"12");
}

TEST_F(LegacyProductDetectorTest, KajAloneIsNoLegacyProduct)
{
    TestDetector detector(true);
    Write(CLegacyProductDetector::kHostedAgentKey, View::Only64);
    Write(CLegacyProductDetector::kKAJKey, View::Only64, {{L"DisplayName", L"KAJ"}});
    EXPECT_TRUE(detector.IsKAJInstalled());
    EXPECT_FALSE(detector.IsLegacyProductInstalled());
}
