// The data root: store creation, values by path, deletion, transactions, backups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SettingsTestSupport.h"
#include "settings/file/CSafeFile.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/root/CDataRoot.h"

using namespace qkSettings;
using namespace settingstest;

namespace {

CDataRoot::Options Create()
{
    CDataRoot::Options o;
    o.openExistingOnly = false;
    return o;
}

DWORD GetDword(CDataRoot& root, const wchar_t* path, const wchar_t* name)
{
    CValueTable t;
    EXPECT_TRUE(NtSuccess(root.GetValues(SectionPath(path), t)));
    CountedString n;
    MakeCountedString(name, n);
    DWORD v = 0, size = 4;
    EXPECT_EQ(status::kSuccess, t.Get(storetype::kDword, n, &v, &size));
    return v;
}

} // namespace

TEST(DataRoot, CreatesStoreWithRootRecordAndKeepsValues)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"s.dat");
    CDataRoot root;
    EXPECT_EQ(status::kNameNotFound, root.Open(path.c_str(), CDataRoot::Options{}, nullptr));
    ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), Create(), nullptr));
    bool created = false;
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"A\\B\\C"), Dword(L"x", 7), false, &created));
    EXPECT_TRUE(created);
    EXPECT_EQ(status::kSuccess, root.KeyExists(SectionPath(L"\\A\\B")));
    EXPECT_EQ(status::kNotFound, root.KeyExists(SectionPath(L"A\\Z")));
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"A\\B\\C"), Dword(L"y", 8), false, &created));
    EXPECT_FALSE(created);
    root.Close();
    EXPECT_FALSE(Exists(path + L".log"));

    // The root record: 48 bytes, version 2, key at 32 for 16 bytes.
    Bytes file = ReadAll(path);
    ULONGLONG rootId;
    std::memcpy(&rootId, file.data() + 24, 8);
    ASSERT_LT(rootId + 24 + 48, file.size());
    DWORD flags, length, version, keyOffset, keyLength;
    std::memcpy(&flags, file.data() + rootId + 8, 4);
    std::memcpy(&length, file.data() + rootId + 12, 4);
    std::memcpy(&version, file.data() + rootId + 24 + 16, 4);
    std::memcpy(&keyOffset, file.data() + rootId + 24 + 24, 4);
    std::memcpy(&keyLength, file.data() + rootId + 24 + 28, 4);
    EXPECT_EQ(6u, flags);
    EXPECT_EQ(48u, length);
    EXPECT_EQ(2u, version);
    EXPECT_EQ(32u, keyOffset);
    EXPECT_EQ(16u, keyLength);

    ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), CDataRoot::Options{}, nullptr));
    EXPECT_EQ(7u, GetDword(root, L"A\\B\\C", L"x"));
    EXPECT_EQ(8u, GetDword(root, L"a\\b\\c", L"Y"));
    CNameValueBlob node;
    ASSERT_EQ(status::kSuccess, root.GetKeyNode(SectionPath(L"A"), node));
    EXPECT_EQ(1u, node.Count());

    EXPECT_EQ(status::kSuccess, root.DeleteKey(SectionPath(L"A\\missing"), false));
    EXPECT_EQ(status::kAccessDenied, root.DeleteKey(SectionPath(L"\\"), false));
    ASSERT_EQ(status::kSuccess, root.DeleteKey(SectionPath(L"A\\B"), false));
    EXPECT_EQ(status::kNotFound, root.KeyExists(SectionPath(L"A\\B\\C")));
    EXPECT_EQ(status::kSuccess, root.KeyExists(SectionPath(L"A")));

    // A transaction reaches the file together or not at all.
    ASSERT_EQ(status::kSuccess, root.BeginTransaction());
    EXPECT_EQ(status::kUnsuccessful, root.BeginTransaction());
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"T1"), Dword(L"v", 1), false, &created));
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"T2"), Dword(L"v", 2), false, &created));
    ASSERT_EQ(status::kSuccess, root.AbortTransaction());
    EXPECT_EQ(status::kNotFound, root.KeyExists(SectionPath(L"T1")));
    ASSERT_EQ(status::kSuccess, root.BeginTransaction());
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"T1"), Dword(L"v", 1), false, &created));
    ASSERT_EQ(status::kSuccess, root.CommitTransaction());
    EXPECT_EQ(1u, GetDword(root, L"T1", L"v"));

    ASSERT_EQ(status::kSuccess, root.SetWriteProtect(true));
    EXPECT_EQ(status::kAccessDenied, root.SetValues(SectionPath(L"T1"), Dword(L"v", 5), false, &created));
    EXPECT_EQ(status::kSuccess, root.SetValues(SectionPath(L"T1"), Dword(L"v", 5), true, &created));
    DWORD keyFlags = 0;
    ASSERT_EQ(status::kSuccess, root.GetKeyFlags(SectionPath(L"T1"), &keyFlags));
    EXPECT_EQ(0x800u, keyFlags);
}

