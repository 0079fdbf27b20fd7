// Damaged store files, journals, blobs and value images: thousands of deterministic mutations,
// each of which must end in a result code (never a crash, never a hang).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "SettingsTestSupport.h"
#include "settings/blob/CNameValueBlob.h"
#include "settings/file/CDatabaseFile.h"
#include "settings/file/CSafeFile.h"
#include "settings/legacy/CLegacyDataStore.h"
#include "settings/objects/CValueTable.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/root/CDataRoot.h"

using namespace qkSettings;
using namespace settingstest;

namespace {

// A small deterministic generator, so that every run sees the same cases.
// One mutation: flip a byte, store a random or extreme word, or cut the data short.
void Mutate(Bytes& b, Lcg& rng)
{
    if (b.empty())
        return;
    switch (rng.Below(4)) {
    case 0:
        b[rng.Below(static_cast<DWORD>(b.size()))] ^= static_cast<unsigned char>(1u << rng.Below(8));
        break;
    case 1:
        if (b.size() >= 4) {
            static const DWORD extremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 512, 13, 16};
            DWORD v = rng.Below(2) ? rng.Next() : extremes[rng.Below(8)];
            std::memcpy(b.data() + rng.Below(static_cast<DWORD>(b.size() - 3)), &v, 4);
        }
        break;
    case 2:
        b.resize(rng.Below(static_cast<DWORD>(b.size())));
        break;
    default:
        for (int k = 0; k < 3; ++k)
            b[rng.Below(static_cast<DWORD>(b.size()))] = static_cast<unsigned char>(rng.Next());
        break;
    }
}

struct Section {
    explicit Section(const wchar_t* p)
    {
        NormalizePath(p, buffer);
        view = PathView(buffer);
    }
    CStringBuffer buffer;
    CountedString view;
};

// Every section of the sample store, read through the data root.
void ReadEverything(CDataRoot& root)
{
    for (const wchar_t* p : {L"", L"A", L"A\\B", L"C", L"C\\D\\E"}) {
        Section s(p);
        CValueTable t;
        root.GetValues(s.view, t);
        CNameValueBlob node;
        root.GetKeyNode(s.view, node);
    }
}

// Once the journal holds before-images, every change of the store fails: a commit that dies
// there, and whose roll back dies too, leaves the store as it was and a journal to roll back.
class DiesAfterJournal : public IFileWriteFaults {
public:
    explicit DiesAfterJournal(std::wstring store) : m_store(std::move(store)), m_log(m_store + L".log") {}
    NtStatus BeforeWrite(const wchar_t* name, ULONGLONG, DWORD*) override { return Check(name); }
    NtStatus BeforeFlush(const wchar_t* name) override { return Check(name); }
    NtStatus BeforeChange(const wchar_t* name) override { return Check(name); }
    void AfterWrite(const wchar_t* name, ULONGLONG offset, const void*, DWORD) override
    {
        if (offset > 0 && _wcsicmp(name, m_log.c_str()) == 0)
            m_dead = true;
    }

private:
    NtStatus Check(const wchar_t* name) const
    {
        return m_dead && _wcsicmp(name, m_store.c_str()) == 0 ? status::kUnsuccessful : status::kSuccess;
    }
    std::wstring m_store, m_log;
    bool m_dead = false;
};

} // namespace

TEST(Mutation, StoreFilesAndJournals)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"m.dat"), log = path + L".log", bak = path + L".bak";
    Bytes good, pendingDb, pendingLog;
    {
        CDataRoot root;
        CDataRoot::Options o;
        o.openExistingOnly = false;
        ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), o, nullptr));
        CValueTable t;
        CountedString n;
        MakeCountedString(L"value", n);
        Bytes big(1500, 7);
        ASSERT_EQ(status::kSuccess, t.Set(storetype::kBinary, n, big.data(), 1500));
        bool created;
        for (const wchar_t* p : {L"A\\B", L"C\\D\\E"}) {
            Section s(p);
            ASSERT_EQ(status::kSuccess, root.SetValues(s.view, t, false, &created));
        }
        root.Close();
        good = ReadAll(path);
        // A store left with a journal to roll back.
        ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), CDataRoot::Options{}, nullptr));
        CSafeFile::SetWriteFaults(std::make_shared<DiesAfterJournal>(path));
        Section c(L"C");
        EXPECT_FALSE(NtSuccess(root.SetValues(c.view, t, false, &created)));
        root.Close();
        CSafeFile::SetWriteFaults(nullptr);
        pendingDb = ReadAll(path);
        pendingLog = ReadAll(log);
    }
    ASSERT_FALSE(pendingLog.empty());

    Lcg rng(20261210);
    for (int i = 0; i < 600; ++i) {
        ::DeleteFileW(bak.c_str());
        bool journalCase = i % 3 == 2;
        Bytes db = journalCase ? pendingDb : good;
        Bytes journal = pendingLog;
        int rounds = 1 + static_cast<int>(rng.Below(3));
        for (int k = 0; k < rounds; ++k)
            Mutate(journalCase && rng.Below(2) ? journal : db, rng);
        WriteAll(path, db);
        if (journalCase)
            WriteAll(log, journal);
        else
            ::DeleteFileW(log.c_str());
        CDataRoot root;
        CDataRoot::Options o;
        o.flushWrites = false; // damage, not durability, is under test here
        o.readOnlyRequested = !journalCase;
        NtStatus st = root.Open(path.c_str(), o, nullptr);
        if (NtSuccess(st))
            ReadEverything(root);
    }
}

