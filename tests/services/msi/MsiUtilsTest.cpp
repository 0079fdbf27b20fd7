// Windows Installer questions answered from real packages: four small products built with wixl
// (two of them under one upgrade code, one with a version too long for the query), installed
// with msiexec for the suite and removed after it.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "services/msi/CMsiUtils.h"
#include "services/session/LogCapture.h"
#include "support/CreateProcessRetrying.h"

namespace {

constexpr const wchar_t* kSingleProduct = L"{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E01}";
constexpr const wchar_t* kSingleUpgrade = L"{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E01}";
constexpr const wchar_t* kPairUpgrade = L"{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E02}";
constexpr const wchar_t* kLongProduct = L"{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E04}";
constexpr const wchar_t* kLongUpgrade = L"{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E04}";
constexpr const wchar_t* kAbsentUpgrade = L"{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3EFF}";
const wchar_t* const kPackages[] = {L"single", L"pairone", L"pairtwo", L"longver"};

std::wstring Package(const wchar_t* name)
{
    const char* dir = std::getenv("VEK_MSI_DIR");
    std::wstring path = L"Z:";
    for (char c : std::string(dir ? dir : ""))
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path + L"\\" + name + L".msi";
}

DWORD RunMsiexec(const std::wstring& arguments)
{
    std::wstring command = L"msiexec.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, 0, nullptr, &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// Stands in for a 32-bit or a 64-bit system.
class BitnessMsiUtils : public CMsiUtils {
public:
    explicit BitnessMsiUtils(bool wow64) : m_wow64(wow64) {}

protected:
    bool IsWow64() override { return m_wow64; }

private:
    bool m_wow64;
};

class MsiUtilsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const wchar_t* name : kPackages)
            ASSERT_EQ(RunMsiexec(L"/i \"" + Package(name) + L"\" /qn"), 0u) << "installing " << name;
    }
    static void TearDownTestSuite()
    {
        for (const wchar_t* name : kPackages)
            RunMsiexec(L"/x \"" + Package(name) + L"\" /qn");
    }
    CMsiUtils msi;
};

} // namespace

