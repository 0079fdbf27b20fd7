// Registry keys opened through denied access lists; path splitting.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "services/session/LogCapture.h"
#include "services/toolbox/Tolk_CPathTokenizer.h"
#include "services/toolbox/Tolk_CRegistry.h"

namespace {

const std::wstring kBase = L"Software\\VekToolboxTest-" + std::to_wstring(GetCurrentProcessId());

// Removes the test's key tree, whatever its access lists became.
struct KeyCleanup {
    ~KeyCleanup()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kBase.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, kBase.c_str());
    }
};

// A key whose access list lets everyone read it and nobody change it (protected, so nothing is
// inherited). The common library takes access only to keys it can read.
bool MakeDeniedKey(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegSetValueExW(key, L"marker", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &sd, nullptr);
    const LONG set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

TEST(ToolboxRegistryTest, PathTokenizer)
{
    struct Case {
        std::wstring path;
        std::vector<std::wstring> parts;
    } cases[] = {
        {L"Software\\Vek\\Jobs", {L"Software", L"Vek", L"Jobs"}},
        {L"Software/Vek/Jobs", {L"Software", L"Vek", L"Jobs"}},
        {L"\\Software\\\\Vek\\", {L"Software", L"Vek"}},
        {L"Software\\\"a\\b\"\\c", {L"Software", L"\"a\\b\"", L"c"}},
        {L"", {}},
    };
    for (const Case& c : cases) {
        Tolk::CPathTokenizer tokenizer(c.path);
        EXPECT_EQ(tokenizer.Parts(), c.parts);
        EXPECT_EQ(tokenizer.Count(), c.parts.size());
    }
}

TEST(ToolboxRegistryTest, MissingKeysAndSubkeys)
{
    KeyCleanup cleanup;
    vek::test::LogCapture log;
    Tolk::CRegistry missing;
    EXPECT_FALSE(missing.Open(HKEY_CURRENT_USER, (kBase + L"\\absent").c_str(), KEY_READ));
    EXPECT_EQ(missing.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(log.Contains(L"using force open")); // a missing key is not forced

    Tolk::CRegistry parent;
    ASSERT_TRUE(parent.Open(HKEY_CURRENT_USER, kBase.c_str(), KEY_ALL_ACCESS, TRUE));
    Tolk::CRegistry child;
    ASSERT_TRUE(child.Open(parent, L"child", KEY_ALL_ACCESS, TRUE));
    EXPECT_EQ(child.GetPath(), kBase + L"\\child");
    EXPECT_EQ(child.GetRoot(), HKEY_CURRENT_USER);

    Tolk::CRegistry run;
    EXPECT_TRUE(run.Create(HKEY_CURRENT_USER));
    EXPECT_EQ(run.GetPath(), L"Software\\Microsoft\\Windows\\CurrentVersion\\Run");
}

TEST(ToolboxRegistryTest, DeniedKeyIsForcedOpen)
{
    KeyCleanup cleanup;
    const std::wstring denied = kBase + L"\\outer\\denied";
    ASSERT_TRUE(MakeDeniedKey(denied));
    HKEY plain = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, denied.c_str(), 0, KEY_ALL_ACCESS, &plain), ERROR_ACCESS_DENIED);

    vek::test::LogCapture log;
    Tolk::CRegistry key;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, denied.c_str(), KEY_ALL_ACCESS)) << key.GetLastError() << Narrow(log.All());
    EXPECT_TRUE(log.Contains(L"Registry open fails for " + denied + L" key, using force open"));
    std::wstring marker;
    EXPECT_TRUE(key.QueryStringValue(L"marker", marker));
    EXPECT_EQ(marker, L"1");

    Tolk::CRegistry ensure;
    EXPECT_EQ(ensure.EnsureOpen(HKEY_CURRENT_USER, denied.c_str(), FALSE), S_OK);
    EXPECT_EQ(ensure.EnsureOpen(HKEY_CURRENT_USER, (kBase + L"\\none").c_str(), FALSE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(log.Contains(L"Failed during Registry EnsureOpen 2"));
}
