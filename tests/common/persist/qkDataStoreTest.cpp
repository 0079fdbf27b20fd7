// The data store: file layout, free-space reuse and joining, truncation, checksums, and a
// crash injected at every write of a scripted session.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <vector>

#include "PersistTestSupport.h"
#include "common/base/qkCrc32.h"
#include "common/persist/qkDataStore.h"
#include "common/system/qkAdministratorDACL.h"
#include "common/system/qkResourceHolders.h"

using namespace persisttest;

namespace {

constexpr DWORD kStoreSig = 0x8B871E6D;
constexpr DWORD kRecordSig = 0x8B871E6E;
constexpr DWORD kUserHeader = 16;
constexpr ULONGLONG kFirst = 32 + kUserHeader;

// SYSTEM's SID.
PSID SystemSid()
{
    static BYTE sid[SECURITY_MAX_SID_SIZE];
    static const bool made = [] {
        DWORD size = sizeof(sid);
        return CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &size) != FALSE;
    }();
    return made ? sid : nullptr;
}

class TestStore : public qkDataStore {
public:
    TestStore() : qkDataStore(kStoreSig, 1, kRecordSig, 1) {}
    // The store as SYSTEM owns it, opened by a process that may not give a file that owner (an
    // elevated administrator, for one): the journal it makes can only be its own.
    bool systemOwnsTheStore = false;
    BOOL OpenPath(const std::wstring& path, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE,
                  DWORD userHeader = kUserHeader)
    {
        return Open(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL, 0, userHeader);
    }
    // The used records seen by the last Verify, by id.
    std::map<ULONGLONG, Bytes> seen;
    BOOL Verify() override
    {
        seen.clear();
        return qkDataStore::Verify();
    }
    BOOL OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size) override
    {
        if (size)
            seen[header.id] = Bytes(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
        return qkDataStore::OnVerifyRecord(header, data, size);
    }

protected:
    DWORD ReadSecurity(SecuredFile which, HANDLE file, const wchar_t* path, SECURITY_INFORMATION parts, PSID* owner,
                       PACL* dacl, qkLocalPtr<void>& descriptor) override
    {
        const DWORD status = qkDataStore::ReadSecurity(which, file, path, parts, owner, dacl, descriptor);
        if (status == ERROR_SUCCESS && systemOwnsTheStore && which == SecuredFile::Store && owner)
            *owner = SystemSid();
        return status;
    }
    DWORD CreateJournalFile(qkFile& journal, const wchar_t* path, LPSECURITY_ATTRIBUTES security) override
    {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        if (systemOwnsTheStore && security &&
            GetSecurityDescriptorOwner(security->lpSecurityDescriptor, &owner, &defaulted) && owner &&
            EqualSid(owner, SystemSid()))
            return ERROR_INVALID_OWNER;
        return qkDataStore::CreateJournalFile(journal, path, security);
    }
};

Bytes Data(BYTE seed, DWORD size)
{
    Bytes data(size);
    for (DWORD i = 0; i < size; ++i)
        data[i] = static_cast<BYTE>(seed + i * 7);
    return data;
}

Bytes FileBytes(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::wstring& path, const Bytes& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <class T>
T At(const Bytes& bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

ULONGLONG Add(qkDataStore& store, const Bytes& data)
{
    ULONGLONG id = 0;
    EXPECT_TRUE(store.AddRecord(data.data(), static_cast<DWORD>(data.size()), &id)) << store.GetLastError();
    return id;
}

Bytes Read(qkDataStore& store, ULONGLONG id)
{
    DWORD size = 0;
    if (!store.GetRecordSize(id, &size) || size == 0)
        return {};
    Bytes data(size);
    if (!store.ReadRecord(id, data.data(), size))
        return {};
    return data;
}

class qkDataStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    std::wstring path = folder.Path(L"store.dat");
};

TEST_F(qkDataStoreTest, NewStoreHasItsHeaderAndAZeroedUserHeader)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_NEW));
    EXPECT_TRUE(store.IsOpenForWrite());
    EXPECT_TRUE(store.Verify());
    EXPECT_TRUE(store.seen.empty());
    Bytes open = FileBytes(path);
    ASSERT_EQ(open.size(), kFirst);
    EXPECT_EQ(At<ULONGLONG>(open, 8), 0u); // not closed yet
    const BYTE user[4] = {1, 2, 3, 4};
    ASSERT_TRUE(store.WriteUserHeader(0, user, 4));
    EXPECT_FALSE(store.WriteUserHeader(0, user, kUserHeader + 1));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(store.Close());
    EXPECT_EQ(store.GetLastError(), 0u);

    const Bytes closed = FileBytes(path);
    ASSERT_EQ(closed.size(), kFirst);
    EXPECT_EQ(At<DWORD>(closed, 0), kStoreSig);
    EXPECT_EQ(At<DWORD>(closed, 4), 1u);
    EXPECT_EQ(At<ULONGLONG>(closed, 8), kFirst);
    EXPECT_EQ(At<DWORD>(closed, 16), kUserHeader);
    EXPECT_EQ(At<DWORD>(closed, 20), qkLib::Crc32(closed.data() + 32, kUserHeader));
    Bytes zeroed = closed;
    std::memset(zeroed.data() + 24, 0, 4);
    EXPECT_EQ(At<DWORD>(closed, 24), qkLib::Crc32(zeroed.data(), 32));
    EXPECT_EQ(At<DWORD>(closed, 28), 0u);

    // The user-header size comes from the file, whatever the caller passes.
    ASSERT_TRUE(store.OpenPath(path, OPEN_EXISTING, GENERIC_READ, 99));
    BYTE back[kUserHeader] = {};
    EXPECT_TRUE(store.ReadUserHeader(0, back, kUserHeader));
    EXPECT_EQ(back[3], 4);
    EXPECT_FALSE(store.ReadUserHeader(0, back, kUserHeader + 1));
    EXPECT_FALSE(store.IsOpenForWrite());
}

