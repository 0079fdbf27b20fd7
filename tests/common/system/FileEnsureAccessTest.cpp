#include "common/base/qkException.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkPrivilege.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Entry {
    BYTE type;
    std::wstring sid;
    DWORD mask;
    BYTE flags;
    bool operator==(const Entry& o) const
    {
        return type == o.type && sid == o.sid && mask == o.mask && flags == o.flags;
    }
};

std::ostream& operator<<(std::ostream& os, const Entry& e)
{
    return os << int(e.type) << ":" << std::string(e.sid.begin(), e.sid.end()) << ":0x" << std::hex << e.mask << ":"
              << std::dec << int(e.flags);
}

std::wstring CurrentUserSid()
{
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = sizeof(buffer);
    ::GetTokenInformation(token, TokenUser, buffer, size, &size);
    ::CloseHandle(token);
    wchar_t* text = nullptr;
    ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

class FileEnsureAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_user = CurrentUserSid();
        m_base = L"Software\\VekTest\\ensure_" + std::to_wstring(::GetCurrentProcessId());
        // Process ids come round again: a run that was killed may have left a locked tree here.
        OpenUp(m_base);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
    }
    void TearDown() override
    {
        // Open every key up again so that the tree can go.
        OpenUp(m_base);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
    }
    void OpenUp(const std::wstring& path)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC | KEY_ENUMERATE_SUB_KEYS, &key) !=
            ERROR_SUCCESS)
            return;
        SetSddl(key, L"D:(A;OICI;KA;;;WD)");
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = 256;
            if (::RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            OpenUp(path + L"\\" + name);
        }
        ::RegCloseKey(key);
    }
    static void SetSddl(HKEY key, const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        ::LocalFree(sd);
    }
    // A key below the test's own, with the given (protected) access list.
    void MakeKey(const std::wstring& name, const std::wstring& sddl)
    {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + L"\\" + name).c_str(), 0, nullptr, 0,
                                    KEY_READ | WRITE_DAC, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        SetSddl(key, sddl.c_str());
        ::RegCloseKey(key);
    }
    // True when the key's access list is the NULL one that grants everyone everything.
    bool HasNullDacl(const std::wstring& name)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, (m_base + L"\\" + name).c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS)
            return false;
        BYTE sd[4096];
        DWORD size = sizeof(sd);
        const LONG status = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd, &size);
        ::RegCloseKey(key);
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        return status == ERROR_SUCCESS && ::GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present &&
               acl == nullptr;
    }
    std::vector<Entry> Explicit(const std::wstring& name)
    {
        std::vector<Entry> entries;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, (m_base + L"\\" + name).c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS)
            return entries;
        BYTE sd[4096];
        DWORD size = sizeof(sd);
        ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd, &size);
        ::RegCloseKey(key);
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        ::GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
        for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
            void* raw = nullptr;
            ::GetAce(acl, i, &raw);
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            if (ace->Header.AceFlags & INHERITED_ACE)
                continue;
            wchar_t* text = nullptr;
            ::ConvertSidToStringSidW(&ace->SidStart, &text);
            entries.push_back({ace->Header.AceType, text, ace->Mask, ace->Header.AceFlags});
            ::LocalFree(text);
        }
        return entries;
    }
    DWORD Ensure(const std::wstring& name, DWORD object, DWORD containers, DWORD children, PSID account = nullptr)
    {
        qkAccessDescription access{{object, containers, children}, {0, 0, 0}};
        const std::wstring path = m_base + L"\\" + name;
        return account ? qkLib::RegistryEnsureAccess(HKEY_CURRENT_USER, path.c_str(), KEY_WOW64_64KEY, access, account)
                       : qkLib::RegistryEnsureAccess(HKEY_CURRENT_USER, path.c_str(), KEY_WOW64_64KEY, access);
    }

    std::wstring m_user;
    std::wstring m_base;
};

