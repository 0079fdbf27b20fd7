// The installed-product queries behind the re-enrollment choice: dotted version comparison, and
// real Windows Installer and registry look-ups for products that are not installed.
#include "engine/manifest/VekInstalledProducts.h"

#include <gtest/gtest.h>

TEST(InstalledProducts, ComparesDottedVersions)
{
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    } cases[] = {
        {L"", L"", 0},
        {L"", L"1", -1},
        {L"1", L"", 1},
        {L"1.2", L"1.2", 0},
        {L"1.2", L"1.2.0", -1},
        {L"1.2.0", L"1.2", 1},
        {L"1.10", L"1.9", 1},
        {L"2.0.0.1", L"2.0.0.2", -1},
        {L"1.2.3.4.9", L"1.2.3.4.1", 0}, // four parts at most
        {L"x.1", L"0.1", 0},             // a piece that is no number counts as 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " / " << c.b);
        EXPECT_EQ(vek::CInstalledProducts::CompareVersions(c.a, c.b), c.expected);
    }
}

TEST(InstalledProducts, ProductsThatAreNotInstalled)
{
    vek::CInstalledProducts products;
    EXPECT_EQ(products.CompareInstalledVersion(L"", L"", L"1.0"), -3);
    EXPECT_EQ(products.CompareInstalledVersion(L"{8D1E5D5B-2A8F-4C3B-9F0E-5B1C2D3E4F50}", L"", L"1.0"), -2);
    EXPECT_EQ(products.CompareInstalledVersion(L"", L"{8D1E5D5B-2A8F-4C3B-9F0E-5B1C2D3E4F50}", L""), -2);
    EXPECT_FALSE(products.IsHostedAgentInstalled());
}
