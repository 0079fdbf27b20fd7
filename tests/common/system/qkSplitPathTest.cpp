#include "common/system/qkSplitPath.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

struct SplitCase {
    const wchar_t* path;
    BOOL ok;
    const wchar_t* prefix;
    const wchar_t* drive;
    const wchar_t* directory;
    const wchar_t* fileName;
    const wchar_t* extension;
    const wchar_t* uncRoot;
    const wchar_t* server;
    const wchar_t* share;
};

TEST(qkSplitPath, SplitTable)
{
    const SplitCase cases[] = {
        // path                                   ok     prefix          drive  directory                 name      ext     UNC root                 server   share
        {L"C:\\dir\\sub\\file.txt", TRUE, L"", L"C:", L"\\dir\\sub\\", L"file", L".txt", L"", L"", L""},
        {L"C:\\dir\\archive.tar.gz", TRUE, L"", L"C:", L"\\dir\\", L"archive.tar", L".gz", L"", L"", L""},
        {L"C:", TRUE, L"", L"C:", L"", L"", L"", L"", L"", L""},
        {L"file", TRUE, L"", L"", L"", L"file", L"", L"", L"", L""},
        {L"dir\\.hidden", TRUE, L"", L"", L"dir\\", L"", L".hidden", L"", L"", L""},
        {L"\\rooted\\file.ext", TRUE, L"", L"", L"\\rooted\\", L"file", L".ext", L"", L"", L""},
        // long-path prefix: the drive lies inside the directory
        {L"\\\\?\\C:\\dir\\file.txt", TRUE, L"\\\\?\\", L"", L"\\\\?\\C:\\dir\\", L"file", L".txt", L"", L"", L""},
        {L"\\\\?\\C:\\", TRUE, L"\\\\?\\", L"", L"\\\\?\\C:\\", L"", L"", L"", L"", L""},
        {L"\\\\?\\ab", TRUE, L"\\\\?\\", L"", L"\\\\?\\", L"ab", L"", L"", L"", L""},
        // "\\?\UNC" is case-sensitive: lower-case letters make a plain long path
        {L"\\\\?\\unc\\srv\\share\\f.txt", TRUE, L"\\\\?\\", L"", L"\\\\?\\unc\\srv\\share\\", L"f", L".txt", L"", L"",
         L""},
        {L"\\\\?\\UNC\\srv\\share\\dir\\f.txt", TRUE, L"\\\\?\\UNC", L"", L"\\\\?\\UNC\\srv\\share\\dir\\", L"f",
         L".txt", L"\\\\?\\UNC\\srv\\share", L"srv", L"share"},
        {L"\\\\?\\UNC\\srv\\share", TRUE, L"\\\\?\\UNC", L"", L"", L"", L"", L"\\\\?\\UNC\\srv\\share", L"srv",
         L"share"},
        {L"\\\\?\\UNC\\srv", TRUE, L"\\\\?\\UNC", L"", L"", L"", L"", L"\\\\?\\UNC\\srv", L"srv", L""},
        // device and object-manager prefixes
        {L"\\\\.\\PhysicalDrive0", TRUE, L"\\\\.\\", L"", L"\\\\.\\", L"PhysicalDrive0", L"", L"", L"", L""},
        {L"\\\\.\\C:\\dir\\f.sys", TRUE, L"\\\\.\\", L"", L"\\\\.\\C:\\dir\\", L"f", L".sys", L"", L"", L""},
        {L"\\??\\C:\\dir\\f.dat", TRUE, L"\\??\\", L"", L"\\??\\C:\\dir\\", L"f", L".dat", L"", L"", L""},
        // network paths
        {L"\\\\server\\share", TRUE, L"", L"", L"", L"", L"", L"\\\\server\\share", L"server", L"share"},
        {L"\\\\server", TRUE, L"", L"", L"", L"", L"", L"\\\\server", L"server", L""},
        {L"\\\\server\\share\\dir\\f.txt", TRUE, L"", L"", L"\\\\server\\share\\dir\\", L"f", L".txt",
         L"\\\\server\\share", L"server", L"share"},
        {L"\\\\server\\share\\", TRUE, L"", L"", L"\\\\server\\share\\", L"", L"", L"\\\\server\\share", L"server",
         L"share"},
        // the start of a prefix without its closing "\" fails
        {L"\\\\", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\\\?", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\\\?x", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\\\.", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\\\.x\\", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\?", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
        {L"\\??x", FALSE, L"", L"", L"", L"", L"", L"", L"", L""},
    };
    for (const SplitCase& c : cases) {
        qkSplitPath split;
        split.m_longPath = L"stale";
        EXPECT_EQ(split.Split(c.path), c.ok) << c.path;
        if (!c.ok)
            continue;
        EXPECT_EQ(split.GetPath(), c.path);
        EXPECT_EQ(split.m_prefix, c.prefix) << c.path;
        EXPECT_EQ(split.m_drive, c.drive) << c.path;
        EXPECT_EQ(split.m_directory, c.directory) << c.path;
        EXPECT_EQ(split.m_fileName, c.fileName) << c.path;
        EXPECT_EQ(split.m_extension, c.extension) << c.path;
        EXPECT_EQ(split.m_uncRoot, c.uncRoot) << c.path;
        EXPECT_EQ(split.m_server, c.server) << c.path;
        EXPECT_EQ(split.m_share, c.share) << c.path;
        EXPECT_EQ(split.m_driveAndDirectory, std::wstring(c.drive) + c.directory) << c.path;
        EXPECT_EQ(split.m_nameAndExtension, std::wstring(c.fileName) + c.extension) << c.path;
        EXPECT_TRUE(split.m_longPath.empty()) << c.path;
    }
}

TEST(qkSplitPath, EmptyPathSplitsTheProgram)
{
    wchar_t program[MAX_PATH * 4];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L""}) {
        qkSplitPath split;
        ASSERT_TRUE(split.Split(path));
        EXPECT_EQ(split.GetPath(), program);
        EXPECT_EQ(split.m_nameAndExtension, L"common_system_tests.exe");
    }
    std::wstring folder;
    ASSERT_TRUE(qkSplitPath::GetModuleFolder(folder));
    EXPECT_EQ(fs::path(folder), systest::ExeFolder() / L"");
    EXPECT_EQ(folder.back(), L'\\');

    std::wstring system;
    ASSERT_TRUE(qkSplitPath::GetSystemDirectory(system));
    wchar_t expected[MAX_PATH];
    ::GetSystemDirectoryW(expected, MAX_PATH);
    EXPECT_EQ(system, expected);
}

