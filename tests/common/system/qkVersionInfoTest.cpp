#include "common/system/CIsolation.h"
#include "common/system/qkTalLanguageInfoBase.h"
#include "common/system/qkVersionInfo.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::wstring Fixture(const wchar_t* name)
{
    return (systest::ExeFolder() / (std::wstring(L"version_") + name + L".dll")).wstring();
}

TEST(qkVersionInfo, FullResource)
{
    qkVersionInfo version;
    ASSERT_TRUE(version.Load(Fixture(L"Versioned").c_str()));
    EXPECT_EQ(version.m_fixedInfo.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(version.m_fixedInfo.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(version.m_fixedInfo.dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(version.m_fixedInfo.dwProductVersionMS, 0x00050006u);
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } expected[] = {
        {L"Comments", L""},
        {L"CompanyName", L"Vek Test Makers"},
        {L"FileDescription", L"Version fixture"},
        {L"FileVersion", L"1.2.3.4"},
        {L"InternalName", L""},
        {L"LegalCopyright", L""},
        {L"LegalTrademarks", L""},
        {L"OriginalFilename", L""},
        {L"ProductName", L"Vek Fixture"},
        {L"ProductVersion", L"5.6.7.8"},
        {L"PrivateBuild", L""},
        {L"SpecialBuild", L"special"},
    };
    for (int i = 0; i < qkVersionInfo::kStringCount; ++i) {
        EXPECT_STREQ(version.m_strings[i].name, expected[i].name);
        EXPECT_EQ(version.m_strings[i].value, expected[i].value) << expected[i].name;
    }
    EXPECT_EQ(*version.Find(L"ProductName"), L"Vek Fixture");
    EXPECT_EQ(version.Find(L"Nope"), nullptr);

    // A second load of a file without a resource clears everything.
    EXPECT_FALSE(version.Load(L"")); // the test program has no version resource
    EXPECT_EQ(version.m_fixedInfo.dwSignature, 0u);
    EXPECT_TRUE(version.m_strings[1].value.empty());
}

TEST(qkVersionInfo, TranslationTableShapes)
{
    // Without a translation table: FALSE, though the fixed record was copied.
    qkVersionInfo none;
    EXPECT_FALSE(none.Load(Fixture(L"NoTranslation").c_str()));
    EXPECT_EQ(none.m_fixedInfo.dwFileVersionMS, 0x00010002u);
    EXPECT_TRUE(none.m_strings[1].value.empty());

    // An empty table: TRUE, the fixed record, no strings.
    qkVersionInfo empty;
    EXPECT_TRUE(empty.Load(Fixture(L"EmptyTranslation").c_str()));
    EXPECT_EQ(empty.m_fixedInfo.dwFileVersionMS, 0x00010002u);
    for (const auto& entry : empty.m_strings)
        EXPECT_TRUE(entry.value.empty()) << entry.name;

    qkVersionInfo missing;
    EXPECT_FALSE(missing.Load(L"C:\\vek-no-such-file.dll"));
    EXPECT_FALSE(missing.Load(L"\\\\?"));
}

TEST(qkVersionInfo, QueryStringOfOtherTranslation)
{
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeW(Fixture(L"Versioned").c_str(), &handle);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(Fixture(L"Versioned").c_str(), 0, size, data.data()));
    std::wstring value = L"junk";
    EXPECT_TRUE(qkVersionInfo::QueryString(0x409, 1200, L"CompanyName", data.data(), value));
    EXPECT_EQ(value, L"Vek Test Makers");
    EXPECT_FALSE(qkVersionInfo::QueryString(0x407, 1200, L"CompanyName", data.data(), value));
    EXPECT_TRUE(value.empty());
}

TEST(qkTalLanguageInfoBase, ConfiguredLanguage)
{
    systest::TestSiloId();
    const std::wstring path = std::wstring(CIsolation::GetSiloRegistryPath()) + L"\\ResourceConfig";
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const struct {
        const wchar_t* text;
        LANGID expected;
    } cases[] = {
        {L"409", 0x409}, {L"0x409", 0x409}, {L"40c", 0x40C}, {L" 407", 0x407}, {L"12345", 0x2345}, // the low 16 bits
        {L"zz", 0},      {L"", 0},
    };
    for (const auto& c : cases) {
        ::RegSetValueExW(key, L"Current UI Language", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.text),
                         static_cast<DWORD>((wcslen(c.text) + 1) * sizeof(wchar_t)));
        EXPECT_EQ(qkTalLanguageInfoBase::GetConfiguredUILanguage(), c.expected) << c.text;
        EXPECT_EQ(qkTalLanguageInfoBase::GetUILanguage(), c.expected ? c.expected : ::GetUserDefaultUILanguage())
            << c.text;
    }
    // Not a string: the user's language.
    DWORD number = 0x409;
    ::RegSetValueExW(key, L"Current UI Language", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
    EXPECT_EQ(qkTalLanguageInfoBase::GetConfiguredUILanguage(), 0);
    ::RegCloseKey(key);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    EXPECT_EQ(qkTalLanguageInfoBase::GetConfiguredUILanguage(), 0);
    EXPECT_EQ(qkTalLanguageInfoBase::GetUILanguage(), ::GetUserDefaultUILanguage());
}

} // namespace