TEST(Mutation, BlobsAndValueImages)
{
    CNameValueBlob blob;
    Bytes record(24, 0);
    for (const wchar_t* name : {L"alpha", L"Beta", L"gamma-delta", L"e"}) {
        CountedString n;
        MakeCountedString(name, n);
        ASSERT_EQ(status::kSuccess, blob.SetValue(n, record.data()));
    }
    Bytes blobBytes(blob.TotalSize());
    DWORD size = blob.TotalSize();
    ASSERT_EQ(status::kSuccess, blob.Serialize(blobBytes.data(), &size));

    CValueTable table;
    CountedString n;
    MakeCountedString(L"d", n);
    DWORD d = 5;
    ASSERT_EQ(status::kSuccess, table.Set(storetype::kDword, n, &d, 4));
    MakeCountedString(L"text", n);
    ASSERT_EQ(status::kSuccess, table.Set(storetype::kString, n, L"abc", 6));
    std::vector<BYTE> image;
    ASSERT_EQ(status::kSuccess, table.SaveImage(image));
    const Bytes imageBytes(image.begin(), image.end());

    Lcg rng(7);
    for (int i = 0; i < 5000; ++i) {
        Bytes b = i % 2 ? blobBytes : imageBytes;
        int rounds = 1 + static_cast<int>(rng.Below(3));
        for (int k = 0; k < rounds; ++k)
            Mutate(b, rng);
        if (i % 2) {
            CNameValueBlob parsed;
            if (NtSuccess(parsed.Parse(b.data(), static_cast<DWORD>(b.size())))) {
                // What parses serialises again within its stated size.
                Bytes out(parsed.TotalSize());
                DWORD outSize = parsed.TotalSize();
                EXPECT_EQ(status::kSuccess, parsed.Serialize(out.data(), &outSize));
            }
        } else {
            CValueTable loaded;
            if (NtSuccess(loaded.LoadImage(b.data(), static_cast<DWORD>(b.size())))) {
                std::vector<BYTE> again;
                EXPECT_EQ(status::kSuccess, loaded.SaveImage(again));
            }
        }
    }
}

TEST(Mutation, LegacyFiles)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    {
        CLegacyDataStore store;
        ASSERT_EQ(result::kOk, store.OpenStore(path.c_str(), true, false, false));
        Bytes data(40, 3);
        ULONGLONG id;
        for (const wchar_t* name : {L"Keys\\A", L"Keys\\B\\C", L"Other"})
            ASSERT_TRUE(store.AddValue(name, data.data(), static_cast<DWORD>(data.size()), &id));
    }
    const Bytes good = ReadAll(path);
    Lcg rng(4242);
    for (int i = 0; i < 600; ++i) {
        Bytes b = good;
        int rounds = 1 + static_cast<int>(rng.Below(3));
        for (int k = 0; k < rounds; ++k)
            Mutate(b, rng);
        WriteAll(path, b);
        CLegacyDataStore store;
        LegacyTreeNode root(L"", &store);
        std::vector<ULONGLONG> ids;
        store.SetRecordHandler([&](const wchar_t* name, ULONGLONG id, DWORD) {
            ids.push_back(id);
            return root.AddChild(name, wcslen(name));
        });
        if (store.OpenStore(path.c_str(), false, false, true) != result::kOk || !store.Load())
            continue;
        for (ULONGLONG id : ids) {
            BYTE buffer[64];
            DWORD size = sizeof(buffer);
            store.ReadValue(id, buffer, &size);
        }
    }
}