TEST(qkSplitPath, LongPathOfShortName)
{
    systest::ScratchDir dir(L"splitlong");
    const std::wstring file = dir / L"A Long Folder Name\\Long File Name.text";
    fs::create_directories(dir.Path() / L"A Long Folder Name");
    systest::WriteBytes(file, "x");
    wchar_t shortPath[MAX_PATH];
    ASSERT_GT(::GetShortPathNameW(file.c_str(), shortPath, MAX_PATH), 0u);

    qkSplitPath split;
    ASSERT_TRUE(split.Split(shortPath));
    ASSERT_TRUE(split.SplitLongPath());
    wchar_t longPath[MAX_PATH];
    ASSERT_GT(::GetLongPathNameW(shortPath, longPath, MAX_PATH), 0u);
    EXPECT_EQ(split.m_longPath, longPath);
    EXPECT_EQ(split.m_longNameAndExtension, L"Long File Name.text");
    EXPECT_EQ(split.m_longFileName, L"Long File Name");
    EXPECT_EQ(split.m_longExtension, L".text");
    EXPECT_EQ(fs::path(split.m_longDriveAndDirectory), fs::path(longPath).parent_path() / L"");
    EXPECT_EQ(split.GetLongPath(), longPath);
    // The split members keep the short form.
    EXPECT_EQ(split.GetPath(), shortPath);

    // A path that does not exist: success with the long members empty.
    qkSplitPath missing;
    ASSERT_TRUE(missing.Split((dir / L"no such file.txt").c_str()));
    EXPECT_TRUE(missing.SplitLongPath());
    EXPECT_TRUE(missing.m_longPath.empty());
    EXPECT_TRUE(missing.m_longDriveAndDirectory.empty());
    EXPECT_TRUE(missing.GetLongPath().empty());
}

} // namespace
