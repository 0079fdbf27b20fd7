// The settings manager, settings objects and batches, through the public interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "common/objects/qkTalCountedObject.h"
#include "settings/file/CSafeFile.h"
#include "settings/legacy/CLegacyBlowfishCipher.h"
#include "settings/manager/CReaderWriterLock.h"
#include "settings/manager/qkSettingsModule.h"
#include "settings/store/qkSettingsResult.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using namespace settingstest;

namespace {

class SettingsManager : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(R(result::kOk), ModuleAddRef());
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        path = dir.Path(L"store.dat");
    }
    void TearDown() override
    {
        mgr.Reset();
        ModuleRelease();
    }
    ComPtr<ISettings> Section(const wchar_t* p)
    {
        ComPtr<ISettings> s;
        EXPECT_EQ(R(result::kOk), mgr->GetSettings(p, &s));
        return s;
    }

    TempDir dir;
    std::wstring path;
    ComPtr<ISettingsMgr> mgr;
};

} // namespace

TEST(SettingsModule, ManagerNeedsModuleReference)
{
    ComPtr<ISettingsMgr> m;
    EXPECT_EQ(R(result::kNotInitialized), CreateStandaloneSettingsMgr(&m));
    EXPECT_EQ(R(result::kInvalidArg), CreateStandaloneSettingsMgr(nullptr));
}

TEST_F(SettingsManager, ValuesRoundTripThroughTheStore)
{
    ComPtr<ISettings> s;
    EXPECT_EQ(R(result::kNotOpen), mgr->GetSettings(L"A", &s));
    EXPECT_EQ(R(result::kFileNotFound), mgr->Open(path.c_str(), 0, nullptr));
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"Http\\Pins", &s));

    s = Section(L"Http\\Pins");
    ASSERT_EQ(R(result::kOk), s->SetDword(L"Limit", 5));
    ASSERT_EQ(R(result::kOk), s->SetQword(L"Big", 0x1122334455667788ull));
    ASSERT_EQ(R(result::kOk), s->SetString(L"Host", L"example.test"));
    ASSERT_EQ(R(result::kOk), s->SetString(L"Empty", L""));
    const BYTE blob[3] = {1, 2, 3};
    ASSERT_EQ(R(result::kOk), s->SetBinary(L"Raw", blob, 3));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), mgr->Close());

    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"\\http\\PINS\\ ", &s));
    DWORD d = 0;
    ULONGLONG q = 0;
    EXPECT_EQ(R(result::kOk), s->GetDword(L"LIMIT", &d));
    EXPECT_EQ(5u, d);
    EXPECT_EQ(R(result::kTypeMismatch), s->GetQword(L"Limit", &q));
    EXPECT_EQ(R(result::kOk), s->GetQword(L"Big", &q));
    EXPECT_EQ(0x1122334455667788ull, q);
    wchar_t text[32];
    DWORD size = 0;
    EXPECT_EQ(R(result::kBufferTooSmall), s->GetString(L"Host", nullptr, &size));
    EXPECT_EQ(13u, size);
    EXPECT_EQ(R(result::kOk), s->GetString(L"Host", text, &size));
    EXPECT_STREQ(L"example.test", text);
    size = 1;
    EXPECT_EQ(R(result::kOk), s->GetString(L"Empty", text, &size));
    EXPECT_EQ(1u, size);
    char narrow[32];
    size = sizeof(narrow);
    EXPECT_EQ(R(result::kOk), s->GetStringA("host", narrow, &size));
    EXPECT_STREQ("example.test", narrow);
    BYTE raw[3] = {};
    size = 2;
    EXPECT_EQ(R(result::kBufferTooSmall), s->GetBinary(L"Raw", raw, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(R(result::kOk), s->GetBinary(L"Raw", raw, &size));
    EXPECT_EQ(3, raw[2]);

    // Deletion stays in the object until saved.
    ASSERT_EQ(R(result::kOk), s->DeleteValue(L"Limit"));
    EXPECT_EQ(R(result::kNotFound), s->GetDword(L"Limit", &d));
    ComPtr<ISettings> other;
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Http\\Pins", &other));
    EXPECT_EQ(R(result::kOk), other->GetDword(L"Limit", &d));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Http\\Pins", &other));
    EXPECT_EQ(R(result::kNotFound), other->GetDword(L"Limit", &d));

    ComPtr<IEnumSettings> names;
    ASSERT_EQ(R(result::kOk), mgr->EnumSettings(L"Http", &names));
    DWORD count = 0;
    names->GetCount(&count);
    ASSERT_EQ(1u, count);
    size = 0;
    EXPECT_EQ(R(result::kBufferTooSmall), names->GetName(0, nullptr, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(R(result::kOk), names->GetName(0, text, &size));
    EXPECT_STREQ(L"Pins", text);
    ComPtr<IEnumValues> values;
    ASSERT_EQ(R(result::kOk), s->EnumValues(&values));
    values->GetCount(&count);
    EXPECT_EQ(4u, count);

    EXPECT_EQ(R(result::kBadPath), mgr->GetSettings(L"A\\\\B", &s));
    ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"Http"));
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"Http\\Pins", &s));
    EXPECT_EQ(R(result::kAccessDenied), mgr->DeleteSettings(L"\\"));
}