TEST(MsiVersionTest, ParseAndCompare)
{
    CMsiUtils msi;
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    } cases[] = {
        {L"1.2.3.4", L"1.2.3.5", -1},
        {L"2.0", L"1.9.9.9", 1},
        {L"1.2", L"1.2.0", -1},
        {L"1.2.0", L"1.2", 1},
        {L"1.2.3.4", L"1.2.3.4", 0},
        {L"10.0", L"9.99", 1},
        {L"", L"", 0},
        {L"", L"0", -1},
        {L"0", L"", 1},
        {nullptr, L"1", -1},
        {L"1", nullptr, 1},
        {L"1.2.3.4.5", L"1.2.3.4.9", 0}, // fifth part ignored
        {L"1.x", L"1.0", 0},
        {L"1..2", L"1.0.2", 0},
        {L"4294967296", L"4294967295", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(msi.CompareVersions(c.a, c.b), c.expected)
            << (c.a ? std::string(c.a, c.a + wcslen(c.a)) : "null") << " vs "
            << (c.b ? std::string(c.b, c.b + wcslen(c.b)) : "null");

    std::uint32_t parts[4] = {};
    std::uint32_t count = 4;
    ASSERT_TRUE(msi.ParseVersion(L"1.2.3.4.5", parts, count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(parts[3], 4u);
    count = 2;
    ASSERT_TRUE(msi.ParseVersion(L"7.8.9", parts, count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(parts[1], 8u);
}

TEST(MsiVersionTest, SelectForBitness)
{
    BitnessMsiUtils system32(false), system64(true);
    EXPECT_STREQ(system32.SelectForBitness(L"a", L"b"), L"a");
    EXPECT_STREQ(system64.SelectForBitness(L"a", L"b"), L"b");
    EXPECT_STREQ(system32.SelectForBitness(nullptr, L"b"), L"b");
    EXPECT_STREQ(system64.SelectForBitness(L"a", nullptr), L"a");
    EXPECT_EQ(system64.SelectForBitness(nullptr, nullptr), nullptr);
}

TEST_F(MsiUtilsTest, InstalledProductVersionAndComparison)
{
    std::wstring version;
    ASSERT_TRUE(msi.GetProductVersion(kSingleProduct, version));
    EXPECT_EQ(version, L"1.2.3.4");
    EXPECT_EQ(msi.GetProductCodeByUpgradeCode(kSingleUpgrade), kSingleProduct);

    struct Case {
        const wchar_t* upgrade32;
        const wchar_t* upgrade64;
        const wchar_t* version;
        int expected;
    } cases[] = {
        {kSingleUpgrade, nullptr, nullptr, 0}, // installed, nothing to compare with
        {kSingleUpgrade, nullptr, L"", 0},        {kSingleUpgrade, nullptr, L"1.2.3.5", -1},
        {kSingleUpgrade, nullptr, L"1.2.3.4", 0}, {nullptr, kSingleUpgrade, L"1.2", 1},
        {kAbsentUpgrade, nullptr, L"1.0", -2}, // no related product
        {kLongUpgrade, nullptr, nullptr, -2},  // version unreadable
        {nullptr, nullptr, L"1.0", -3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(msi.CompareInstalledVersion(c.upgrade32, c.upgrade64, c.version), c.expected)
            << (c.version ? std::string(c.version, c.version + wcslen(c.version)) : "null");
}

TEST_F(MsiUtilsTest, RelatedProductsGiveTheLastEnumerated)
{
    std::vector<std::wstring> enumerated;
    wchar_t product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kPairUpgrade, 0, i, product) == ERROR_SUCCESS; ++i)
        enumerated.push_back(product);
    ASSERT_EQ(enumerated.size(), 2u);
    EXPECT_EQ(msi.GetProductCodeByUpgradeCode(kPairUpgrade), enumerated.back());

    vek::test::LogCapture log;
    EXPECT_EQ(msi.GetProductCodeByUpgradeCode(kAbsentUpgrade), L"");
    EXPECT_EQ(msi.GetProductCodeByUpgradeCode(L""), L"");
    EXPECT_EQ(msi.GetProductCodeByUpgradeCode(nullptr), L"");
    EXPECT_TRUE(log.Contains(L"null or empty string passed as upgradeCode"));
}

TEST_F(MsiUtilsTest, VersionQueryFailures)
{
    vek::test::LogCapture log;
    std::wstring version = L"unchanged";
    EXPECT_FALSE(msi.GetProductVersion(kLongProduct, version)); // 20 characters do not fit
    EXPECT_FALSE(msi.GetProductVersion(L"{00000000-0000-0000-0000-000000000000}", version));
    EXPECT_FALSE(msi.GetProductVersion(nullptr, version));
    EXPECT_EQ(version, L"unchanged");
    EXPECT_TRUE(log.Contains(L"GetProductVersion: product code is invalid"));
    EXPECT_TRUE(log.Contains(L"Unable to get version of product"));
}

TEST(MsiPropertyTest, PropertiesOfAPackageFile)
{
    CMsiUtils msi;
    struct Case {
        std::wstring package;
        const wchar_t* property;
        const wchar_t* expected;
        const wchar_t* logged; // the failure's log line
    } cases[] = {
        {Package(L"single"), L"ProductVersion", L"1.2.3.4", nullptr},
        {Package(L"pairtwo"), L"UpgradeCode", kPairUpgrade, nullptr},
        {Package(L"single"), L"VEKTESTNOTE", L"it's a test", nullptr},
        {Package(L"single"), L"NoSuchProperty", L"", L"Failed to fetch record from view"},
        {Package(L"single"), L"Product' OR Property <> '", L"", L"Failed to open a database view"},
        {Package(L"nosuchpackage"), L"ProductVersion", L"", L"Failed to open msi"},
    };
    for (const Case& c : cases) {
        vek::test::LogCapture log;
        std::wstring value = L"stale";
        EXPECT_TRUE(msi.GetMsiProperty(c.package.c_str(), c.property, value));
        EXPECT_EQ(value, c.expected);
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << log.All();
        }
    }
}