TEST(DataRoot, BackupsAndRestore)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"s.dat");
    CDataRoot root;
    ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), Create(), nullptr));
    bool enabled = false, created;
    ASSERT_EQ(status::kSuccess, root.AreBackupsEnabled(&enabled));
    EXPECT_TRUE(enabled);
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"S"), Dword(L"v", 1), false, &created));
    ASSERT_EQ(status::kSuccess, root.Refresh(false)); // a fresh backup holding S
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"S"), Dword(L"v", 2), false, &created));
    root.Close();
    ASSERT_TRUE(Exists(path + L".bak"));

    // Opening never changes a store: a damaged one fails to open, read only or not, and
    // neither it nor its backup is touched.
    Bytes file = ReadAll(path);
    file[512 + 20] ^= 0xFF; // header CRC of the first record block
    WriteAll(path, file);
    const Bytes backup = ReadAll(path + L".bak");
    CDataRoot::Options readOnly;
    readOnly.readOnlyRequested = true;
    for (const CDataRoot::Options& o : {CDataRoot::Options{}, readOnly}) {
        EXPECT_FALSE(NtSuccess(root.Open(path.c_str(), o, nullptr)));
        EXPECT_EQ(file, ReadAll(path));
        EXPECT_EQ(backup, ReadAll(path + L".bak"));
    }
    // A sound store opened for writing is not copied either; Refresh makes the copy.
    ASSERT_TRUE(::DeleteFileW(path.c_str()));
    ASSERT_TRUE(::MoveFileW((path + L".bak").c_str(), path.c_str()));
    ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), CDataRoot::Options{}, nullptr));
    EXPECT_FALSE(Exists(path + L".bak"));
    EXPECT_EQ(1u, GetDword(root, L"S", L"v"));
    ASSERT_EQ(status::kSuccess, root.Refresh(false));
    EXPECT_TRUE(Exists(path + L".bak"));

    // "SuppressBackups" as a DWORD 1 turns them off; as 0 or with 8 bytes they stay on.
    ASSERT_EQ(status::kSuccess,
              root.SetValues(SectionPath(L"qkSettingsData"), Dword(L"SuppressBackups", 1), false, &created));
    ASSERT_EQ(status::kSuccess, root.AreBackupsEnabled(&enabled));
    EXPECT_FALSE(enabled);
    ASSERT_EQ(status::kSuccess,
              root.SetValues(SectionPath(L"qkSettingsData"), Dword(L"SuppressBackups", 0), false, &created));
    ASSERT_EQ(status::kSuccess, root.AreBackupsEnabled(&enabled));
    EXPECT_TRUE(enabled);
}

// An empty backup (a copy that never reached the disk) is never put in place of the store.
TEST(DataRoot, EmptyBackupIsNotRestored)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"s.dat");
    WriteAll(path, Bytes(1024, 9));
    WriteAll(path + L".bak", Bytes());
    Name name(path);
    EXPECT_FALSE(NtSuccess(CSafeFile::RestoreBackup(name)));
    EXPECT_EQ(Bytes(1024, 9), ReadAll(path));
}