TEST_F(SettingsManager, BatchRefusesConflictsAndIsSingleUse)
{
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    ComPtr<ISettingsStoreAccess> access;
    ASSERT_EQ(R(result::kOk),
              mgr->QueryInterface(IID_ISettingsStoreAccess, reinterpret_cast<void**>(access.GetAddressOf())));
    ComPtr<ISettingsBatch> batch;
    ASSERT_EQ(R(result::kOk), access->CreateSettingsBatch(&batch));

    ComPtr<ISettings> ab = Section(L"A\\B"), ab2 = Section(L"a\\b"), x = Section(L"X"), xy = Section(L"X\\Y"),
                      xz = Section(L"XZ");
    ab->SetDword(L"v", 1);
    x->SetDword(L"v", 2);
    ASSERT_EQ(R(result::kOk), batch->PutSettings(ab.Get()));
    EXPECT_EQ(R(result::kAlreadyExists), batch->PutSettings(ab2.Get()));
    EXPECT_EQ(R(result::kAlreadyExists), batch->DeleteSettings(L"A"));
    EXPECT_EQ(R(result::kOk), batch->DeleteSettings(L"A\\B\\C"));
    ASSERT_EQ(R(result::kOk), batch->DeleteSettings(L"\\Q"));
    EXPECT_EQ(R(result::kAlreadyExists), batch->DeleteSettings(L"Q\\R"));
    EXPECT_EQ(R(result::kAlreadyExists), batch->DeleteSettings(L"q"));
    EXPECT_EQ(R(result::kOk), batch->DeleteSettings(L"QR"));
    EXPECT_EQ(R(result::kAccessDenied), batch->DeleteSettings(L"  "));
    EXPECT_EQ(R(result::kAccessDenied), batch->DeleteSettings(L"\\"));
    EXPECT_EQ(R(result::kBadPath), batch->DeleteSettings(L"A\\\\B"));
    ASSERT_EQ(R(result::kOk), batch->PutSettings(x.Get()));
    ASSERT_EQ(R(result::kOk), batch->Commit());

    ComPtr<ISettings> s;
    DWORD v = 0;
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"X", &s));
    EXPECT_EQ(R(result::kOk), s->GetDword(L"v", &v));
    EXPECT_EQ(2u, v);
    EXPECT_EQ(R(result::kBatchClosed), batch->Commit());
    EXPECT_EQ(R(result::kBatchClosed), batch->PutSettings(xz.Get()));
    EXPECT_EQ(R(result::kBatchClosed), batch->DeleteSettings(L"X"));
    EXPECT_EQ(R(result::kBatchClosed), batch->GetSettings(L"X", &s));
    EXPECT_EQ(R(result::kOk), batch->Discard());

    // A released open batch writes nothing.
    {
        ComPtr<ISettingsBatch> dropped;
        ASSERT_EQ(R(result::kOk), access->CreateSettingsBatch(&dropped));
        xy->SetDword(L"v", 3);
        ASSERT_EQ(R(result::kOk), dropped->PutSettings(xy.Get()));
    }
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"X\\Y", &s));
}

TEST(ReaderWriterLock, WriterBlocksNewReaders)
{
    CReaderWriterLock lock;
    ASSERT_TRUE(lock.Init());
    lock.AcquireRead();
    std::atomic<int> step{0};
    std::thread writer([&] {
        lock.AcquireWrite();
        step = 1;
        ::Sleep(30);
        step = 2;
        lock.ReleaseWrite();
    });
    ::Sleep(50); // the writer now waits behind the first reader
    std::atomic<int> seenByReader{-1};
    std::thread reader([&] {
        lock.AcquireRead(); // comes after a waiting writer: must not pass it
        seenByReader = step.load();
        lock.ReleaseRead();
    });
    ::Sleep(50);
    EXPECT_EQ(-1, seenByReader.load()); // still blocked behind the writer
    lock.ReleaseRead();
    writer.join();
    reader.join();
    EXPECT_EQ(2, seenByReader.load());
}