TEST_F(qkDataStoreTest, RecordsLieBackToBackWithCheckedHeaders)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    const ULONGLONG first = Add(store, hello);
    const ULONGLONG second = Add(store, Data(1, 3));
    EXPECT_EQ(first, kFirst);
    EXPECT_EQ(second, kFirst + 40 + 5);
    const Bytes file = FileBytes(path);
    EXPECT_EQ(At<DWORD>(file, first), kRecordSig);
    EXPECT_EQ(At<ULONGLONG>(file, first + 8), first);
    EXPECT_EQ(At<ULONGLONG>(file, first + 16), 0u);
    EXPECT_EQ(At<DWORD>(file, first + 24), 5u);
    EXPECT_EQ(At<DWORD>(file, first + 28), 5u);
    EXPECT_EQ(At<DWORD>(file, first + 32), qkLib::Crc32(hello.data(), 5));
    EXPECT_EQ(At<ULONGLONG>(file, second + 16), first);
    EXPECT_EQ(Read(store, first), hello);

    // A shorter read returns the first bytes without the checksum; a longer one is refused.
    BYTE two[2] = {};
    EXPECT_TRUE(store.ReadRecord(first, two, 2));
    EXPECT_EQ(two[1], 'e');
    BYTE six[6];
    EXPECT_FALSE(store.ReadRecord(first, six, 6));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
}

TEST_F(qkDataStoreTest, OpenAlwaysMakesOrOpensAStore)
{
    const Bytes data = Data(4, 9);
    ULONGLONG id = 0;
    {
        TestStore store;
        ASSERT_TRUE(store.OpenPath(path, OPEN_ALWAYS));
        EXPECT_EQ(FileBytes(path).size(), kFirst);
        id = Add(store, data);
    }
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, OPEN_ALWAYS, GENERIC_READ | GENERIC_WRITE, 64));
    EXPECT_EQ(store.seen[id], data);
}

TEST_F(qkDataStoreTest, ArgumentsAndFreeRecordsAreRefused)
{
    TestStore store;
    EXPECT_FALSE(store.OpenPath(path, 6));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    ULONGLONG id = 0;
    EXPECT_FALSE(store.AddRecord(nullptr, 4, &id));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const ULONGLONG a = Add(store, Data(1, 100));
    Add(store, Data(2, 10));
    ASSERT_TRUE(store.DeleteRecord(a));
    DWORD size = 9;
    EXPECT_TRUE(store.GetRecordSize(a, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(store.DeleteRecord(a));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    ULONGLONG freeId = a;
    const Bytes data = Data(3, 4);
    EXPECT_FALSE(store.UpdateRecord(&freeId, data.data(), 4));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(store.GetRecordSize(0, &size));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    BYTE b[4];
    EXPECT_FALSE(store.ReadRecord(0, b, 4));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(store.ReadRecord(a + 1, b, 4));
    EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
}

TEST_F(qkDataStoreTest, FreeSpaceIsReusedBestFitAndSlackOnlyBeyondAHeader)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    const ULONGLONG a = Add(store, Data(1, 100));
    const ULONGLONG b = Add(store, Data(2, 60));
    const ULONGLONG c = Add(store, Data(3, 10));
    ASSERT_TRUE(store.DeleteRecord(a));
    ASSERT_TRUE(store.DeleteRecord(c + 0) || true);
    // c was the last record: the file ended with it and was cut back.
    EXPECT_EQ(FileBytes(path).size(), b + 40 + 60);
    const ULONGLONG reused = Add(store, Data(4, 100));
    EXPECT_EQ(reused, a);

    // Slack of exactly a header offers nothing; one byte more makes room for a record.
    ULONGLONG id = b;
    Bytes shrunk = Data(5, 20);
    ASSERT_TRUE(store.UpdateRecord(&id, shrunk.data(), 20));
    EXPECT_EQ(id, b);
    const ULONGLONG afterB = Add(store, Data(6, 1));
    EXPECT_EQ(afterB, b + 40 + 20) << "carved from the slack of the shrunk record";
    ASSERT_TRUE(store.DeleteRecord(afterB));

    id = a;
    Bytes sixty = Data(7, 60);
    ASSERT_TRUE(store.UpdateRecord(&id, sixty.data(), 60)); // slack 40
    const ULONGLONG appended = Add(store, Data(8, 1));
    EXPECT_NE(appended, a + 40 + 60);
    id = a;
    Bytes fiftyNine = Data(9, 59);
    ASSERT_TRUE(store.UpdateRecord(&id, fiftyNine.data(), 59)); // slack 41
    EXPECT_EQ(Add(store, Data(10, 1)), a + 40 + 59);

    ASSERT_TRUE(store.Close());
    ASSERT_TRUE(store.OpenPath(path, OPEN_EXISTING));
    EXPECT_EQ(store.seen[a], fiftyNine);
    EXPECT_EQ(store.seen[a + 40 + 59], Data(10, 1));
}

TEST_F(qkDataStoreTest, FreeNeighboursJoinAndTheEndIsGivenBack)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    const ULONGLONG a = Add(store, Data(1, 50));
    const ULONGLONG b = Add(store, Data(2, 50));
    const ULONGLONG c = Add(store, Data(3, 50));
    const ULONGLONG d = Add(store, Data(4, 10));
    ASSERT_TRUE(store.DeleteRecord(a));
    ASSERT_TRUE(store.DeleteRecord(c));
    ASSERT_TRUE(store.DeleteRecord(b)); // joins both neighbours into one free record at a
    EXPECT_EQ(Add(store, Data(5, 50 * 3 + 80)), a);

    // The slack of a used record moves into the free record after it.
    ULONGLONG id = a;
    const Bytes small = Data(6, 100);
    ASSERT_TRUE(store.UpdateRecord(&id, small.data(), 100));
    EXPECT_EQ(id, a);
    EXPECT_EQ(Add(store, Data(7, 130 - 40)), a + 40 + 100);

    // Deleting the last record gives its space back, and so does deleting everything.
    ASSERT_TRUE(store.DeleteRecord(d));
    EXPECT_EQ(FileBytes(path).size(), d);
    ASSERT_TRUE(store.DeleteRecord(a + 40 + 100));
    ASSERT_TRUE(store.DeleteRecord(a));
    EXPECT_EQ(FileBytes(path).size(), kFirst);
    ASSERT_TRUE(store.Close());
    ASSERT_TRUE(store.OpenPath(path, OPEN_EXISTING));
    EXPECT_TRUE(store.seen.empty());
}

