#include "common/base/qkMemory.h"
#include "common/system/qkRegistry.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstring>
#include <string>

namespace {

// Each test works below a key of its own and removes it.
class qkRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_base = L"Software\\VekTest\\system_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                 std::wstring(test, test + std::strlen(test));
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, m_base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root,
                                    nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        ::RegCloseKey(m_root);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
    }

    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(::RegSetValueExW(m_root, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    bool Exists(const std::wstring& subkey, REGSAM view = 0, HKEY root = HKEY_CURRENT_USER)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(key);
        return true;
    }

    std::wstring m_base;
    HKEY m_root = nullptr;
};

TEST_F(qkRegistryTest, OpenCreateAndClose)
{
    qkRegistry reg;
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_FALSE(reg.Open(m_root, L"missing", KEY_READ));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(reg.IsOpen());
    ASSERT_TRUE(reg.Open(m_root, L"made\\deep", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, TRUE));
    EXPECT_TRUE(reg.IsOpen());
    EXPECT_EQ(reg.GetKeyViewFlags(), static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_TRUE(Exists(m_base + L"\\made\\deep"));

    // A null subkey fails with 87 and leaves the held key alone.
    HKEY held = reg.GetKey();
    EXPECT_FALSE(reg.Create(m_root, nullptr, KEY_READ));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(reg.GetKey(), held);
    EXPECT_TRUE(reg.SetDWORDValue(L"v", 1));

    EXPECT_TRUE(reg.Close());
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_EQ(reg.GetKeyViewFlags(), 0u);
    EXPECT_TRUE(reg.Close());

    EXPECT_EQ(qkRegistry::GetViewFlags(KEY_READ | KEY_WOW64_32KEY), static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(qkRegistry::GetViewFlags(KEY_READ), 0u);
    EXPECT_EQ(qkRegistry::GetViewFlags(KEY_WOW64_32KEY | KEY_WOW64_64KEY), 0x300u);

    // A wrapped key keeps the view of its mask and is closed with the object.
    HKEY raw = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(m_root, L"made", 0, KEY_READ | KEY_WOW64_32KEY, &raw), ERROR_SUCCESS);
    qkRegistry wrapped(raw, KEY_READ | KEY_WOW64_32KEY);
    EXPECT_EQ(wrapped.GetKeyViewFlags(), static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(wrapped.GetLastError(), 0u);
}

TEST_F(qkRegistryTest, CreateIfMissingAfterAccessDenied)
{
    // A key whose access list grants nothing: the open fails with 5 and the create is tried.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;KA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    HKEY locked = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(m_root, L"locked", 0, nullptr, 0, WRITE_DAC, nullptr, &locked, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(::RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
    ::RegCloseKey(locked);
    ::LocalFree(sd);

    qkRegistry reg;
    EXPECT_FALSE(reg.Open(m_root, L"locked", KEY_READ));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(reg.Open(m_root, L"locked", KEY_READ, TRUE));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)); // the create's error
    EXPECT_FALSE(reg.IsOpen());

    // Give the access back so that the tree can be removed.
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    ASSERT_EQ(::RegOpenKeyExW(m_root, L"locked", 0, WRITE_DAC, &locked), ERROR_SUCCESS);
    EXPECT_EQ(::RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
    ::RegCloseKey(locked);
    ::LocalFree(sd);
}

TEST_F(qkRegistryTest, TypedValues)
{
    qkRegistry reg;
    ASSERT_TRUE(reg.Open(m_root, L"", KEY_READ | KEY_WRITE));
    ASSERT_TRUE(reg.SetStringValue(L"text", L"hello"));
    ASSERT_TRUE(reg.SetStringValue(L"empty", std::wstring()));
    ASSERT_TRUE(reg.SetDWORDValue(L"number", 0x12345678));
    SetRaw(L"expand", REG_EXPAND_SZ, L"%TEMP%\\x", 18);
    SetRaw(L"multi", REG_MULTI_SZ, L"a\0b\0", 10);
    SetRaw(L"noterm", REG_SZ, L"abc", 6); // stored without a NUL
    SetRaw(L"odd", REG_SZ, "abc", 3);     // odd size
    const BYTE four[4] = {1, 2, 3, 4};
    SetRaw(L"bin4", REG_BINARY, four, 4);
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SetRaw(L"dword8", REG_QWORD, eight, 8);

    // An empty text writes the NUL alone.
    DWORD type = 0, size = 0;
    ASSERT_EQ(::RegQueryValueExW(m_root, L"empty", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);

    DWORD number = 0;
    EXPECT_TRUE(reg.QueryDWORDValue(L"number", number));
    EXPECT_EQ(number, 0x12345678u);
    // A 4-byte binary is not a DWORD; GetDWORDValue leaves the variable untouched.
    number = 7;
    EXPECT_FALSE(reg.GetDWORDValue(L"bin4", number));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(reg.QueryDWORDValue(L"bin4", number));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(reg.GetDWORDValue(L"dword8", number));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_FALSE(reg.GetDWORDValue(L"none", number));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    struct StringCase {
        const wchar_t* name;
        BOOL ok;
        DWORD error;
        const wchar_t* value;
    } strings[] = {
        {L"text", TRUE, 0, L"hello"},
        {L"empty", TRUE, 0, L""},
        {L"expand", TRUE, 0, L"%TEMP%\\x"}, // unexpanded
        {L"noterm", TRUE, 0, L"abc"},
        {L"multi", FALSE, ERROR_INVALID_DATA, L""},
        {L"odd", FALSE, ERROR_INVALID_DATA, L""},
        {L"number", FALSE, ERROR_INVALID_DATA, L""},
        {L"none", FALSE, ERROR_FILE_NOT_FOUND, L""},
    };
    for (const auto& c : strings) {
        std::wstring value;
        EXPECT_EQ(reg.QueryStringValue(c.name, value), c.ok) << c.name;
        EXPECT_EQ(reg.GetLastError(), c.error) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }

    struct BufferCase {
        const wchar_t* name;
        DWORD given;
        BOOL ok;
        DWORD error;
        DWORD size;
    } buffers[] = {
        {L"text", 64, TRUE, 0, 12},
        {L"multi", 64, TRUE, 0, 10}, // accepted here
        {L"odd", 64, FALSE, ERROR_INVALID_DATA, 3},
        {L"number", 64, FALSE, ERROR_INVALID_DATA, 4},
        {L"text", 4, FALSE, ERROR_MORE_DATA, 12}, // too small: the needed size
        {L"text", 0, FALSE, ERROR_INVALID_PARAMETER, 0},
    };
    for (const auto& c : buffers) {
        wchar_t buffer[32] = {};
        DWORD bytes = c.given;
        EXPECT_EQ(reg.QueryStringBuffer(c.name, buffer, &bytes), c.ok) << c.name << " " << c.given;
        EXPECT_EQ(reg.GetLastError(), c.error) << c.name << " " << c.given;
        EXPECT_EQ(bytes, c.size) << c.name << " " << c.given;
    }
    {
        // Wine's registry adds the missing NUL itself and counts it (it asks for 8 bytes even
        // from a 6-byte buffer); Windows hands the bytes over as stored and the check refuses them.
        wchar_t buffer[32];
        DWORD bytes = sizeof(buffer);
        if (reg.QueryStringBuffer(L"noterm", buffer, &bytes)) {
            EXPECT_EQ(bytes, 8u);
            EXPECT_STREQ(buffer, L"abc");
        } else {
            EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        }
    }
    DWORD needed = 0;
    EXPECT_TRUE(reg.QueryStringBuffer(L"text", nullptr, &needed));
    EXPECT_EQ(needed, 12u);

    qkMemory memory;
    ASSERT_TRUE(reg.QueryBinaryValue(L"bin4", memory));
    ASSERT_EQ(memory.GetSize(), 4u);
    EXPECT_EQ(std::memcmp(memory.GetData(), four, 4), 0);
    EXPECT_FALSE(reg.QueryBinaryValue(L"text", memory));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(memory.GetSize(), 0u);

    EXPECT_TRUE(reg.DeleteValue(L"text"));
    EXPECT_FALSE(reg.DeleteValue(L"text"));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(qkRegistryTest, Enumeration)
{
    qkRegistry reg;
    ASSERT_TRUE(reg.Open(m_root, L"", KEY_READ | KEY_WRITE));
    qkRegistry child;
    ASSERT_TRUE(child.Create(m_root, L"child", KEY_WRITE));
    ASSERT_TRUE(reg.SetDWORDValue(L"value", 1));
    wchar_t name[64];
    DWORD length = 64;
    EXPECT_EQ(reg.EnumKey(0, name, &length), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"child");
    length = 64;
    EXPECT_EQ(reg.EnumKey(1, name, &length), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    length = 64;
    EXPECT_EQ(reg.EnumValue(0, name, &length), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"value");
    length = 2;
    EXPECT_EQ(reg.EnumValue(0, name, &length), ERROR_MORE_DATA);
}

TEST_F(qkRegistryTest, DeleteTreeAndEmptyKey)
{
    qkRegistry reg;
    ASSERT_TRUE(reg.Open(m_root, L"", KEY_ALL_ACCESS));
    {
        qkRegistry a;
        ASSERT_TRUE(a.Create(m_root, L"tree\\a\\b\\c", KEY_WRITE));
        ASSERT_TRUE(a.SetDWORDValue(L"v", 1));
        ASSERT_TRUE(a.Create(m_root, L"tree\\d", KEY_WRITE));
        ASSERT_TRUE(a.Create(m_root, L"valueonly", KEY_WRITE));
        ASSERT_TRUE(a.SetDWORDValue(L"v", 1));
        ASSERT_TRUE(a.Create(m_root, L"withchild\\x", KEY_WRITE));
        ASSERT_TRUE(a.Create(m_root, L"empty", KEY_WRITE));
    }
    EXPECT_TRUE(reg.DeleteKeyTree(L"tree"));
    EXPECT_FALSE(Exists(m_base + L"\\tree"));
    EXPECT_FALSE(reg.DeleteKeyTree(L"tree"));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(reg.DeleteEmptyKey(L"valueonly"));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(Exists(m_base + L"\\valueonly"));
    EXPECT_FALSE(reg.DeleteEmptyKey(L"withchild"));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(reg.DeleteEmptyKey(L"empty"));
    EXPECT_FALSE(Exists(m_base + L"\\empty"));
    EXPECT_FALSE(reg.DeleteEmptyKey(L"empty"));
    EXPECT_EQ(reg.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(qkRegistryTest, VolatileCreation)
{
    // An existing non-volatile tree is replaced by a new, empty, volatile key.
    {
        qkRegistry old;
        ASSERT_TRUE(old.Create(m_root, L"v\\sub", KEY_WRITE));
        ASSERT_TRUE(old.Create(m_root, L"v", KEY_WRITE));
        ASSERT_TRUE(old.SetDWORDValue(L"old", 1));
    }
    qkRegistry reg;
    ASSERT_TRUE(reg.Create(m_root, L"v", KEY_ALL_ACCESS, REG_OPTION_VOLATILE));
    DWORD subkeys = 9, values = 9;
    ASSERT_EQ(::RegQueryInfoKeyW(reg.GetKey(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
    // Volatile now: a non-volatile child is refused.
    HKEY child = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(reg.GetKey(), L"nv", 0, nullptr, 0, KEY_WRITE, nullptr, &child, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    ASSERT_TRUE(reg.SetDWORDValue(L"kept", 5));
    EXPECT_FALSE(Exists(m_base + L"\\v\\__volatile_test"));

    // Already volatile: opened as it stands, values intact.
    qkRegistry again;
    ASSERT_TRUE(again.Create(m_root, L"v", KEY_ALL_ACCESS, REG_OPTION_VOLATILE));
    DWORD kept = 0;
    EXPECT_TRUE(again.GetDWORDValue(L"kept", kept));
    EXPECT_EQ(kept, 5u);
    EXPECT_FALSE(Exists(m_base + L"\\v\\__volatile_test"));

    // Missing: created at once.
    qkRegistry fresh;
    EXPECT_TRUE(fresh.Create(m_root, L"fresh", KEY_ALL_ACCESS, REG_OPTION_VOLATILE));
}

TEST_F(qkRegistryTest, ViewsStaySeparateAtEveryLevel)
{
    // HKLM\Software has separate 32- and 64-bit views; HKCU\Software is shared.
    const std::wstring base = L"Software\\VekTest_system_" + std::to_wstring(::GetCurrentProcessId());
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        qkRegistry reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, (base + L"\\a\\b").c_str(), KEY_ALL_ACCESS | view));
        ASSERT_TRUE(reg.SetDWORDValue(L"view", view));
    }
    DWORD value = 0;
    qkRegistry read32;
    ASSERT_TRUE(read32.Open(HKEY_LOCAL_MACHINE, (base + L"\\a\\b").c_str(), KEY_READ | KEY_WOW64_32KEY));
    ASSERT_TRUE(read32.GetDWORDValue(L"view", value));
    EXPECT_EQ(value, static_cast<DWORD>(KEY_WOW64_32KEY));
    qkRegistry read64;
    ASSERT_TRUE(read64.Open(HKEY_LOCAL_MACHINE, (base + L"\\a\\b").c_str(), KEY_READ | KEY_WOW64_64KEY));
    ASSERT_TRUE(read64.GetDWORDValue(L"view", value));
    EXPECT_EQ(value, static_cast<DWORD>(KEY_WOW64_64KEY));
    read32.Close();
    read64.Close();

    // Deleted in the 32-bit view at every level; the 64-bit tree stays.
    qkRegistry software32;
    ASSERT_TRUE(software32.Open(HKEY_LOCAL_MACHINE, L"Software", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    EXPECT_TRUE(software32.DeleteKeyTree(base.substr(9).c_str()));
    EXPECT_FALSE(Exists(base, KEY_WOW64_32KEY, HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(Exists(base + L"\\a\\b", KEY_WOW64_64KEY, HKEY_LOCAL_MACHINE));

    qkRegistry software64;
    ASSERT_TRUE(software64.Open(HKEY_LOCAL_MACHINE, L"Software", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_TRUE(software64.DeleteKeyTree(base.substr(9).c_str()));
    EXPECT_FALSE(Exists(base, KEY_WOW64_64KEY, HKEY_LOCAL_MACHINE));
}

} // namespace