// One value set by name; a key's values record and node read as bytes, sized by the caller.
TEST(DataRoot, SetValueAndRawReads)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"s.dat");
    CDataRoot root;
    ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), Create(), nullptr));
    bool created = false;
    DWORD seven = 7;
    Name x(L"x");
    EXPECT_EQ(status::kInvalidParameter, root.SetValue(SectionPath(L"K\\L"), nullptr, storetype::kDword, &seven, 4,
                                                       false, &created));
    EXPECT_EQ(status::kInvalidParameter,
              root.SetValue(SectionPath(L"K\\L"), &x.cs, storetype::kDword, nullptr, 4, false, &created));
    ASSERT_EQ(status::kSuccess, root.SetValue(SectionPath(L"K\\L"), &x.cs, storetype::kDword, &seven, 4, false, &created));
    EXPECT_TRUE(created);
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"K\\L"), Dword(L"y", 8), false, &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(7u, GetDword(root, L"K\\L", L"x"));
    EXPECT_EQ(8u, GetDword(root, L"K\\L", L"y"));

    // The values record: too small a buffer tells the size; the bytes parse as the values.
    DWORD size = 4;
    BYTE small[4];
    ASSERT_EQ(status::kBufferTooSmall, root.ReadValuesBlob(SectionPath(L"K\\L"), small, &size));
    ASSERT_GT(size, 8u);
    std::vector<BYTE> raw(size);
    EXPECT_EQ(status::kInvalidParameter, root.ReadValuesBlob(SectionPath(L"K\\L"), nullptr, &size));
    ASSERT_EQ(status::kSuccess, root.ReadValuesBlob(SectionPath(L"K\\L"), raw.data(), &size));
    CValueTable parsed;
    ASSERT_EQ(status::kSuccess, parsed.LoadImage(raw.data(), size));
    EXPECT_EQ(2u, parsed.LiveCount());
    EXPECT_EQ(status::kNotFound, root.ReadValuesBlob(SectionPath(L"Missing"), raw.data(), &size));

    // The node of K lists L.
    size = 0;
    ASSERT_EQ(status::kBufferTooSmall, root.ReadKeyNode(SectionPath(L"K"), nullptr, &size));
    std::vector<BYTE> node(size);
    EXPECT_EQ(status::kInvalidParameter, root.ReadKeyNode(SectionPath(L"K"), nullptr, &size));
    ASSERT_EQ(status::kSuccess, root.ReadKeyNode(SectionPath(L"K"), node.data(), &size));
    CNameValueBlob blob;
    ASSERT_EQ(status::kSuccess, blob.Parse(node.data(), size));
    BYTE record[24];
    EXPECT_EQ(status::kSuccess, blob.CopyValue(Name(L"L"), record));
}

// Values of any size keep their bytes, whether they fit the entry inline or not, when one entry
// is overwritten with shorter and longer values and when a table goes through its image.
TEST(ValueTable, SizesAroundTheInlineLimitKeepTheirBytes)
{
    BYTE bytes[100];
    for (int i = 0; i < 100; ++i)
        bytes[i] = static_cast<BYTE>(i * 7 + 1);
    const DWORD kSizes[] = {9, 0, 8, 1, 100, 7, 16, 4};
    CountedString name;
    ASSERT_TRUE(SUCCEEDED(MakeCountedString(L"v", name)));
    CValueTable one, many;
    for (DWORD size : kSizes) {
        SCOPED_TRACE(size);
        ASSERT_EQ(status::kSuccess, one.Set(storetype::kBinary, name, bytes, size));
        const CStoredValue* v = one.Find(name);
        ASSERT_NE(nullptr, v);
        ASSERT_EQ(size, v->Size());
        EXPECT_EQ(0, std::memcmp(bytes, v->Data(), size));
        const std::wstring text = L"n" + std::to_wstring(size);
        CountedString n;
        ASSERT_TRUE(SUCCEEDED(MakeCountedString(text.c_str(), n)));
        ASSERT_EQ(status::kSuccess, many.Set(storetype::kBinary, n, bytes, size));
    }
    std::vector<BYTE> image;
    ASSERT_EQ(status::kSuccess, many.SaveImage(image));
    CValueTable loaded;
    ASSERT_EQ(status::kSuccess, loaded.LoadImage(image.data(), static_cast<DWORD>(image.size())));
    EXPECT_EQ(many.LiveCount(), loaded.LiveCount());
    for (DWORD size : kSizes) {
        const std::wstring text = L"n" + std::to_wstring(size);
        CountedString n;
        ASSERT_TRUE(SUCCEEDED(MakeCountedString(text.c_str(), n)));
        const CStoredValue* v = loaded.Find(n);
        ASSERT_NE(nullptr, v);
        ASSERT_EQ(size, v->Size());
        EXPECT_EQ(0, std::memcmp(bytes, v->Data(), size));
    }
}