TEST_F(qkDataStoreTest, GrowingMovesTheRecordAndShrinkingKeepsIt)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    ULONGLONG id = Add(store, Data(1, 20));
    const ULONGLONG original = id;
    Add(store, Data(2, 20));
    const Bytes big = Data(3, 200);
    ASSERT_TRUE(store.UpdateRecord(&id, big.data(), 200));
    EXPECT_NE(id, original);
    EXPECT_EQ(Read(store, id), big);
    DWORD size = 1;
    ASSERT_TRUE(store.GetRecordSize(original, &size));
    EXPECT_EQ(size, 0u);
    const Bytes less = Data(4, 150);
    const ULONGLONG grown = id;
    ASSERT_TRUE(store.UpdateRecord(&id, less.data(), 150));
    EXPECT_EQ(id, grown);
    EXPECT_EQ(Read(store, id), less);
    // The shrunk last record was cut back to its data.
    EXPECT_EQ(FileBytes(path).size(), id + 40 + 150);
}

TEST_F(qkDataStoreTest, DamageIsFoundByTheChecksums)
{
    {
        TestStore store;
        ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
        Add(store, Data(1, 30));
        Add(store, Data(2, 30));
        ASSERT_TRUE(store.Close());
    }
    const Bytes good = FileBytes(path);
    const struct {
        const char* name;
        size_t offset; // byte flipped, or the file lengthened when beyond its end
    } cases[] = {
        {"store header", 17},
        {"user header", 40},
        {"record header", kFirst + 24},
        {"record data", kFirst + 40 + 3},
        {"second record's back link", kFirst + 70 + 16},
        {"lengthened after close", good.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = good;
        if (c.offset < bad.size())
            bad[c.offset] ^= 0x40;
        else
            bad.push_back(0);
        WriteFileBytes(path, bad);
        TestStore store;
        EXPECT_FALSE(store.OpenPath(path, OPEN_EXISTING));
        EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
        EXPECT_FALSE(store.IsOpen());
    }

    // Without data checksums the damaged data is not noticed; the headers still are.
    Bytes dataFlip = good;
    dataFlip[kFirst + 40 + 3] ^= 0x40;
    WriteFileBytes(path, dataFlip);
    TestStore lenient;
    lenient.DisableChecksums();
    EXPECT_TRUE(lenient.OpenPath(path, OPEN_EXISTING, GENERIC_READ));

    // A foreign file is not a store, whatever the disposition.
    WriteFileBytes(path, Bytes(64, 0x5A));
    TestStore foreign;
    EXPECT_FALSE(foreign.OpenPath(path, OPEN_ALWAYS));
    EXPECT_EQ(foreign.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
}

TEST_F(qkDataStoreTest, AStoreThatWasNeverClosedOpens)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    const ULONGLONG id = Add(store, Data(1, 30));
    const BYTE user[2] = {9, 9};
    ASSERT_TRUE(store.WriteUserHeader(0, user, 2));
    // A copy taken while the store is open is what a crash leaves behind.
    const std::wstring copy = folder.Path(L"copy.dat");
    WriteFileBytes(copy, FileBytes(path));
    Bytes damaged = FileBytes(path);
    damaged[kFirst + 40 + 1] ^= 1;
    ASSERT_TRUE(store.Close());

    TestStore reopened;
    ASSERT_TRUE(reopened.OpenPath(copy, OPEN_EXISTING));
    EXPECT_EQ(reopened.seen[id], Data(1, 30));
    ASSERT_TRUE(reopened.Close());
    // The data written to the open store is checked all the same.
    WriteFileBytes(copy, damaged);
    TestStore checked;
    EXPECT_FALSE(checked.OpenPath(copy, OPEN_EXISTING));
    EXPECT_EQ(checked.GetLastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
}

// Fails the N-th change of the store or its journal only; the writes after it go through.
class FailOnceStore : public TestStore {
public:
    // Counts from now: the n-th write after this call fails.
    void FailAt(int n)
    {
        m_count = 0;
        m_failAt = n;
    }

protected:
    BOOL WriteAt(ULONGLONG offset, const void* data, DWORD size) override
    {
        if (++m_count == m_failAt)
            return Fail(ERROR_WRITE_FAULT);
        return qkDataStore::WriteAt(offset, data, size);
    }
    BOOL SetFileLength(ULONGLONG size) override
    {
        if (++m_count == m_failAt)
            return Fail(ERROR_WRITE_FAULT);
        return qkDataStore::SetFileLength(size);
    }
    BOOL WriteJournalAt(ULONGLONG offset, const void* data, DWORD size) override
    {
        if (++m_count == m_failAt)
            return Fail(ERROR_WRITE_FAULT);
        return qkDataStore::WriteJournalAt(offset, data, size);
    }
    BOOL SetJournalLength(ULONGLONG size) override
    {
        if (++m_count == m_failAt)
            return Fail(ERROR_WRITE_FAULT);
        return qkDataStore::SetJournalLength(size);
    }

private:
    int m_count = 0;
    int m_failAt = -1;
};

// An update that cannot finish is undone at once, whichever write fails: the caller keeps its id
// and its data, and the store goes on working.
TEST_F(qkDataStoreTest, AFailedUpdateLeavesTheOldRecord)
{
    const Bytes small = Data(1, 20);
    const struct {
        const char* name;
        DWORD size;
    } cases[] = {{"grow", 100}, {"same size", 20}, {"shrink", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes update = Data(2, c.size);
        int failures = 0;
        for (int failAt = 1; failAt < 32; ++failAt) {
            SCOPED_TRACE(failAt);
            ULONGLONG id = 0;
            ULONGLONG other = 0;
            {
                TestStore setup;
                ASSERT_TRUE(setup.OpenPath(path, CREATE_ALWAYS));
                id = Add(setup, small);
                other = Add(setup, Data(3, 10));
                ASSERT_TRUE(setup.Close());
            }
            FailOnceStore store;
            ASSERT_TRUE(store.OpenPath(path, OPEN_EXISTING));
            store.FailAt(failAt);
            const ULONGLONG before = id;
            if (store.UpdateRecord(&id, update.data(), c.size)) {
                EXPECT_EQ(Read(store, id), update);
                continue;
            }
            ++failures;
            EXPECT_EQ(store.GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
            EXPECT_EQ(id, before);
            EXPECT_EQ(Read(store, id), small);
            EXPECT_EQ(Read(store, other), Data(3, 10));
            const ULONGLONG added = Add(store, Data(4, 15));
            ASSERT_TRUE(store.Close());
            TestStore reopened;
            ASSERT_TRUE(reopened.OpenPath(path, OPEN_EXISTING));
            EXPECT_EQ(reopened.seen,
                      (std::map<ULONGLONG, Bytes>{{id, small}, {other, Data(3, 10)}, {added, Data(4, 15)}}));
        }
        EXPECT_GT(failures, 1);
    }
}

TEST_F(qkDataStoreTest, VerifyCopiesRecordsIntoAnAttachedStore)
{
    TestStore source;
    ASSERT_TRUE(source.OpenPath(path, CREATE_ALWAYS));
    const ULONGLONG a = Add(source, Data(1, 10));
    Add(source, Data(2, 20));
    ASSERT_TRUE(source.DeleteRecord(a));
    TestStore target;
    ASSERT_TRUE(target.OpenPath(folder.Path(L"copy.dat"), CREATE_ALWAYS));
    source.SetCopyTarget(&target);
    ASSERT_TRUE(source.Verify());
    ASSERT_TRUE(target.Verify());
    ASSERT_EQ(target.seen.size(), 1u);
    EXPECT_EQ(target.seen.begin()->second, Data(2, 20));
}

// ---- crash injection ----

// Fails the failAt-th change of the store or its journal (written short when asked) and every
// change after it, as a process that dies at that write would.
class CrashingStore : public TestStore {
public:
    CrashingStore(int failAt, bool shortWrite) : m_failAt(failAt), m_short(shortWrite) {}
    // Closes while the crashing layer is still in place (the base's destructor would write through
    // the plain one).
    ~CrashingStore() override { Close(); }
    // Writes go through again, as after a passing fault (a full disk that got room).
    void Heal() { m_healed = true; }
    bool crashed = false;

protected:
    BOOL WriteAt(ULONGLONG offset, const void* data, DWORD size) override
    {
        if (Crash())
            return CutShort([&](DWORD part) { qkDataStore::WriteAt(offset, data, part); }, size);
        return qkDataStore::WriteAt(offset, data, size);
    }
    BOOL SetFileLength(ULONGLONG size) override
    {
        return Crash() ? CutShort([](DWORD) {}, 0) : qkDataStore::SetFileLength(size);
    }
    BOOL WriteJournalAt(ULONGLONG offset, const void* data, DWORD size) override
    {
        if (Crash())
            return CutShort([&](DWORD part) { qkDataStore::WriteJournalAt(offset, data, part); }, size);
        return qkDataStore::WriteJournalAt(offset, data, size);
    }
    BOOL SetJournalLength(ULONGLONG size) override
    {
        return Crash() ? CutShort([](DWORD) {}, 0) : qkDataStore::SetJournalLength(size);
    }

private:
    bool Crash()
    {
        if (!crashed && ++m_count == m_failAt)
            crashed = true;
        return crashed && !m_healed;
    }
    // The write that crashes gets half of its bytes through in short mode; later ones nothing.
    template <class WritePart>
    BOOL CutShort(WritePart write, DWORD size)
    {
        if (m_short && !m_cut && size > 1)
            write(size / 2);
        m_cut = true;
        return Fail(ERROR_WRITE_FAULT);
    }
    int m_failAt;
    bool m_short;
    int m_count = 0;
    bool m_cut = false;
    bool m_healed = false;
};

// Record data by id; the user header is kept under id 0.
using Model = std::map<ULONGLONG, Bytes>;

struct Step {
    enum Kind { AddOne, Delete, Update, UserHeader } kind;
    int record; // index into the session's records
    DWORD size; // new size
};

// Appends, reuse of a free record, a split of slack, joins on both sides, in-place updates of the
// same size, shrinking (in the middle and at the end of the file), a move to grow, a user-header
// write and cuts at the end of the file.
const Step kSession[] = {
    {Step::AddOne, 0, 60},  {Step::AddOne, 1, 30},     {Step::AddOne, 2, 80},  {Step::AddOne, 3, 20},
    {Step::Update, 2, 80},  {Step::Delete, 1, 0},      {Step::AddOne, 4, 25},  {Step::Update, 0, 10},
    {Step::AddOne, 9, 5},   {Step::UserHeader, 0, 16}, {Step::Delete, 0, 0},   {Step::Delete, 4, 0},
    {Step::AddOne, 5, 10},  {Step::AddOne, 6, 12},     {Step::Update, 2, 300}, {Step::AddOne, 7, 40},
    {Step::Update, 2, 120}, {Step::Update, 7, 39},     {Step::Delete, 3, 0},   {Step::Delete, 2, 0},
    {Step::AddOne, 8, 7},   {Step::Delete, 6, 0},      {Step::Update, 9, 4},
};

// Runs the session; returns the number of steps that succeeded. states[k] is the model after k
// steps (filled only by a run that does not crash).
size_t RunSession(TestStore& store, std::vector<Model>* states)
{
    ULONGLONG ids[16] = {};
    Model model{{0, Bytes(kUserHeader)}};
    if (states)
        states->push_back(model);
    size_t done = 0;
    for (const Step& step : kSession) {
        const Bytes data = Data(static_cast<BYTE>(step.record * 16 + done), step.size);
        BOOL ok = FALSE;
        switch (step.kind) {
        case Step::AddOne:
            ok = store.AddRecord(data.data(), step.size, &ids[step.record]);
            if (ok)
                model[ids[step.record]] = data;
            break;
        case Step::Delete:
            ok = store.DeleteRecord(ids[step.record]);
            if (ok)
                model.erase(ids[step.record]);
            break;
        case Step::Update: {
            const ULONGLONG old = ids[step.record];
            ok = store.UpdateRecord(&ids[step.record], data.data(), step.size);
            if (ok) {
                model.erase(old);
                model[ids[step.record]] = data;
            }
            break;
        }
        case Step::UserHeader:
            ok = store.WriteUserHeader(0, data.data(), step.size);
            if (ok)
                model[0] = data;
            break;
        }
        if (!ok)
            return done;
        ++done;
        if (states)
            states->push_back(model);
    }
    return done;
}

void CreateEmptyStore(const std::wstring& path)
{
    TestStore store;
    ASSERT_TRUE(store.OpenPath(path, CREATE_ALWAYS));
    ASSERT_TRUE(store.Close());
}

Model Found(TestStore& store)
{
    Model found = store.seen;
    Bytes header(kUserHeader);
    EXPECT_TRUE(store.ReadUserHeader(0, header.data(), kUserHeader));
    found[0] = header;
    return found;
}

// Every write of the session (the open's and the close's included) fails in turn, once failing
// outright and once cut short. The store reopens, for reading and for writing, with the records
// of the step before or after the one that crashed, takes new records and closes cleanly, leaving
// no journal behind. The same holds for a writer that cannot give its journal the store's owner:
// the journal it made itself is undone by the next open of the same process's kind.
TEST_F(qkDataStoreTest, ACrashAtAnyWriteLeavesEveryRecordOldOrNew)
{
    std::vector<Model> states;
    CreateEmptyStore(path);
    {
        TestStore reference;
        ASSERT_TRUE(reference.OpenPath(path, OPEN_EXISTING));
        ASSERT_EQ(RunSession(reference, &states), std::size(kSession));
    }
    const std::wstring journal = path + L".journal";
    for (const bool systemOwnsTheStore : {false, true}) {
        SCOPED_TRACE(systemOwnsTheStore ? "a store owned by SYSTEM: the journal is the writer's own"
                                        : "the journal has the store's owner");
        for (const bool shortWrite : {false, true}) {
            SCOPED_TRACE(shortWrite ? "written short" : "failed");
            int crashes = 0;
            for (int failAt = 1;; ++failAt) {
                SCOPED_TRACE(failAt);
                CreateEmptyStore(path);
                size_t done = 0;
                bool crashed = false;
                {
                    CrashingStore store(failAt, shortWrite);
                    store.systemOwnsTheStore = systemOwnsTheStore;
                    if (store.OpenPath(path, OPEN_EXISTING))
                        done = RunSession(store, nullptr);
                    crashed = store.crashed;
                } // the crashed store's Close cannot write either
                if (!crashed)
                    break;
                ++crashes;
                // A reader sees what the writer that opens next makes of the crash.
                TestStore reader;
                reader.systemOwnsTheStore = systemOwnsTheStore;
                ASSERT_TRUE(reader.OpenPath(path, OPEN_EXISTING, GENERIC_READ)) << "error " << reader.GetLastError();
                const Model read = Found(reader);
                reader.Close();
                TestStore reopened;
                reopened.systemOwnsTheStore = systemOwnsTheStore;
                ASSERT_TRUE(reopened.OpenPath(path, OPEN_EXISTING)) << "error " << reopened.GetLastError();
                const Model found = Found(reopened);
                EXPECT_TRUE(found == states[done] || (done + 1 < states.size() && found == states[done + 1]))
                    << "crash in step " << done;
                EXPECT_EQ(read, found);
                EXPECT_FALSE(std::filesystem::exists(journal + L".rejected")) << "the journal was accepted";
                const ULONGLONG id = Add(reopened, Data(0xEE, 33));
                ASSERT_TRUE(reopened.Close());
                EXPECT_FALSE(std::filesystem::exists(journal));
                ASSERT_TRUE(reopened.OpenPath(path, OPEN_EXISTING, GENERIC_READ));
                EXPECT_EQ(reopened.seen[id], Data(0xEE, 33));
            }
            EXPECT_GT(crashes, 100);
        }
    }
}

// The journal is held while a store is open for writing: a second writer is refused, a reader is
// not. A reader reads through a change that a crash left unfinished and leaves its undo to the
// next writer.
TEST_F(qkDataStoreTest, TheJournalBelongsToTheOneWriter)
{
    const std::wstring journal = path + L".journal";
    TestStore writer;
    ASSERT_TRUE(writer.OpenPath(path, CREATE_ALWAYS));
    const ULONGLONG id = Add(writer, Data(1, 50));
    EXPECT_TRUE(std::filesystem::exists(journal));
    TestStore second;
    EXPECT_FALSE(second.OpenPath(path, OPEN_EXISTING));
    EXPECT_EQ(second.GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    TestStore reader;
    ASSERT_TRUE(reader.OpenPath(path, OPEN_EXISTING, GENERIC_READ));
    EXPECT_EQ(reader.seen[id], Data(1, 50));
    reader.Close();
    ASSERT_TRUE(writer.Close());
    EXPECT_FALSE(std::filesystem::exists(journal));

    // An in-place update that died after its data was half written.
    {
        // Open: journal, store header, commit; update: journal, record header, journal, data.
        CrashingStore crashing(7, true);
        ASSERT_TRUE(crashing.OpenPath(path, OPEN_EXISTING));
        ULONGLONG same = id;
        const Bytes update = Data(2, 50);
        EXPECT_FALSE(crashing.UpdateRecord(&same, update.data(), 50));
        EXPECT_TRUE(crashing.crashed);
    }
    EXPECT_TRUE(std::filesystem::exists(journal));
    const Bytes crashed = FileBytes(path);
    TestStore lateReader;
    ASSERT_TRUE(lateReader.OpenPath(path, OPEN_EXISTING, GENERIC_READ)) << lateReader.GetLastError();
    EXPECT_EQ(lateReader.seen, (std::map<ULONGLONG, Bytes>{{id, Data(1, 50)}}));
    EXPECT_EQ(Read(lateReader, id), Data(1, 50));
    lateReader.Close();
    EXPECT_EQ(FileBytes(path), crashed);
    EXPECT_TRUE(std::filesystem::exists(journal));
    TestStore nextWriter;
    ASSERT_TRUE(nextWriter.OpenPath(path, OPEN_EXISTING));
    EXPECT_EQ(nextWriter.seen[id], Data(1, 50));
}

// A journal with a valid header and CRCs, as someone who may make files in the store's folder
// could write one: the store's length it records and its pieces of old bytes.
Bytes PlantedJournal(ULONGLONG storeLength, std::initializer_list<std::pair<ULONGLONG, Bytes>> pieces)
{
    Bytes journal(24);
    const DWORD magic = 0x4C4E524A;
    std::memcpy(&journal[0], &magic, 4);
    std::memcpy(&journal[4], &kStoreSig, 4);
    std::memcpy(&journal[8], &storeLength, 8);
    const DWORD headerCrc = qkLib::Crc32(journal.data(), 24);
    std::memcpy(&journal[20], &headerCrc, 4);
    for (const auto& [offset, old] : pieces) {
        Bytes piece(16);
        const DWORD size = static_cast<DWORD>(old.size());
        std::memcpy(&piece[0], &offset, 8);
        std::memcpy(&piece[8], &size, 4);
        piece.insert(piece.end(), old.begin(), old.end());
        const DWORD crc = qkLib::Crc32(piece.data(), static_cast<DWORD>(piece.size()));
        std::memcpy(&piece[12], &crc, 4);
        journal.insert(journal.end(), piece.begin(), piece.end());
    }
    return journal;
}

// A journal that fails a check is set aside and never applied, by a writer or a reader: the
// store stays as it is, and opens when it holds together.
TEST_F(qkDataStoreTest, AJournalThatFailsItsChecksIsSetAsideNeverApplied)
{
    const std::wstring journal = path + L".journal";
    const std::wstring aside = journal + L".rejected";
    const Bytes data = Data(1, 30);
    ULONGLONG id = 0;
    {
        TestStore setup;
        ASSERT_TRUE(setup.OpenPath(path, CREATE_ALWAYS));
        id = Add(setup, data);
        Add(setup, Data(2, 20));
        ASSERT_TRUE(setup.Close());
    }
    const Bytes closed = FileBytes(path);
    const ULONGLONG size = closed.size();
    // The same store as a crash leaves it (never closed), so that only the journal's own checks
    // stand between it and the store.
    Bytes open = closed;
    std::memset(&open[8], 0, 8);  // recorded size
    std::memset(&open[20], 0, 8); // user-header CRC, header CRC
    const DWORD openCrc = qkLib::Crc32(open.data(), 32);
    std::memcpy(&open[24], &openCrc, 4);
    const struct {
        const char* name;
        bool cleanlyClosed;
        Bytes journal;
    } cases[] = {
        {"a length of 1 TiB and a piece at 40", true, PlantedJournal(1ull << 40, {{40, Bytes(8, 0xEE)}})},
        {"the same beside a store that was not closed", false, PlantedJournal(1ull << 40, {{40, Bytes(8, 0xEE)}})},
        {"a piece beyond the length", false, PlantedJournal(size, {{size - 4, Bytes(8, 0xEE)}})},
        {"a length that cuts a record", false, PlantedJournal(size - 10, {})},
        {"a record header overwritten", false, PlantedJournal(size, {{kFirst + 8, Bytes(8, 0xEE)}})},
        {"a piece beside a store that was closed", true, PlantedJournal(size, {{kFirst + 40, Bytes(30, 0xEE)}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes& store = c.cleanlyClosed ? closed : open;
        for (const DWORD access : {GENERIC_READ, GENERIC_READ | GENERIC_WRITE}) {
            SCOPED_TRACE(access == GENERIC_READ ? "reader" : "writer");
            std::filesystem::remove(aside);
            WriteFileBytes(path, store);
            WriteFileBytes(journal, c.journal);
            TestStore opened;
            ASSERT_TRUE(opened.OpenPath(path, OPEN_EXISTING, access)) << opened.GetLastError();
            EXPECT_EQ(opened.seen[id], data);
            EXPECT_EQ(Read(opened, id), data);
            ASSERT_TRUE(opened.Close());
            if (access == GENERIC_READ) {
                EXPECT_EQ(FileBytes(path), store);
                EXPECT_EQ(FileBytes(journal), c.journal);
            } else {
                EXPECT_EQ(FileBytes(path), closed);
                EXPECT_FALSE(std::filesystem::exists(journal));
                EXPECT_EQ(FileBytes(aside), c.journal);
            }
        }
    }
}

// Entries at the journal's names that the writer can neither read nor rename in place (a folder,
// a file whose access list refuses it, a folder where a refused journal is set aside) never make
// the store unusable: they are set aside under a fresh name, unread, and the store opens for
// writing as it is.
TEST_F(qkDataStoreTest, APlantedEntryAtAJournalsNameIsSetAsideUnderAFreshName)
{
    const std::wstring journal = path + L".journal";
    const std::wstring rejected = journal + L".rejected";
    const Bytes data = Data(1, 30);
    ULONGLONG id = 0;
    {
        TestStore setup;
        ASSERT_TRUE(setup.OpenPath(path, CREATE_ALWAYS));
        id = Add(setup, data);
        Add(setup, Data(2, 20));
        ASSERT_TRUE(setup.Close());
    }
    const Bytes closed = FileBytes(path);
    // As a crash leaves it: never closed, so that a journal beside it is examined.
    Bytes open = closed;
    std::memset(&open[8], 0, 8);
    std::memset(&open[20], 0, 8);
    const DWORD openCrc = qkLib::Crc32(open.data(), 32);
    std::memcpy(&open[24], &openCrc, 4);
    const Bytes refused = PlantedJournal(closed.size(), {{kFirst + 8, Bytes(8, 0xEE)}});
    // The entries that begin with the journal's name, other than the journal itself.
    auto setAside = [&] {
        std::vector<std::filesystem::path> entries;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path(L"")))
            if (entry.path().filename().wstring().rfind(L"store.dat.journal.", 0) == 0)
                entries.push_back(entry.path());
        return entries;
    };
    const struct {
        const char* name;
        std::function<void()> plant;
        const Bytes& store;
        // What is kept aside afterwards: a folder, the refused journal's bytes.
        bool folderKept, journalKept;
    } cases[] = {
        {"a folder named like the journal",
         [&] { ASSERT_TRUE(CreateDirectoryW(journal.c_str(), nullptr)); }, closed, true, false},
        {"a journal whose access list refuses everyone",
         [&] {
             WriteFileBytes(journal, refused);
             ACL empty{};
             ASSERT_TRUE(InitializeAcl(&empty, sizeof(empty), ACL_REVISION));
             ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(journal.c_str()), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &empty, nullptr),
                       static_cast<DWORD>(ERROR_SUCCESS));
         },
         open, false, false},
        {"a folder where a refused journal is set aside",
         [&] {
             WriteFileBytes(journal, refused);
             ASSERT_TRUE(CreateDirectoryW(rejected.c_str(), nullptr));
         },
         open, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : setAside())
            std::filesystem::remove_all(entry);
        WriteFileBytes(path, c.store);
        c.plant();
        {
            TestStore reader;
            ASSERT_TRUE(reader.OpenPath(path, OPEN_EXISTING, GENERIC_READ)) << reader.GetLastError();
            EXPECT_EQ(reader.seen[id], data);
        }
        TestStore writer;
        ASSERT_TRUE(writer.OpenPath(path, OPEN_EXISTING)) << writer.GetLastError();
        EXPECT_EQ(writer.seen[id], data);
        const ULONGLONG added = Add(writer, Data(3, 40));
        ASSERT_TRUE(writer.Close());
        EXPECT_FALSE(std::filesystem::exists(journal));
        ASSERT_TRUE(writer.OpenPath(path, OPEN_EXISTING, GENERIC_READ));
        EXPECT_EQ(writer.seen[id], data);
        EXPECT_EQ(writer.seen[added], Data(3, 40));
        writer.Close();
        // What was planted is kept, unread, for whoever looks into it (a journal that refuses
        // every reader is not read back here).
        bool folderKept = false, journalKept = false;
        for (const auto& entry : setAside()) {
            folderKept = folderKept || std::filesystem::is_directory(entry);
            journalKept = journalKept || (!std::filesystem::is_directory(entry) && FileBytes(entry) == refused);
        }
        EXPECT_TRUE(folderKept || !c.folderKept);
        EXPECT_TRUE(journalKept || !c.journalKept);
    }
    for (const auto& entry : setAside())
        std::filesystem::remove_all(entry);
}

// A journal that a crash left is undone only when its owner is the store's: one that somebody
// else made is set aside, whatever it holds.
TEST_F(qkDataStoreTest, AJournalOfAnotherOwnerIsNotUndone)
{
    const std::wstring journal = path + L".journal";
    const Bytes old = Data(1, 50);
    const Bytes update = Data(2, 50);
    BYTE systemSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(systemSid);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &sidSize));
    for (const bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "another owner" : "the store's owner");
        std::filesystem::remove(journal + L".rejected");
        ULONGLONG id = 0;
        {
            TestStore setup;
            ASSERT_TRUE(setup.OpenPath(path, CREATE_ALWAYS));
            id = Add(setup, old);
            ASSERT_TRUE(setup.Close());
        }
        {
            // Open: journal, store header, commit; update: journal, record header, journal, data,
            // and the commit that does not happen.
            CrashingStore crashing(8, false);
            ASSERT_TRUE(crashing.OpenPath(path, OPEN_EXISTING));
            ULONGLONG same = id;
            EXPECT_FALSE(crashing.UpdateRecord(&same, update.data(), 50));
        }
        ASSERT_TRUE(std::filesystem::exists(journal));
        if (foreign) {
            const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(journal.c_str()), SE_FILE_OBJECT,
                                                    OWNER_SECURITY_INFORMATION, systemSid, nullptr, nullptr, nullptr);
            PSID owner = nullptr;
            qkLocalPtr<void> descriptor;
            if (set != ERROR_SUCCESS ||
                GetNamedSecurityInfoW(journal.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                      nullptr, nullptr, descriptor.Receive()) != ERROR_SUCCESS ||
                !EqualSid(owner, systemSid))
                GTEST_SKIP() << "this system does not give a file another owner (" << set << ")";
        }
        TestStore reopened;
        ASSERT_TRUE(reopened.OpenPath(path, OPEN_EXISTING)) << reopened.GetLastError();
        EXPECT_EQ(reopened.seen[id], foreign ? update : old);
        EXPECT_EQ(std::filesystem::exists(journal + L".rejected"), foreign);
    }
}

