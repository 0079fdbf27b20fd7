#include "common/system/CPathHook.h"
#include "common/system/qkPathExpansion.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <filesystem>

namespace {

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH];
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE));
    return path;
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    EXPECT_TRUE(n > 0 && n < MAX_PATH) << name;
    return value;
}

// The 64-bit program folders as this process sees them: its own program folders in a 64-bit
// process; under WOW64 the system names them in the "...W6432" variables, since the process's own
// folders are the "(x86)" ones.
std::wstring NativeFolder(int csidl, const wchar_t* wow64Variable)
{
    BOOL wow64 = FALSE;
    EXPECT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
    return wow64 ? Environment(wow64Variable) : Folder(csidl);
}

class qkPathExpansionTest : public ::testing::Test {
protected:
    void SetUp() override { systest::TestSiloId(); }
};

TEST_F(qkPathExpansionTest, ExpansionTable)
{
    const std::wstring windows = Folder(CSIDL_WINDOWS);
    const std::wstring siloData = Folder(CSIDL_COMMON_APPDATA) + L"\\Talvern\\" + systest::TestSiloId();
    struct Case {
        const wchar_t* text;
        BOOL ok;
        std::wstring out;
    } cases[] = {
        {L"%Q", TRUE, L"%Q"}, // shorter than 3 characters
        {L"ab", TRUE, L"ab"},
        {L"C:\\plain\\path", TRUE, L"C:\\plain\\path"},
        {L"%QKROOT%", TRUE, L"C:\\vek\\root\\"},
        {L"%qkroot%qk.dll", TRUE, L"C:\\vek\\root\\qk.dll"},   // any letter case
        {L"%QkRoot%\\qk.dll", TRUE, L"C:\\vek\\root\\qk.dll"}, // doubled backslash collapses
        {L"%NESTED%\\f", TRUE, L"C:\\vek\\root\\sub\\f"},      // a value that holds a token
        {L"%TWICE%-%twice%", FALSE, L"%TWICE%-%twice%"},       // the same name in two spellings
        {L"%TWICE%-%TWICE%", TRUE, L"tw-tw"},                  // one token written twice
        {L"%LOOP%", FALSE, L"%LOOP%"},                         // a value holding itself
        {L"%UNC%\\dir", TRUE, L"\\\\server\\share\\dir"},      // a leading pair stays a pair
        {L"\\\\?\\C:\\\\x", TRUE, L"\\\\?\\C:\\x"},
        {L"%CSIDL_WINDOWS%", TRUE, windows},
        {L"%csidl_windows%\\x", TRUE, windows + L"\\x"},
        {L"%COMMON_SILO_DATA%", TRUE, siloData},
        {L"%QKDATA%", TRUE, siloData + L"\\data"}, // a subkey with "Path32"
        {L"abc%", FALSE, L"abc%"},                 // a lone percent sign at the end
        {L"ab%cd", FALSE, L"ab%cd"},               // a single percent sign inside
        {L"ab%%cd", FALSE, L"ab%%cd"},             // two adjacent percent signs
        {L"%NOSUCHTOKEN%", FALSE, L"%NOSUCHTOKEN%"},
        {L"C:\\\\a\\\\%NOSUCHTOKEN%", FALSE, L"C:\\a\\%NOSUCHTOKEN%"}, // cleaned even on failure
    };
    for (const auto& c : cases) {
        std::wstring out = L"junk";
        EXPECT_EQ(qkPathExpansion::ExpandPath(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
    std::wstring out;
    EXPECT_FALSE(qkPathExpansion::ExpandPath(nullptr, out));
}

TEST_F(qkPathExpansionTest, BuiltInFolderTable)
{
    // Every row is found by the binary search (so the table is in order), in any letter case.
    const wchar_t* names[] = {
        L"COMMON_SILO_DATA",
        L"CSIDL_ADMINTOOLS",
        L"CSIDL_ALTSTARTUP",
        L"CSIDL_APPDATA",
        L"CSIDL_BITBUCKET",
        L"CSIDL_CDBURN_AREA",
        L"CSIDL_COMMON_ADMINTOOLS",
        L"CSIDL_COMMON_ALTSTARTUP",
        L"CSIDL_COMMON_APPDATA",
        L"CSIDL_COMMON_DESKTOPDIRECTORY",
        L"CSIDL_COMMON_DOCUMENTS",
        L"CSIDL_COMMON_FAVORITES",
        L"CSIDL_COMMON_MUSIC",
        L"CSIDL_COMMON_OEM_LINKS",
        L"CSIDL_COMMON_PICTURES",
        L"CSIDL_COMMON_PROGRAMS",
        L"CSIDL_COMMON_STARTMENU",
        L"CSIDL_COMMON_STARTUP",
        L"CSIDL_COMMON_TEMPLATES",
        L"CSIDL_COMMON_VIDEO",
        L"CSIDL_COMPUTERSNEARME",
        L"CSIDL_CONNECTIONS",
        L"CSIDL_CONTROLS",
        L"CSIDL_COOKIES",
        L"CSIDL_DESKTOP",
        L"CSIDL_DESKTOPDIRECTORY",
        L"CSIDL_DRIVES",
        L"CSIDL_FAVORITES",
        L"CSIDL_FONTS",
        L"CSIDL_HISTORY",
        L"CSIDL_INTERNET",
        L"CSIDL_INTERNET_CACHE",
        L"CSIDL_LOCAL_APPDATA",
        L"CSIDL_MYMUSIC",
        L"CSIDL_MYPICTURES",
        L"CSIDL_MYVIDEO",
        L"CSIDL_NETHOOD",
        L"CSIDL_NETWORK",
        L"CSIDL_PERSONAL",
        L"CSIDL_PRINTERS",
        L"CSIDL_PRINTHOOD",
        L"CSIDL_PROFILE",
        L"CSIDL_PROGRAM_FILES",
        L"CSIDL_PROGRAM_FILES_COMMON",
        L"CSIDL_PROGRAM_FILES_COMMONX64",
        L"CSIDL_PROGRAM_FILES_COMMONX86",
        L"CSIDL_PROGRAM_FILESX64",
        L"CSIDL_PROGRAM_FILESX86",
        L"CSIDL_PROGRAMS",
        L"CSIDL_RECENT",
        L"CSIDL_RESOURCES",
        L"CSIDL_RESOURCES_LOCALIZED",
        L"CSIDL_SENDTO",
        L"CSIDL_STARTMENU",
        L"CSIDL_STARTUP",
        L"CSIDL_SYSTEM",
        L"CSIDL_SYSTEMX86",
        L"CSIDL_TEMPLATES",
        L"CSIDL_WINDOWS",
        L"LOCAL_SILO_DATA",
    };
    ASSERT_EQ(std::size(names), 60u);
    for (const wchar_t* name : names) {
        EXPECT_NE(qkPathExpansion::FindBuiltInToken(name), 0xFFFFFFFFu) << name;
        std::wstring lower(name);
        for (auto& ch : lower)
            ch = static_cast<wchar_t>(towlower(ch));
        EXPECT_EQ(qkPathExpansion::FindBuiltInToken(lower.c_str()), qkPathExpansion::FindBuiltInToken(name));
    }
    EXPECT_EQ(qkPathExpansion::FindBuiltInToken(L"CSIDL_WINDOWS"), static_cast<DWORD>(CSIDL_WINDOWS));
    EXPECT_EQ(qkPathExpansion::FindBuiltInToken(L"CSIDL_NOPE"), 0xFFFFFFFFu);
    EXPECT_EQ(qkPathExpansion::FindBuiltInToken(L"CSIDL_PROGRAM_FILESX64"), 0xF0000002u);

    // The 64-bit program folders come from the registry's 64-bit view, in either bitness.
    std::wstring programFiles;
    ASSERT_TRUE(qkPathExpansion::ResolveBuiltInToken(L"csidl_program_filesx64", programFiles));
    EXPECT_EQ(programFiles, NativeFolder(CSIDL_PROGRAM_FILES, L"ProgramW6432"));
    std::wstring common;
    ASSERT_TRUE(qkPathExpansion::ResolveBuiltInToken(L"CSIDL_PROGRAM_FILES_COMMONX64", common));
    EXPECT_EQ(common, NativeFolder(CSIDL_PROGRAM_FILES_COMMON, L"CommonProgramW6432"));
    std::wstring local;
    ASSERT_TRUE(qkPathExpansion::ResolveBuiltInToken(L"LOCAL_SILO_DATA", local));
    EXPECT_EQ(local, Folder(CSIDL_LOCAL_APPDATA) + L"\\Talvern\\" + systest::TestSiloId());
}

TEST_F(qkPathExpansionTest, RootPathIntoBuffer)
{
    wchar_t buffer[64];
    DWORD size = sizeof(buffer);
    ASSERT_TRUE(qkLib::GetRootPath(buffer, &size));
    EXPECT_STREQ(buffer, L"C:\\vek\\root\\");
    EXPECT_EQ(size, 2u * 12 + 2);
    size = 10;
    EXPECT_FALSE(qkLib::GetRootPath(buffer, &size));
    EXPECT_EQ(size, 2u * 12 + 2);
}

TEST_F(qkPathExpansionTest, AttachedHookReplacesTheRegistryMap)
{
    CPathHook& hook = CPathHook::Instance();
    ASSERT_TRUE(hook.SetToken(L"QkRoot", L"D:\\hook\\"));
    ASSERT_TRUE(hook.SetToken(L"QKROOT", L"D:\\hooked\\")); // replaces, name in lower case
    std::wstring out;
    // Not attached: the registry map answers.
    ASSERT_TRUE(qkPathExpansion::ExpandPath(L"%QKROOT%", out));
    EXPECT_EQ(out, L"C:\\vek\\root\\");
    EXPECT_EQ(CPathHook::GetCurrentRepository(), nullptr);

    hook.Attach(TRUE);
    hook.Attach(TRUE);
    EXPECT_EQ(CPathHook::GetCurrentRepository(), &hook);
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%qkroot%x", out));
    EXPECT_EQ(out, L"D:\\hooked\\x");
    // The registry map is not consulted while attached; built-in folders still are.
    EXPECT_FALSE(qkPathExpansion::ExpandPath(L"%NESTED%", out));
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%CSIDL_WINDOWS%", out));
    hook.Attach(FALSE); // still attached once
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%QKROOT%", out));
    EXPECT_EQ(out, L"D:\\hooked\\");
    hook.Attach(FALSE);
    EXPECT_EQ(CPathHook::GetCurrentRepository(), nullptr);
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%QKROOT%", out));
    EXPECT_EQ(out, L"C:\\vek\\root\\");
    // A detach too many is ignored: the next attach still installs the hook.
    hook.Attach(FALSE);
    hook.Attach(TRUE);
    EXPECT_EQ(CPathHook::GetCurrentRepository(), &hook);
    hook.Attach(FALSE);
    EXPECT_EQ(CPathHook::GetCurrentRepository(), nullptr);

    // The application-data extension comes from the map too; one that names a silo data folder
    // itself falls back to the default instead of recursing.
    const std::wstring common = Folder(CSIDL_COMMON_APPDATA);
    ASSERT_TRUE(hook.SetToken(L"APPDATAEXTENSION", L"VekExt"));
    hook.Attach(TRUE);
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%COMMON_SILO_DATA%", out));
    EXPECT_EQ(out, common + L"\\VekExt\\" + systest::TestSiloId());
    ASSERT_TRUE(hook.SetToken(L"APPDATAEXTENSION", L"%COMMON_SILO_DATA%"));
    EXPECT_TRUE(qkPathExpansion::ExpandPath(L"%COMMON_SILO_DATA%", out));
    EXPECT_EQ(out, common + L"\\Talvern\\" + systest::TestSiloId());
    hook.Attach(FALSE);

    std::wstring value;
    EXPECT_TRUE(CPathHook::ResolveToken(L"qkroot", value));
    EXPECT_FALSE(CPathHook::ResolveToken(L"nested", value));

    const GUID id = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    const GUID other = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 9}};
    EXPECT_FALSE(hook.Contains(id));
    ASSERT_TRUE(hook.SetModulePath(id, L"%QKROOT%\\a.dll"));
    EXPECT_TRUE(hook.Contains(id));
    EXPECT_FALSE(hook.Contains(other));
    std::wstring path;
    EXPECT_TRUE(hook.GetModulePath(id, path));
    EXPECT_EQ(path, L"%QKROOT%\\a.dll");
    EXPECT_FALSE(hook.GetModulePath(other, path));
}

TEST(qkPathExpansionNoSilo, NothingExpandsWithoutTheMap)
{
    // A process without a silo has no map: even a text without tokens fails.
    systest::ScratchDir dir(L"expandnosilo");
    EXPECT_EQ(systest::RunProbeIn(dir.Path(), L"expand:C:\\plain expand:%CSIDL_WINDOWS%"), "expand=0 \nexpand=0 \n");
}

} // namespace