namespace {

// Fails the write right after the first allowed ones (once).
class FailAfter : public IFileWriteFaults {
public:
    explicit FailAfter(int allowed) : m_allowed(allowed) {}
    NtStatus BeforeWrite(const wchar_t*, ULONGLONG, DWORD*) override
    {
        return ++m_writes == m_allowed + 1 ? status::kDiskFull : status::kSuccess;
    }
    int Writes() const { return m_writes; }

private:
    int m_allowed;
    int m_writes = 0;
};

} // namespace

TEST_F(SettingsManager, BatchNeverCommitsInPart)
{
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    ComPtr<ISettingsStoreAccess> access;
    ASSERT_EQ(R(result::kOk),
              mgr->QueryInterface(IID_ISettingsStoreAccess, reinterpret_cast<void**>(access.GetAddressOf())));
    ComPtr<ISettings> a = Section(L"A"), b = Section(L"B");
    a->SetDword(L"v", 1);
    b->SetDword(L"v", 2);

    // How many writes the first save takes inside a transaction.
    ComPtr<ISettingsTransaction> tx;
    ASSERT_EQ(R(result::kOk),
              mgr->QueryInterface(IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf())));
    auto counter = std::make_shared<FailAfter>(1 << 30);
    CSafeFile::SetWriteFaults(counter);
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(a.Get()));
    int firstSave = counter->Writes();
    ASSERT_EQ(R(result::kOk), tx->RollbackTransaction());
    CSafeFile::SetWriteFaults(nullptr);
    a->SetDword(L"v", 1); // the object still holds its change after the rolled-back save

    ComPtr<ISettingsBatch> batch;
    ASSERT_EQ(R(result::kOk), access->CreateSettingsBatch(&batch));
    ASSERT_EQ(R(result::kOk), batch->PutSettings(a.Get()));
    ASSERT_EQ(R(result::kOk), batch->PutSettings(b.Get()));
    CSafeFile::SetWriteFaults(std::make_shared<FailAfter>(firstSave));
    HRESULT hr = batch->Commit();
    CSafeFile::SetWriteFaults(nullptr);
    EXPECT_EQ(R(result::kDiskFull), hr);
    EXPECT_EQ(R(result::kBatchClosed), batch->Commit());
    ComPtr<ISettings> s;
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"A", &s));
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"B", &s));
}

namespace {

// From the N-th write on: fail it once, or crash there (that write and everything after it is
// lost).
class CrashAt : public IFileWriteFaults {
public:
    CrashAt(int n, bool crash) : m_n(n), m_crash(crash) {}
    NtStatus BeforeWrite(const wchar_t*, ULONGLONG, DWORD*) override
    {
        ++m_writes;
        if (m_dead)
            return status::kUnsuccessful;
        if (m_writes == m_n) {
            m_dead = m_crash;
            return status::kDiskFull;
        }
        return status::kSuccess;
    }
    NtStatus BeforeFlush(const wchar_t*) override { return m_dead ? status::kUnsuccessful : status::kSuccess; }
    NtStatus BeforeChange(const wchar_t*) override { return m_dead ? status::kUnsuccessful : status::kSuccess; }
    int Writes() const { return m_writes; }

private:
    int m_n;
    bool m_crash;
    int m_writes = 0;
    bool m_dead = false;
};

} // namespace

TEST_F(SettingsManager, EveryWriteOfATransactionFailedOrCrashed)
{
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    for (const wchar_t* p : {L"S", L"T"}) {
        ComPtr<ISettings> s = Section(p);
        s->SetDword(L"v", 1);
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    }
    ASSERT_EQ(R(result::kOk), mgr->Close());
    const Bytes oldFile = ReadAll(path);
    const std::wstring log = path + L".log", bak = path + L".bak";

    int total = 0;
    {
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
        auto counter = std::make_shared<CrashAt>(0, false);
        CSafeFile::SetWriteFaults(counter);
        ASSERT_EQ(R(result::kOk), RunTransaction(mgr.Get(), true));
        CSafeFile::SetWriteFaults(nullptr);
        total = counter->Writes();
        EXPECT_EQ("new", StoreState(mgr.Get()));
        mgr->Close();
    }
    ASSERT_GT(total, 5);
    for (bool crash : {false, true}) {
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE(testing::Message() << (crash ? "crash" : "fail") << " at write " << n);
            WriteAll(path, oldFile);
            ::DeleteFileW(log.c_str());
            ::DeleteFileW(bak.c_str());
            ComPtr<ISettingsMgr> m;
            ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&m));
            ASSERT_EQ(R(result::kOk), m->Open(path.c_str(), 0, nullptr));
            CSafeFile::SetWriteFaults(std::make_shared<CrashAt>(n, crash));
            HRESULT hr = RunTransaction(m.Get(), true);
            m.Reset(); // a crash: the process ends with whatever reached the disk
            CSafeFile::SetWriteFaults(nullptr);
            ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&m));
            ASSERT_EQ(R(result::kOk), m->Open(path.c_str(), 0, nullptr));
            std::string state = StoreState(m.Get());
            EXPECT_NE("mixed", state);
            if (!crash) {
                EXPECT_EQ(SUCCEEDED(hr) ? "new" : "old", state);
            }
        }
    }
}

