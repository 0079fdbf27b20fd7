// The safe file: positioned I/O, strict read-only writes, copy, delete, backup and restore.
#include <gtest/gtest.h>

#include "SettingsTestSupport.h"
#include "settings/file/CSafeFile.h"

using namespace qkSettings;
using namespace settingstest;

namespace {

NtStatus OpenFile(CSafeFile& file, const Name& name, DWORD access, DWORD disposition, bool strict = false)
{
    FileOpenParams p;
    p.name = &name.cs;
    p.desiredAccess = access;
    p.shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    p.creationDisposition = disposition;
    p.strict = strict;
    return file.Open(p);
}

} // namespace

TEST(SafeFile, PositionedIoAndStrictReadOnly)
{
    TempDir dir;
    Name path(dir.Path(L"store.dat"));
    CSafeFile f;
    Name empty(L"");
    EXPECT_EQ(status::kInvalidParameter, OpenFile(f, empty, GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(status::kNameNotFound, OpenFile(f, path, GENERIC_READ, OPEN_EXISTING));
    ASSERT_EQ(status::kSuccess, OpenFile(f, path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
    DWORD n = 0;
    ASSERT_EQ(status::kSuccess, f.WriteAt(4, "abcd", 4, &n));
    EXPECT_EQ(4u, n);
    ULONGLONG size = 0;
    ASSERT_EQ(status::kSuccess, f.GetSize(&size));
    EXPECT_EQ(8u, size);
    char buf[8] = {};
    ASSERT_EQ(status::kSuccess, f.ReadAt(5, buf, 8, &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(std::string("bcd"), std::string(buf, 3));
    ASSERT_EQ(status::kSuccess, f.SetSize(2));
    ASSERT_EQ(status::kSuccess, f.GetSize(&size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(status::kInvalidParameter, f.Write(nullptr, 3, &n));
    f.Close();

    CSafeFile ro;
    ASSERT_EQ(status::kSuccess, OpenFile(ro, path, GENERIC_READ, OPEN_EXISTING, true));
    EXPECT_EQ(status::kUnsuccessful, ro.Write("x", 1, &n));
    CSafeFile loose;
    ASSERT_EQ(status::kSuccess, OpenFile(loose, path, GENERIC_READ, OPEN_EXISTING, false));
    EXPECT_EQ(status::kAccessDenied, loose.Write("x", 1, &n));
}

TEST(SafeFile, CopyDeleteAndMarkForDeletion)
{
    TempDir dir;
    Name src(dir.Path(L"a.dat")), dst(dir.Path(L"b.dat")), other(dir.Path(L"c.dat"));
    WriteAll(src.text, {});
    CSafeFile f;
    ASSERT_EQ(status::kSuccess, OpenFile(f, src, GENERIC_READ, OPEN_EXISTING));
    ASSERT_EQ(status::kSuccess, f.CopyTo(dst));
    EXPECT_TRUE(Exists(dst.text));
    EXPECT_TRUE(ReadAll(dst.text).empty());
    f.Close();

    // Larger than one chunk, source position kept.
    Bytes big(20000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    WriteAll(src.text, big);
    ASSERT_EQ(status::kSuccess, OpenFile(f, src, GENERIC_READ, OPEN_EXISTING));
    DWORD n;
    char skip[10];
    ASSERT_EQ(status::kSuccess, f.Read(skip, 10, &n));
    ASSERT_EQ(status::kSuccess, f.CopyTo(other));
    EXPECT_EQ(big, ReadAll(other.text));
    ULONGLONG pos = 0;
    ASSERT_EQ(status::kSuccess, f.Tell(&pos));
    EXPECT_EQ(10u, pos);
    // Existing destination: refused, untouched.
    EXPECT_FALSE(NtSuccess(f.CopyTo(dst)));
    EXPECT_TRUE(ReadAll(dst.text).empty());
    f.Close();

    EXPECT_EQ(status::kSuccess, CSafeFile::DeleteFile(dst));
    EXPECT_FALSE(Exists(dst.text));
    EXPECT_EQ(status::kSuccess, CSafeFile::DeleteFile(dst));

    ASSERT_EQ(status::kSuccess, CSafeFile::InitializeModule());
    ASSERT_EQ(status::kSuccess, OpenFile(f, other, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_EXISTING));
    ASSERT_EQ(status::kSuccess, f.MarkForDeletion());
    f.Close();
    EXPECT_FALSE(Exists(other.text));
}

TEST(SafeFile, BackupAndRestore)
{
    TempDir dir;
    Name store(dir.Path(L"s.dat"));
    const std::wstring bak = store.text + L".bak", temp = store.text + L"._bak";
    WriteAll(store.text, {1, 2, 3});
    // A stale temporary copy from an interrupted save does not stop the backup.
    WriteAll(temp, {9});
    CSafeFile f;
    ASSERT_EQ(status::kSuccess, OpenFile(f, store, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING));
    ASSERT_EQ(status::kSuccess, f.MakeBackup());
    EXPECT_EQ(Bytes({1, 2, 3}), ReadAll(bak));
    EXPECT_FALSE(Exists(temp));
    DWORD n;
    ASSERT_EQ(status::kSuccess, f.WriteAt(0, "\x07", 1, &n));
    f.Close();
    ASSERT_EQ(status::kSuccess, CSafeFile::RestoreBackup(store));
    EXPECT_EQ(Bytes({1, 2, 3}), ReadAll(store.text));
    EXPECT_FALSE(Exists(bak));
    EXPECT_EQ(status::kNameNotFound, CSafeFile::RestoreBackup(store));
}
