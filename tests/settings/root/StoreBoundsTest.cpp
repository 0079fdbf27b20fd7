// Store files a writer of the format may legally or illegally produce: keys without a values
// record, subkeys that name an ancestor, value records with a bucket out of range; and the
// manager's answers around transactions and a closed store.
#include <gtest/gtest.h>

#include <cstring>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "settings/file/CDatabaseFile.h"
#include "settings/manager/qkSettingsModule.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/root/CDataRoot.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using namespace settingstest;

namespace {

// Leaves records as they are, so that the test can edit them in the file.
class PlainCipher : public ICipher {
public:
    DWORD GetBlockSize() override { return 8; }
    bool Encrypt(const void* s, DWORD n, void* t, DWORD* tn) override { return Copy(s, n, t, tn); }
    bool Decrypt(const void* s, DWORD n, void* t, DWORD* tn) override { return Copy(s, n, t, tn); }

private:
    static bool Copy(const void* s, DWORD n, void* t, DWORD* tn)
    {
        std::memmove(t, s, n);
        *tn = n;
        return true;
    }
};

// Direct access to the records of a closed store written with the plain cipher.
class Surgery {
public:
    explicit Surgery(const std::wstring& path) : m_name(path)
    {
        DatabaseOpenParams p;
        p.file.name = &m_name.cs;
        p.file.desiredAccess = GENERIC_READ | GENERIC_WRITE;
        p.blockSize = 512;
        p.signature = 0x73624343;
        p.keepDataCrcs = true;
        p.flushWrites = true;
        EXPECT_EQ(status::kSuccess, m_db.Open(p));
        CByteBuffer root;
        EXPECT_EQ(status::kSuccess, m_db.Read(m_db.RootRecord(), root));
        std::memcpy(&m_rootNode, root.Data(), 8);
        std::memcpy(&m_rootValues, root.Data() + 8, 8);
    }
    ~Surgery() { EXPECT_EQ(status::kSuccess, m_db.Checkpoint()); }

    ULONGLONG RootNode() const { return m_rootNode; }
    // The 24-byte record of a subkey in a node record.
    void GetEntry(ULONGLONG node, const wchar_t* name, BYTE record[24])
    {
        CByteBuffer buffer;
        ASSERT_EQ(status::kSuccess, m_db.Read(node, buffer));
        CNameValueBlob blob;
        ASSERT_EQ(status::kSuccess, blob.Parse(buffer.Data(), buffer.Size()));
        ASSERT_EQ(status::kSuccess, blob.CopyValue(Name(name), record));
    }
    void SetEntry(ULONGLONG node, const wchar_t* name, const BYTE record[24])
    {
        CByteBuffer buffer;
        ASSERT_EQ(status::kSuccess, m_db.Read(node, buffer));
        CNameValueBlob blob;
        ASSERT_EQ(status::kSuccess, blob.Parse(buffer.Data(), buffer.Size()));
        ASSERT_EQ(status::kSuccess, blob.SetValue(Name(name), record));
        CByteBuffer out;
        ASSERT_EQ(status::kSuccess, blob.SerializeToOwnBuffer(out));
        std::vector<BYTE> padded(out.Data(), out.Data() + blob.TotalSize());
        padded.resize((padded.size() + 7) / 8 * 8, 0);
        ASSERT_EQ(status::kSuccess, m_db.Update(node, padded.data(), static_cast<DWORD>(padded.size())));
    }
    // Drops the root key's values record from the root record.
    void DropRootValues()
    {
        CByteBuffer root;
        ASSERT_EQ(status::kSuccess, m_db.Read(m_db.RootRecord(), root));
        std::vector<BYTE> r(root.Data(), root.Data() + root.Size());
        std::memset(r.data() + 8, 0, 8);
        ASSERT_EQ(status::kSuccess, m_db.Update(m_db.RootRecord(), r.data(), static_cast<DWORD>(r.size())));
        ASSERT_EQ(status::kSuccess, m_db.Delete(m_rootValues));
    }
    void Patch(ULONGLONG record, DWORD offset, const void* bytes, DWORD n)
    {
        CByteBuffer buffer;
        ASSERT_EQ(status::kSuccess, m_db.Read(record, buffer));
        std::vector<BYTE> r(buffer.Data(), buffer.Data() + buffer.Size());
        std::memcpy(r.data() + offset, bytes, n);
        ASSERT_EQ(status::kSuccess, m_db.Update(record, r.data(), static_cast<DWORD>(r.size())));
    }

private:
    Name m_name;
    CDatabaseFile m_db;
    ULONGLONG m_rootNode = 0, m_rootValues = 0;
};

class StoreBounds : public testing::Test {
protected:
    void SetUp() override
    {
        path = dir.Path(L"s.dat");
        CDataRoot::Options o;
        o.openExistingOnly = false;
        ASSERT_EQ(status::kSuccess, root.Open(path.c_str(), o, &cipher));
        bool created;
        ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"A\\B"), Dword(L"v", 1), false, &created));
        root.Close();
    }
    NtStatus Reopen() { return root.Open(path.c_str(), CDataRoot::Options{}, &cipher); }
    DWORD Read(const wchar_t* section, const wchar_t* name)
    {
        CValueTable t;
        EXPECT_EQ(status::kSuccess, root.GetValues(SectionPath(section), t));
        DWORD v = 0, size = 4;
        EXPECT_EQ(status::kSuccess, t.Get(storetype::kDword, Name(name), &v, &size));
        return v;
    }

    TempDir dir;
    std::wstring path;
    PlainCipher cipher;
    CDataRoot root;
};

} // namespace