TEST_F(SettingsManager, CallerCipherEnciphersTheStore)
{
    BYTE key[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    ComPtr<CLegacyBlowfishCipher> cipher;
    cipher.Attach(CLegacyBlowfishCipher::Create(key, 8));
    ASSERT_TRUE(cipher);
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, cipher.Get()));
    ComPtr<ISettings> s = Section(L"Secret");
    ASSERT_EQ(R(result::kOk), s->SetString(L"Token", L"plain-text-marker"));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), mgr->Close());
    // The text never reaches the file in the clear.
    Bytes file = ReadAll(path);
    const std::wstring marker = L"plain-text-marker";
    const BYTE* m = reinterpret_cast<const BYTE*>(marker.data());
    EXPECT_EQ(file.end(), std::search(file.begin(), file.end(), m, m + marker.size() * 2));

    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, cipher.Get()));
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Secret", &s));
    wchar_t text[32];
    DWORD size = 32;
    EXPECT_EQ(R(result::kOk), s->GetString(L"Token", text, &size));
    EXPECT_STREQ(L"plain-text-marker", text);
}

// Every object the manager hands out is freed with its last reference, and the manager's own
// parts (the inner manager, the older format's cipher) with the manager: nothing is left
// behind per read or per open, in either format.
TEST_F(SettingsManager, ReleasedObjectsAreFreed)
{
    const struct {
        const char* label;
        DWORD flags;
    } kFormats[] = {{"store", openflag::kCreateNew}, {"older format", openflag::kCreateNew | openflag::kPreferLegacy}};
    mgr.Reset();
    for (const auto& format : kFormats) {
        SCOPED_TRACE(format.label);
        const LONG before = qkTalCountedObject::GetModuleObjectCount();
        {
            ComPtr<ISettingsMgr> m;
            ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&m));
            ASSERT_EQ(R(result::kOk), m->Open(path.c_str(), format.flags, nullptr));
            ComPtr<ISettings> s;
            ASSERT_EQ(R(result::kOk), m->GetSettings(L"A", &s));
            ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 1));
            ASSERT_EQ(R(result::kOk), m->PutSettings(s.Get()));
            s.Reset();
            const LONG open = qkTalCountedObject::GetModuleObjectCount();
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(R(result::kOk), m->OpenSettings(L"A", &s));
                s.Reset();
                ASSERT_EQ(R(result::kOk), m->GetSettings(L"B", &s));
                s.Reset();
            }
            EXPECT_EQ(open, qkTalCountedObject::GetModuleObjectCount());
            EXPECT_EQ(R(result::kOk), m->Close());
        }
        EXPECT_EQ(before, qkTalCountedObject::GetModuleObjectCount());
    }
}

// A read-only open that also asks to create is refused before the store is touched: asking to
// replace the file must not delete it first.
TEST_F(SettingsManager, ReadOnlyWithCreateIsRefusedBeforeAnythingChanges)
{
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
    ComPtr<ISettings> s = Section(L"Keep");
    ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 1));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
    ASSERT_EQ(R(result::kOk), mgr->Close());
    const Bytes before = ReadAll(path);
    const std::wstring missing = dir.Path(L"missing.dat");
    for (DWORD create : {openflag::kCreate, openflag::kCreateNew, openflag::kCreate | openflag::kCreateNew}) {
        SCOPED_TRACE(create);
        EXPECT_EQ(R(result::kInvalidArg), mgr->Open(path.c_str(), create | openflag::kReadOnly, nullptr));
        EXPECT_EQ(before, ReadAll(path));
        EXPECT_EQ(R(result::kInvalidArg), mgr->Open(missing.c_str(), create | openflag::kReadOnly, nullptr));
        EXPECT_FALSE(Exists(missing));
    }
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kReadOnly, nullptr));
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Keep", &s));
    DWORD v = 0;
    EXPECT_EQ(R(result::kOk), s->GetDword(L"v", &v));
    EXPECT_EQ(1u, v);
}