TEST_F(FileEnsureAccessTest, GrantsWhatIsMissingAndOnlyThat)
{
    MakeKey(L"k", L"D:P(A;;KR;;;" + m_user + L")");
    ASSERT_EQ(Explicit(L"k"), (std::vector<Entry>{{0, m_user, KEY_READ, 0}}));
    // Read is there already: nothing changes.
    EXPECT_EQ(Ensure(L"k", KEY_READ, 0, 0), qkLib::kEnsureAlreadyGranted);
    EXPECT_EQ(Ensure(L"k", GENERIC_READ, 0, 0), qkLib::kEnsureAlreadyGranted); // mapped to KEY_READ
    EXPECT_EQ(Explicit(L"k"), (std::vector<Entry>{{0, m_user, KEY_READ, 0}}));

    // Write is added as an entry of its own; the earlier entry stays.
    EXPECT_EQ(Ensure(L"k", GENERIC_WRITE, 0, 0), qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"k"), (std::vector<Entry>{{0, m_user, KEY_READ, 0}, {0, m_user, 0x20006, 0}}));
    EXPECT_EQ(Ensure(L"k", KEY_READ | KEY_WRITE, 0, 0), qkLib::kEnsureAlreadyGranted);
}

TEST_F(FileEnsureAccessTest, NullAccessListAlreadyGrantsEverything)
{
    // Built by hand: Wine turns the SDDL form of a NULL list into an empty one.
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + L"\\open").c_str(), 0, nullptr, 0, KEY_READ | WRITE_DAC,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open), ERROR_SUCCESS);
    ::RegCloseKey(key);
    ASSERT_TRUE(HasNullDacl(L"open"));
    EXPECT_EQ(Ensure(L"open", KEY_ALL_ACCESS, KEY_READ, KEY_READ), qkLib::kEnsureAlreadyGranted);
    PSID users = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-32-545", &users));
    EXPECT_EQ(Ensure(L"open", KEY_READ, 0, 0, users), qkLib::kEnsureAlreadyGranted);
    ::LocalFree(users);
    EXPECT_TRUE(HasNullDacl(L"open")) << "the list must not be narrowed to the trustee";
}

TEST_F(FileEnsureAccessTest, InheritanceSplit)
{
    MakeKey(L"all", L"D:P(A;;KA;;;SY)(A;;KR;;;" + m_user + L")");
    // The same rights on the object and every descendant: one entry for all three.
    EXPECT_EQ(Ensure(L"all", KEY_READ, KEY_READ, KEY_READ), qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"all"),
              (std::vector<Entry>{{0, L"S-1-5-18", KEY_ALL_ACCESS, 0},
                                  {0, m_user, KEY_READ, 0},
                                  {0, m_user, KEY_READ, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE}}));
    MakeKey(L"split", L"D:P(A;;KA;;;SY)(A;;KR;;;" + m_user + L")");
    // Common rights first, then pairs, then singles.
    EXPECT_EQ(Ensure(L"split", KEY_QUERY_VALUE | KEY_SET_VALUE, KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY,
                     KEY_QUERY_VALUE | KEY_NOTIFY),
              qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"split"), (std::vector<Entry>{{0, L"S-1-5-18", KEY_ALL_ACCESS, 0},
                                                      {0, m_user, KEY_READ, 0},
                                                      {0, m_user, KEY_QUERY_VALUE, 3},
                                                      {0, m_user, KEY_SET_VALUE, 0},
                                                      {0, m_user, KEY_CREATE_SUB_KEY, 10},
                                                      {0, m_user, KEY_NOTIFY, 9}}));
}

TEST_F(FileEnsureAccessTest, DeniedEntriesAreCutToWhatWasNotRequested)
{
    // Everyone is denied setting values and making subkeys; the user asks for setting values.
    MakeKey(L"d", L"D:P(D;;0x6;;;WD)(A;;KA;;;" + m_user + L")");
    EXPECT_EQ(Ensure(L"d", KEY_SET_VALUE, 0, 0), qkLib::kEnsureWritten);
    // The request was blocked by a denied entry, so it is granted explicitly too.
    EXPECT_EQ(Explicit(L"d"), (std::vector<Entry>{{1, L"S-1-1-0", KEY_CREATE_SUB_KEY, 0},
                                                  {0, m_user, KEY_ALL_ACCESS, 0},
                                                  {0, m_user, KEY_SET_VALUE, 0}}));
    // The key can now be opened for setting values, not for making subkeys.
    HKEY key = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, (m_base + L"\\d").c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ::RegCloseKey(key);
    EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, (m_base + L"\\d").c_str(), 0, KEY_CREATE_SUB_KEY, &key),
              ERROR_ACCESS_DENIED);

    // An entry for another account is kept as it is.
    MakeKey(L"other", L"D:P(D;;KA;;;S-1-5-32-546)(A;;KR;;;" + m_user + L")");
    EXPECT_EQ(Ensure(L"other", KEY_WRITE, 0, 0), qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"other"),
              (std::vector<Entry>{
                  {1, L"S-1-5-32-546", KEY_ALL_ACCESS, 0}, {0, m_user, KEY_READ, 0}, {0, m_user, 0x20006, 0}}));
}

