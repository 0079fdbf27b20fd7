#include "common/system/CIsolation.h"
#include "common/system/qkFolderTrust.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <filesystem>

namespace fs = std::filesystem;
using systest::ScratchDir;

namespace {

const wchar_t kSilo[] = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

TEST(CIsolation, GuidText)
{
    struct Case {
        const wchar_t* text;
        bool ok;
    } cases[] = {
        {L"{56173B10-912C-4921-9AA2-3D4039DA1785}", true},
        {L"{56173b10-912c-4921-9aa2-3d4039da1785}", true},
        {L"{56173B10-912C-4921-9AA2-3D4039DA178G}", false},  // last digit not hexadecimal
        {L"{56173B10-912C-4921-9AA2-3D4039DA178}", false},   // 37 characters
        {L"{56173B10-912C-4921-9AA2-3D4039DA17850}", false}, // 39 characters
        {L"56173B10-912C-4921-9AA2-3D4039DA1785}{", false},
        {L"{56173B10+912C-4921-9AA2-3D4039DA1785}", false},
        {L"{56173B10-912C-4921-9AA23-D4039DA1785}", false},
        {L"", false},
        {nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CIsolation::IsGuidText(c.text), c.ok) << (c.text ? c.text : L"(null)");
}

TEST(CIsolation, KeyLookupInText)
{
    struct Case {
        const wchar_t* text;
        const wchar_t* key;
        bool found;
        const wchar_t* value;
    } cases[] = {
        {L"[isolation]\r\nsilo=abc\r\n", L"silo", true, L"abc"},
        {L"[ISOLATION]\r\nSILO=abc", L"silo", true, L"abc"},                // letter case; last line without CR LF
        {L"[isolation]\r\n  silo  =  abc  \r\n", L"silo", true, L"abc"},    // spaces round "="
        {L"[isolation]\r\n\tsilo\t=\tabc\t\r\n", L" silo\t", true, L"abc"}, // tabs; key trimmed
        {L"[isolation]\nsilo=abc\n", L"silo", true, L"abc"},                // LF-only lines
        {L"[isolation]\r\nsilo2=abc\r\n", L"silo", false, L""},             // names match exactly
        {L"[isolation]\r\nsilo2=x\r\nsilo=abc\r\n", L"silo", true, L"abc"},
        {L"[isolation]\r\nsil=abc\r\n", L"silo", false, L""},
        {L"[isolation]\r\nreghive=a\r\n[other]\r\nsilo=abc\r\n", L"silo", false, L""}, // next header ends it
        {L"[other]\r\nsilo=x\r\n[isolation]\r\nsilo=abc\r\n", L"silo", true, L"abc"},
        {L"silo=abc\r\n", L"silo", false, L""},                 // outside any section
        {L"[isolation2]\r\nsilo=abc\r\n", L"silo", false, L""}, // section names match exactly
        {L"[ isolation ]\r\nsilo=abc\r\n", L"silo", true, L"abc"},
        {L"[isolation]\r\n;silo=x\r\n#silo=y\r\n\r\nsilo=abc\r\n", L"silo", true, L"abc"}, // comments
        {L"[isolation]\r\nsilo\r\nsilo=abc\r\n", L"silo", false, L""}, // first match without "=" ends it
        {L"[isolation]\r\nsilo=a=b\r\n", L"silo", true, L"a=b"},       // value after the first "="
        {L"[isolation]\r\nsilo=\r\n", L"silo", true, L""},
        {L"", L"silo", false, L""},
        {L"[isolation]\r\nsilo=abc\r\n", L"", false, L""},
    };
    for (const auto& c : cases) {
        std::wstring value = L"junk";
        EXPECT_EQ(CIsolation::LookupIniKey(c.text, c.key, value), c.found) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(CIsolation, ReadIniValueFromFiles)
{
    ScratchDir dir(L"iniread");
    const std::wstring ansi = dir / L"ansi.ini";
    const std::wstring wide = dir / L"wide.ini";
    const std::wstring lf = dir / L"lf.ini";
    const std::wstring empty = dir / L"empty.ini";
    systest::WriteBytes(
        ansi, "; comment\r\n[Isolation]\r\nsilo = {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\nreghive=Software\\Vek\r\n");
    systest::WriteUtf16(
        wide,
        L"; comment\r\n[Isolation]\r\nsilo = {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\nreghive=Software\\Vek\r\n");
    systest::WriteBytes(lf, "[isolation]\nsilo={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\nreghive=Software\\Vek\n");
    systest::WriteBytes(empty, "");

    for (const std::wstring& file : {ansi, wide, lf}) {
        wchar_t out[40];
        EXPECT_EQ(CIsolation::ReadIniValue(L"silo", L"", out, 40, file.c_str()), 38u) << file;
        EXPECT_STREQ(out, kSilo);
        wchar_t root[100];
        EXPECT_EQ(CIsolation::ReadIniValue(L"reghive", L"def", root, 100, file.c_str()), 12u);
        EXPECT_STREQ(root, L"Software\\Vek");
        EXPECT_EQ(CIsolation::ReadIniValue(L"missing", L"def", root, 100, file.c_str()), 3u);
        EXPECT_STREQ(root, L"def");
    }

    // A value that fills the buffer comes back as size - 1 characters; a default is cut at size - 2.
    wchar_t small[10];
    EXPECT_EQ(CIsolation::ReadIniValue(L"silo", L"", small, 10, ansi.c_str()), 9u);
    EXPECT_STREQ(small, L"{0A1B2C3D");
    EXPECT_EQ(CIsolation::ReadIniValue(L"x", L"0123456789", small, 10, ansi.c_str()), 8u);
    EXPECT_STREQ(small, L"01234567");

    // Missing and empty files give the default; null arguments give 0.
    wchar_t out[40];
    EXPECT_EQ(CIsolation::ReadIniValue(L"silo", L"d", out, 40, empty.c_str()), 1u);
    EXPECT_EQ(CIsolation::ReadIniValue(L"silo", nullptr, out, 40, (dir / L"none.ini").c_str()), 0u);
    EXPECT_STREQ(out, L"");
    EXPECT_EQ(CIsolation::ReadIniValue(L"silo", L"d", nullptr, 40, ansi.c_str()), 0u);
    EXPECT_EQ(CIsolation::ReadIniValue(L"silo", L"d", out, 40, nullptr), 0u);
}

TEST(CIsolation, FindsIniUpTheFolderTree)
{
    ScratchDir dir(L"inifind");
    fs::create_directories(dir.Path() / L"a" / L"b" / L"c");
    const std::wstring module = dir / L"a\\b\\c\\prog.exe";
    wchar_t found[MAX_PATH];

    EXPECT_EQ(CIsolation::FindIsolateIniFrom(module.c_str(), found), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(found, L"");

    // Two folders above the module.
    systest::WriteBytes(dir / L"a\\isolate.ini", "[isolation]\r\n");
    ASSERT_EQ(CIsolation::FindIsolateIniFrom(module.c_str(), found), 0u);
    EXPECT_EQ(fs::path(found), dir.Path() / L"a" / L"isolate.ini");

    // One beside the module wins over one above it.
    systest::WriteBytes(dir / L"a\\b\\c\\isolate.ini", "[isolation]\r\n");
    ASSERT_EQ(CIsolation::FindIsolateIniFrom(module.c_str(), found), 0u);
    EXPECT_EQ(fs::path(found), dir.Path() / L"a" / L"b" / L"c" / L"isolate.ini");

    EXPECT_EQ(CIsolation::FindIsolateIni(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CIsolation, SearchStopsAtTheShareRoot)
{
    wchar_t found[MAX_PATH];
    // No server answers here: every candidate is missing, and the search ends at the share root
    // instead of looking at the server name alone.
    EXPECT_EQ(CIsolation::FindIsolateIniFrom(L"\\\\vek-no-server\\share\\dir\\prog.exe", found),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(CIsolation, RegistryRootFromIni)
{
    ScratchDir dir(L"iniroot");
    const std::wstring ini = dir / L"isolate.ini";
    wchar_t root[CIsolation::kRootChars];

    systest::WriteBytes(ini, "[isolation]\r\nreghive=Software\\VekSiloTest\r\n");
    EXPECT_EQ(CIsolation::GetSiloRegistryRoot(root, ini.c_str()), 0u);
    EXPECT_STREQ(root, L"Software\\VekSiloTest");

    systest::WriteBytes(ini, "[isolation]\r\nsilo=x\r\n");
    EXPECT_EQ(CIsolation::GetSiloRegistryRoot(root, ini.c_str()), 0u);
    EXPECT_STREQ(root, L"Software\\Talvern\\Isolation");

    // 98 characters are accepted, 99 are too long.
    std::string longRoot = "Software\\" + std::string(89, 'k');
    systest::WriteBytes(ini, "[isolation]\r\nreghive=" + longRoot + "\r\n");
    EXPECT_EQ(CIsolation::GetSiloRegistryRoot(root, ini.c_str()), 0u);
    EXPECT_EQ(std::wcslen(root), 98u);
    systest::WriteBytes(ini, "[isolation]\r\nreghive=" + longRoot + "k\r\n");
    EXPECT_EQ(CIsolation::GetSiloRegistryRoot(root, ini.c_str()), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    EXPECT_EQ(CIsolation::GetSiloRegistryRoot(nullptr, ini.c_str()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CIsolation, Native64ViewFlag)
{
    ScratchDir dir(L"ininative");
    const std::wstring ini = dir / L"isolate.ini";
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    struct Case {
        const char* text;
        DWORD expected;
    } cases[] = {
        {"[isolation]\r\nNative64=1\r\n", wow64 ? DWORD(KEY_WOW64_64KEY) : 0u},
        {"[isolation]\r\nnative64=1yes\r\n", wow64 ? DWORD(KEY_WOW64_64KEY) : 0u}, // the first character counts
        {"[isolation]\r\nNative64=0\r\n", 0u},
        {"[isolation]\r\n", 0u},
    };
    for (const auto& c : cases) {
        systest::WriteBytes(ini, c.text);
        DWORD flag = 0xDEAD;
        EXPECT_EQ(CIsolation::ReadNative64(&flag, ini.c_str()), 0u);
        EXPECT_EQ(flag, c.expected) << c.text;
    }
    if (!wow64)
        std::printf("note: 64-bit process, the 0x100 answer of a WOW64 process is not exercised here\n");
}

// The silo itself is set once per process: each case runs the probe in a process of its own.
class CIsolationProcess : public ::testing::Test {
protected:
    CIsolationProcess() : m_dir(L"siloprobe") {}

    std::string Run(const std::wstring& subFolder, const std::wstring& ops)
    {
        return systest::RunProbeIn(m_dir.Path() / subFolder, ops);
    }

    ScratchDir m_dir;
};

TEST_F(CIsolationProcess, SiloFromIniTwoFoldersUp)
{
    systest::WriteBytes(
        m_dir / L"isolate.ini",
        "[Isolation]\r\nsilo = {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\nreghive=Software\\VekSiloTest\r\n");
    EXPECT_EQ(Run(L"a\\b", L"get"), "id={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\n"
                                    "path=Software\\VekSiloTest\\{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\nflag=0\n");
    // The root from the ini applies again; a caller's root afterwards changes nothing.
    EXPECT_EQ(Run(L"a", L"rootini root:SOFTWARE\\Other get"),
              "setroot=1\nsetroot=1\n"
              "id={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\n"
              "path=Software\\VekSiloTest\\{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\nflag=0\n");
}

TEST_F(CIsolationProcess, IniWithoutSiloOrWithBadSilo)
{
    systest::WriteBytes(m_dir / L"isolate.ini", "[isolation]\r\nsilo2={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\n");
    EXPECT_EQ(Run(L"a", L"get"), "id=(null)\npath=(null)\nflag=0\n");
    systest::WriteBytes(m_dir / L"isolate.ini", "[isolation]\r\nsilo={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}x\r\n");
    EXPECT_EQ(Run(L"a", L"get rootini"), "id=(null)\npath=(null)\nflag=0\nsetroot=0\n");
}

TEST_F(CIsolationProcess, CallerSetsSiloAndRoot)
{
    // No ini: the getters answer null and leave the silo unset, so the caller's values still apply.
    EXPECT_EQ(Run(L"noini", L"get id:{56173B10-912C-4921-9AA2-3D4039DA1785} root:SOFTWARE\\Vallor get "
                            L"root:SOFTWARE\\Other id:{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9} get"),
              "id=(null)\npath=(null)\nflag=0\n"
              "setid=1\nsetroot=1\n"
              "id={56173B10-912C-4921-9AA2-3D4039DA1785}\npath=SOFTWARE\\Vallor\\{56173B10-912C-4921-9AA2-3D4039DA1785}"
              "\nflag=0\n"
              "setroot=1\nsetid=1\n"
              "id={56173B10-912C-4921-9AA2-3D4039DA1785}\npath=SOFTWARE\\Vallor\\{56173B10-912C-4921-9AA2-3D4039DA1785}"
              "\nflag=0\n");
    // Without the root the default root applies.
    EXPECT_EQ(Run(L"noini", L"id:{56173B10-912C-4921-9AA2-3D4039DA1785} get"),
              "setid=1\nid={56173B10-912C-4921-9AA2-3D4039DA1785}\n"
              "path=Software\\Talvern\\Isolation\\{56173B10-912C-4921-9AA2-3D4039DA1785}\nflag=0\n");
    // A malformed id and a root before any silo are refused.
    EXPECT_EQ(Run(L"noini", L"id:{56173B10-912C-4921-9AA2-3D4039DA178Z} root:SOFTWARE\\Vallor get"),
              "setid=0\nsetroot=0\nid=(null)\npath=(null)\nflag=0\n");
}

TEST_F(CIsolationProcess, ConcurrentSettersAgreeOnOneSilo)
{
    std::string output = Run(L"race", L"race");
    EXPECT_EQ(output.rfind("distinct=1 {", 0), 0u) << output;
    EXPECT_NE(output.find("-0000-0000-0000-000000000000} Software\\Talvern\\Isolation\\{"), std::string::npos)
        << output;
}

// Lets every account create, change and delete entries in the folder, as the shared data folder
// under ProgramData lets its users create them.
void LetEveryoneWrite(const std::wstring& folder)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
    PACL widened = nullptr;
    ASSERT_EQ(::SetEntriesInAclW(1, &access, dacl, &widened), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD set = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION, nullptr, nullptr, widened, nullptr);
    ::LocalFree(widened);
    ::LocalFree(descriptor);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
}

// With full rights, an isolate.ini in a folder that other accounts may write is not read: a user
// could plant one above the run task's copy of the launcher. The launcher's own silo then holds,
// even when the file names another silo, the 64-bit view and a registry root too long to use.
TEST_F(CIsolationProcess, IniWhereOthersCanWriteIsIgnoredWithFullRights)
{
    const std::wstring launcherSilo = L"{56173B10-912C-4921-9AA2-3D4039DA1785}";
    const std::wstring launcherOps = L"get id:" + launcherSilo + L" root:SOFTWARE\\Vallor get";
    const std::string launcher = "id=(null)\npath=(null)\nflag=0\nsetid=1\nsetroot=1\n"
                                 "id={56173B10-912C-4921-9AA2-3D4039DA1785}\n"
                                 "path=SOFTWARE\\Vallor\\{56173B10-912C-4921-9AA2-3D4039DA1785}\nflag=0\n";
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    const std::string flag = wow64 ? "256" : "0";
    // The file read: its silo first, then the launcher's root replaces the file's.
    const std::string fromIni = "id={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\n"
                                "path=Software\\VekPlanted\\{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\nflag=" +
                                flag + "\nsetid=1\nsetroot=1\nid={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\n"
                                       "path=SOFTWARE\\Vallor\\{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\nflag=" +
                                flag + "\n";
    const std::string goodRoot = "reghive=Software\\VekPlanted\r\n";
    const std::string badRoot = "reghive=Software\\" + std::string(95, 'k') + "\r\n";
    struct Case {
        const char* name;
        bool othersMayWrite;
        std::string root;
        std::string expected;
    } cases[] = {
        {"planted, a root too long", true, badRoot, launcher},
        {"planted, a usable root", true, goodRoot, launcher},
        {"an administrator's file", false, goodRoot, fromIni},
    };
    const bool fullRights = qkFolderTrust::HasFullRights();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring folder = m_dir / (c.othersMayWrite ? L"shared" : L"own");
        fs::create_directories(folder);
        if (c.othersMayWrite)
            LetEveryoneWrite(folder);
        systest::WriteBytes(folder + L"\\isolate.ini",
                            "[isolation]\r\nsilo={0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\r\nNative64=1\r\n" + c.root);
        const std::wstring program = std::wstring(c.othersMayWrite ? L"shared" : L"own") + L"\\bin";
        if (c.othersMayWrite && !fullRights) {
            std::printf("note: without full rights the planted file is read, as every file is\n");
            continue;
        }
        EXPECT_EQ(Run(program, launcherOps), c.expected);
    }
}

} // namespace