// The journal holds bytes of the store: it has the store's owner and access list, not the
// folder's.
TEST_F(qkDataStoreTest, TheJournalHasTheStoresOwnerAndAccessList)
{
    qkAdministratorDACL administrators;
    ASSERT_TRUE(administrators.Build());
    TestStore store;
    ASSERT_TRUE(store.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, administrators.GetSecurityAttributes(),
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0, kUserHeader))
        << store.GetLastError();
    struct Security {
        qkLocalPtr<void> descriptor;
        PSID owner = nullptr;
        PACL dacl = nullptr;
    } files[2];
    const std::wstring names[2] = {path, path + L".journal"};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(GetNamedSecurityInfoW(names[i].c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &files[i].owner,
                                        nullptr, &files[i].dacl, nullptr, files[i].descriptor.Receive()),
                  static_cast<DWORD>(ERROR_SUCCESS))
            << i;
    EXPECT_TRUE(EqualSid(files[0].owner, files[1].owner));
    ASSERT_TRUE(files[0].dacl && files[1].dacl);
    ASSERT_EQ(files[0].dacl->AclSize, files[1].dacl->AclSize);
    EXPECT_EQ(std::memcmp(files[0].dacl, files[1].dacl, files[0].dacl->AclSize), 0);
    ASSERT_TRUE(store.Close());
}