TEST_F(FileEnsureAccessTest, GivenAccountAndErrors)
{
    MakeKey(L"acct", L"D:P(A;;KA;;;" + m_user + L")");
    PSID users = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-32-545", &users));
    // The current user holds everything, but the Users group as such does not.
    EXPECT_EQ(Ensure(L"acct", KEY_READ, 0, 0, users), qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"acct").back(), (Entry{0, L"S-1-5-32-545", KEY_READ, 0}));
    EXPECT_EQ(Ensure(L"acct", KEY_READ, 0, 0, users), qkLib::kEnsureAlreadyGranted);
    ::LocalFree(users);

    // A key that does not exist.
    EXPECT_EQ(Ensure(L"missing", KEY_READ, 0, 0), qkLib::kEnsureNoOwnership);

    // An unsupported object type raises the library's exception.
    qkAccessDescription access{{KEY_READ, 0, 0}, {0, 0, 0}};
    try {
        qkLib::FileEnsureAccess(L"x", nullptr, SE_KERNEL_OBJECT, access);
        ADD_FAILURE() << "no exception";
    } catch (const qkException& e) {
        EXPECT_EQ(e.GetResult(), 7);
    }
}

TEST_F(FileEnsureAccessTest, TakesOwnershipWhenTheListCannotBeWritten)
{
    // A key owned by the system whose list lets nobody write it: only taking ownership helps.
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + L"\\owned").c_str(), 0, nullptr, 0,
                                KEY_READ | WRITE_DAC | WRITE_OWNER, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:P(A;;KR;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    LONG owner = ::RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
    ::LocalFree(sd);
    ::RegCloseKey(key);
    if (owner != ERROR_SUCCESS)
        GTEST_SKIP() << "cannot give the key to another owner here: " << owner;
    HKEY probe = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, (m_base + L"\\owned").c_str(), 0, WRITE_DAC, &probe) == ERROR_SUCCESS) {
        ::RegCloseKey(probe);
        GTEST_SKIP() << "Wine lets the administrator write the list of a key it does not own";
    }
    const bool before = qkPrivilege::IsEnabled(nullptr, SE_TAKE_OWNERSHIP_NAME);
    DWORD result = Ensure(L"owned", KEY_WRITE, 0, 0);
    // The privilege is back in its earlier state whatever the outcome.
    EXPECT_EQ(qkPrivilege::IsEnabled(nullptr, SE_TAKE_OWNERSHIP_NAME), before);
    if (result == qkLib::kEnsureUnwritable)
        GTEST_SKIP() << "Wine does not let the take-ownership privilege open a key for WRITE_OWNER";
    EXPECT_EQ(result, qkLib::kEnsureWritten);
    EXPECT_EQ(Explicit(L"owned").back(), (Entry{0, m_user, 0x20006, 0}));
}

TEST(FileEnsureAccessFile, FileThatAlreadyGrantsTheRequest)
{
    systest::ScratchDir dir(L"ensurefile");
    const std::wstring file = dir / L"granted.txt";
    systest::WriteBytes(file, "x");
    qkAccessDescription access{{FILE_GENERIC_READ, 0, 0}, {0, 0, 0}};
    BYTE before[4096], after[4096];
    DWORD beforeSize = sizeof(before), afterSize = sizeof(after);
    ASSERT_TRUE(::GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, before, beforeSize, &beforeSize));
    DWORD result = qkLib::FileEnsureAccess(file.c_str(), nullptr, SE_FILE_OBJECT, access);
    ASSERT_TRUE(::GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, after, afterSize, &afterSize));
    EXPECT_EQ(result, qkLib::kEnsureAlreadyGranted);
    EXPECT_EQ(beforeSize, afterSize);
    EXPECT_EQ(std::memcmp(before, after, beforeSize), 0);
}

} // namespace