// A subkey that names one of its ancestors makes the tree a loop: deleting it is refused as a
// corrupt store, and the store is left as it was.
TEST_F(StoreBounds, SubkeyNamingAnAncestorIsCorruption)
{
    {
        Surgery s(path);
        BYTE a[24], b[24];
        s.GetEntry(s.RootNode(), L"A", a);
        ULONGLONG aNode;
        std::memcpy(&aNode, a, 8);
        s.GetEntry(aNode, L"B", b);
        ULONGLONG bNode;
        std::memcpy(&bNode, b, 8);
        s.SetEntry(bNode, L"Up", a); // A\B\Up is A again
    }
    ASSERT_EQ(status::kSuccess, Reopen());
    EXPECT_EQ(status::kFileCorrupt, root.DeleteKey(SectionPath(L"A"), false));
    EXPECT_EQ(status::kFileCorrupt, root.DeleteKey(SectionPath(L"A\\B"), false));
    EXPECT_EQ(1u, Read(L"A\\B", L"v"));
    EXPECT_EQ(1u, Read(L"A\\B\\Up\\B", L"v"));
}

// Keys without a values record are legal: a write gives them one and links it in.
TEST_F(StoreBounds, KeysWithoutValuesRecordTakeValues)
{
    {
        Surgery s(path);
        BYTE a[24];
        s.GetEntry(s.RootNode(), L"A", a);
        ULONGLONG aValues;
        std::memcpy(&aValues, a + 8, 8);
        std::memset(a + 8, 0, 8);
        s.SetEntry(s.RootNode(), L"A", a);
        s.DropRootValues();
    }
    ASSERT_EQ(status::kSuccess, Reopen());
    CValueTable empty;
    EXPECT_EQ(status::kSuccess, root.GetValues(SectionPath(L"A"), empty));
    EXPECT_EQ(0u, empty.LiveCount());
    bool created = true;
    for (const wchar_t* section : {L"A", L"\\"}) {
        ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(section), Dword(L"w", 2), false, &created));
        EXPECT_FALSE(created);
    }
    ASSERT_EQ(status::kSuccess, root.SetValues(SectionPath(L"A"), Dword(L"x", 3), false, &created));
    root.Close();
    ASSERT_EQ(status::kSuccess, Reopen());
    EXPECT_EQ(2u, Read(L"A", L"w"));
    EXPECT_EQ(3u, Read(L"A", L"x"));
    EXPECT_EQ(2u, Read(L"", L"w"));
    EXPECT_EQ(1u, Read(L"A\\B", L"v"));
}

// A value item whose bucket index is above 12 is an invalid image.
TEST_F(StoreBounds, ValueBucketAbove12IsInvalid)
{
    {
        Surgery s(path);
        BYTE a[24], b[24];
        s.GetEntry(s.RootNode(), L"A", a);
        ULONGLONG aNode, bValues;
        std::memcpy(&aNode, a, 8);
        s.GetEntry(aNode, L"B", b);
        std::memcpy(&bValues, b + 8, 8);
        const USHORT bucket = 13;
        s.Patch(bValues, 8, &bucket, 2);
    }
    ASSERT_EQ(status::kSuccess, Reopen());
    CValueTable t;
    EXPECT_EQ(status::kInvalidParameter, root.GetValues(SectionPath(L"A\\B"), t));
}

namespace {

class ManagerAnswers : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(R(result::kOk), ModuleAddRef());
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        path = dir.Path(L"m.dat");
    }
    void TearDown() override
    {
        mgr.Reset();
        ModuleRelease();
    }
    TempDir dir;
    std::wstring path;
    ComPtr<ISettingsMgr> mgr;
};

} // namespace

TEST_F(ManagerAnswers, CloseWithNoStoreOpen)
{
    EXPECT_EQ(R(result::kNotOpen), mgr->Close());
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    EXPECT_EQ(R(result::kOk), mgr->Close());
    EXPECT_EQ(R(result::kNotOpen), mgr->Close());
    // The same for a store of the older format.
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreateNew | openflag::kPreferLegacy, nullptr));
    EXPECT_EQ(R(result::kOk), mgr->Close());
    EXPECT_EQ(R(result::kNotOpen), mgr->Close());
}

// An object saved inside a transaction that is rolled back still holds its changes: saving it
// again writes them.
TEST_F(ManagerAnswers, SaveInRolledBackTransactionKeepsChanges)
{
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    ComPtr<ISettingsTransaction> tx;
    ASSERT_EQ(R(result::kOk), mgr->QueryInterface(IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf())));
    ComPtr<ISettings> s;
    ASSERT_EQ(R(result::kOk), mgr->GetSettings(L"Section", &s));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 7));
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), tx->RollbackTransaction());
    ComPtr<ISettings> back;
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"Section", &back));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Section", &back));
    DWORD v = 0;
    EXPECT_EQ(R(result::kOk), back->GetDword(L"v", &v));
    EXPECT_EQ(7u, v);
}