// A change whose undo failed too is undone before the next change of the same store object.
TEST_F(qkDataStoreTest, AChangeLeftHalfDoneIsUndoneByTheNextOne)
{
    const Bytes old = Data(1, 60);
    const Bytes update = Data(2, 30);
    for (int failAt = 4; failAt <= 9; ++failAt) { // the update's writes, after the open's three
        SCOPED_TRACE(failAt);
        ULONGLONG id = 0;
        ULONGLONG last = 0;
        {
            TestStore setup;
            ASSERT_TRUE(setup.OpenPath(path, CREATE_ALWAYS));
            id = Add(setup, old);
            last = Add(setup, Data(3, 10));
            ASSERT_TRUE(setup.Close());
        }
        CrashingStore store(failAt, true);
        ASSERT_TRUE(store.OpenPath(path, OPEN_EXISTING));
        ULONGLONG same = id;
        if (store.UpdateRecord(&same, update.data(), 30))
            continue;
        EXPECT_EQ(same, id);
        store.Heal();
        const ULONGLONG added = Add(store, Data(4, 20));
        EXPECT_EQ(Read(store, id), old);
        ASSERT_TRUE(store.Close());
        TestStore reopened;
        ASSERT_TRUE(reopened.OpenPath(path, OPEN_EXISTING));
        EXPECT_EQ(reopened.seen, (std::map<ULONGLONG, Bytes>{{id, old}, {last, Data(3, 10)}, {added, Data(4, 20)}}));
    }
}

} // namespace
