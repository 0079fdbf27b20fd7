// The settings database file and its rollback journal: layout, record chains, validation,
// recovery, and a crash or failure at every write of a scripted transaction.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "settings/file/CDatabaseFile.h"
#include "settings/file/qkSettingsCrc32.h"

using namespace qkSettings;
using namespace settingstest;

namespace {

constexpr DWORD kSignature = 0x73624343;

NtStatus OpenDb(CDatabaseFile& db, const Name& path, bool writable = true, ULONGLONG maximum = 0xFFFFFFFF)
{
    DatabaseOpenParams p;
    p.file.name = &path.cs;
    p.file.desiredAccess = writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    p.file.shareMode = FILE_SHARE_READ;
    p.file.creationDisposition = writable ? OPEN_ALWAYS : OPEN_EXISTING;
    p.maximumSize = maximum;
    p.blockSize = 512;
    p.signature = kSignature;
    p.verifyOnOpen = true;
    p.keepDataCrcs = true;
    p.flushWrites = true;
    return db.Open(p);
}

Bytes Pattern(size_t n, unsigned char seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 31);
    return b;
}

Bytes ReadRecord(CDatabaseFile& db, ULONGLONG id)
{
    CByteBuffer buf;
    NtStatus st = db.Read(id, buf);
    EXPECT_EQ(status::kSuccess, st);
    return Bytes(buf.Data(), buf.Data() + buf.Size());
}

DWORD U32(const Bytes& b, size_t at)
{
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

ULONGLONG U64(const Bytes& b, size_t at)
{
    ULONGLONG v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

void Put32(Bytes& b, size_t at, DWORD v)
{
    std::memcpy(b.data() + at, &v, 4);
}

// Recomputes the CRC of a block header at offset at.
void ResealBlock(Bytes& b, size_t at)
{
    Put32(b, at + 20, Crc32(b.data() + at, 20));
}

} // namespace

TEST(DatabaseFile, NewFileAndRecordLayout)
{
    TempDir dir;
    Name path(dir.Path(L"s.db"));
    CDatabaseFile db;
    ASSERT_EQ(status::kSuccess, OpenDb(db, path));
    db.Close();
    Bytes file = ReadAll(path.text);
    ASSERT_EQ(512u, file.size());
    EXPECT_EQ(kSignature, U32(file, 0));
    EXPECT_EQ(1u, U32(file, 4));
    EXPECT_EQ(0u, U32(file, 8));
    EXPECT_EQ(512u, U32(file, 12));
    EXPECT_EQ(0u, U64(file, 24));
    EXPECT_EQ(Crc32(file.data(), 32), U32(file, 32));
    EXPECT_FALSE(Exists(path.text + L".log"));

    ASSERT_EQ(status::kSuccess, OpenDb(db, path));
    ULONGLONG one = 0, two = 0;
    Bytes a = Pattern(488, 1), b = Pattern(489, 2);
    ASSERT_EQ(status::kSuccess, db.Insert(a.data(), 488, &one));
    ASSERT_EQ(status::kSuccess, db.Insert(b.data(), 489, &two));
    EXPECT_EQ(512u, one);
    EXPECT_EQ(1024u, two);
    ASSERT_EQ(status::kSuccess, db.SetRootRecord(two));
    ASSERT_EQ(status::kSuccess, db.Checkpoint());
    EXPECT_EQ(a, ReadRecord(db, one));
    EXPECT_EQ(b, ReadRecord(db, two));
    db.Close();
    file = ReadAll(path.text);
    ASSERT_EQ(4u * 512, file.size());
    EXPECT_EQ(1024u, U64(file, 24));
    // One-block record: flags 6, no next, data CRC over the payload bytes.
    EXPECT_EQ(0u, U64(file, 512));
    EXPECT_EQ(6u, U32(file, 520));
    EXPECT_EQ(488u, U32(file, 524));
    EXPECT_EQ(Crc32(file.data() + 536, 488), U32(file, 528));
    EXPECT_EQ(Crc32(file.data() + 512, 20), U32(file, 532));
    // Two blocks: first (2, total length, next), last (4, one byte).
    EXPECT_EQ(1536u, U64(file, 1024));
    EXPECT_EQ(2u, U32(file, 1032));
    EXPECT_EQ(489u, U32(file, 1036));
    EXPECT_EQ(4u, U32(file, 1544));
    EXPECT_EQ(1u, U32(file, 1548));
    EXPECT_FALSE(Exists(path.text + L".log"));
}

TEST(DatabaseFile, UpdateDeleteShrinkAndLimits)
{
    TempDir dir;
    Name path(dir.Path(L"s.db"));
    CDatabaseFile db;
    ASSERT_EQ(status::kSuccess, OpenDb(db, path, true, 8 * 512));
    ULONGLONG a = 0, b = 0;
    Bytes big = Pattern(3 * 488, 5), small = Pattern(10, 6);
    ASSERT_EQ(status::kSuccess, db.Insert(small.data(), 10, &a));
    ASSERT_EQ(status::kSuccess, db.Insert(big.data(), static_cast<DWORD>(big.size()), &b));
    EXPECT_EQ(5u * 512, db.FileSize());
    // Shrinking the last record frees its tail, which is cut off the file.
    ASSERT_EQ(status::kSuccess, db.Update(b, small.data(), 10));
    EXPECT_EQ(3u * 512, db.FileSize());
    EXPECT_EQ(small, ReadRecord(db, b));
    // Growing the first record moves into new blocks beyond the second.
    ASSERT_EQ(status::kSuccess, db.Update(a, big.data(), static_cast<DWORD>(big.size())));
    EXPECT_EQ(big, ReadRecord(db, a));
    ULONGLONG sizeBefore = db.FileSize();
    // Past the maximum size: refused, nothing changed.
    Bytes huge = Pattern(6 * 488, 7);
    ULONGLONG c = 0;
    EXPECT_EQ(status::kFileTooLarge, db.Insert(huge.data(), static_cast<DWORD>(huge.size()), &c));
    EXPECT_EQ(sizeBefore, db.FileSize());
    EXPECT_EQ(big, ReadRecord(db, a));

    // Errors of the record calls.
    CByteBuffer buf;
    EXPECT_EQ(status::kInvalidParameter, db.Read(1536, buf)); // second block of a
    EXPECT_EQ(status::kInvalidParameter, db.Read(100, buf));
    EXPECT_EQ(status::kInvalidParameter, db.Insert(nullptr, 3, &c));
    EXPECT_EQ(status::kInvalidParameter, db.Update(a, small.data(), 0));
    EXPECT_EQ(status::kInvalidParameter, db.SetRootRecord(1536));

    // A batch naming one record twice is a conflict and changes nothing.
    struct Op : CRecordOp {
        const Bytes* data;
        ULONGLONG written = 0;
        Op(DWORD k, ULONGLONG i, const Bytes* d) : CRecordOp(k, i), data(d) {}
        const BYTE* Data() const override { return data ? data->data() : nullptr; }
        DWORD DataSize() const override { return data ? static_cast<DWORD>(data->size()) : 0; }
        NtStatus OnWritten(ULONGLONG r) override
        {
            written = r;
            return status::kSuccess;
        }
    };
    Op u1(CRecordOp::kUpdate, a, &small), d1(CRecordOp::kDelete, a, nullptr);
    EXPECT_EQ(status::kTransactionalConflict, db.ApplyBatch({&u1, &d1}));
    EXPECT_EQ(big, ReadRecord(db, a));
    Op del(CRecordOp::kDelete, a, nullptr), ins(CRecordOp::kInsert, 0, &small);
    ASSERT_EQ(status::kSuccess, db.ApplyBatch({&del, &ins}));
    EXPECT_EQ(small, ReadRecord(db, ins.written));
    ASSERT_EQ(status::kSuccess, db.Checkpoint());
    db.Close();

    // Read only: modifications refused.
    ASSERT_EQ(status::kSuccess, OpenDb(db, path, false));
    EXPECT_EQ(small, ReadRecord(db, b));
    EXPECT_EQ(status::kAccessDenied, db.Insert(small.data(), 10, &c));
}

TEST(DatabaseFile, DamagedFilesAreCorrupt)
{
    TempDir dir;
    Name path(dir.Path(L"s.db"));
    {
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        ULONGLONG id;
        Bytes two = Pattern(600, 3);
        ASSERT_EQ(status::kSuccess, db.Insert(two.data(), 600, &id)); // blocks 1, 2
        ASSERT_EQ(status::kSuccess, db.Insert(two.data(), 10, &id));  // block 3
        ASSERT_EQ(status::kSuccess, db.Checkpoint());
    }
    const Bytes good = ReadAll(path.text);
    ASSERT_EQ(4u * 512, good.size());

    struct Case {
        const char* what;
        void (*damage)(Bytes&);
    } cases[] = {
        {"size not whole blocks", [](Bytes& b) { b.push_back(0); }},
        {"header CRC", [](Bytes& b) { b[32] ^= 1; }},
        {"version",
         [](Bytes& b) {
             Put32(b, 4, 2);
             Put32(b, 32, Crc32(b.data(), 32));
         }},
        {"reserved word",
         [](Bytes& b) {
             Put32(b, 8, 1);
             Put32(b, 32, Crc32(b.data(), 32));
         }},
        {"data-store file",
         [](Bytes& b) {
             Put32(b, 0, 0x8B871E6D);
             Put32(b, 32, Crc32(b.data(), 32));
         }},
        {"block header CRC", [](Bytes& b) { b[512 + 12] ^= 1; }},
        {"data CRC", [](Bytes& b) { b[512 + 100] ^= 1; }},
        {"block names itself",
         [](Bytes& b) {
             Put32(b, 512, 512);
             ResealBlock(b, 512);
         }},
        {"two blocks name one",
         [](Bytes& b) {
             // block 3 becomes a middle block pointing at block 2, which block 1 names too
             Put32(b, 1536, 1024);
             Put32(b, 1536 + 8, 0);
             Put32(b, 1536 + 12, 488);
             Put32(b, 1536 + 16, Crc32(b.data() + 1536 + 24, 488));
             ResealBlock(b, 1536);
         }},
        {"unreached used block",
         [](Bytes& b) {
             Put32(b, 1536 + 8, 4);
             Put32(b, 1536 + 12, 10);
             ResealBlock(b, 1536);
         }},
        {"root not a block",
         [](Bytes& b) {
             Put32(b, 24, 700);
             Put32(b, 32, Crc32(b.data(), 32));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = good;
        c.damage(bytes);
        WriteAll(path.text, bytes);
        CDatabaseFile db;
        EXPECT_EQ(status::kFileCorrupt, OpenDb(db, path));
        EXPECT_FALSE(db.IsOpen());
    }
    WriteAll(path.text, good);
    CDatabaseFile db;
    EXPECT_EQ(status::kSuccess, OpenDb(db, path));
}

TEST(Journal, RecoveryStampsAndMarks)
{
    TempDir dir;
    Name path(dir.Path(L"s.db"));
    const std::wstring log = path.text + L".log";
    Bytes v1 = Pattern(100, 1), v2 = Pattern(700, 2);
    ULONGLONG id = 0;
    {
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        ASSERT_EQ(status::kSuccess, db.Insert(v1.data(), 100, &id));
        ASSERT_EQ(status::kSuccess, db.Checkpoint());
        ULONGLONG other = 0;
        // A block beyond the checkpoint size gets no before-image.
        ASSERT_EQ(status::kSuccess, db.Insert(v1.data(), 100, &other));
        EXPECT_EQ(32u, ReadAll(log).size());
        ASSERT_EQ(status::kSuccess, db.Update(id, v2.data(), 700));
        EXPECT_GT(ReadAll(log).size(), 32u);
        // Closed without a checkpoint: the journal stays.
    }
    ASSERT_TRUE(Exists(log));
    const Bytes pending = ReadAll(log);
    const Bytes dbPending = ReadAll(path.text);
    {
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        EXPECT_EQ(v1, ReadRecord(db, id));
        EXPECT_EQ(2u * 512, db.FileSize());
        Bytes after = ReadAll(log);
        ASSERT_EQ(32u, after.size());
        EXPECT_EQ(0u, U32(after, 24));
    }
    EXPECT_FALSE(Exists(log)); // empty journals go at close

    // A journal of another database (other stamp) is ignored.
    WriteAll(path.text, dbPending);
    Bytes foreign = pending;
    Put32(foreign, 16, U32(foreign, 16) ^ 0x5A5A);
    Put32(foreign, 28, Crc32(foreign.data(), 28));
    WriteAll(log, foreign);
    {
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        EXPECT_EQ(v2, ReadRecord(db, id));
    }
    // A bad header CRC deletes the journal; the database stays as it is.
    WriteAll(path.text, dbPending);
    Bytes bad = pending;
    bad[28] ^= 1;
    WriteAll(log, bad);
    {
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        EXPECT_EQ(v2, ReadRecord(db, id));
    }
    EXPECT_FALSE(Exists(log));
    // A read-only open refuses a store that needs recovery.
    WriteAll(path.text, dbPending);
    WriteAll(log, pending);
    {
        CDatabaseFile db;
        EXPECT_EQ(status::kAccessDenied, OpenDb(db, path, false));
    }
    EXPECT_EQ(pending, ReadAll(log));
}

namespace {

// Counts writes to every file; from the N-th on it fails, tears or shortens them.
class WriteFaults : public IFileWriteFaults {
public:
    enum Mode { kCount, kFailOnce, kShortOnce, kCrash, kTornCrash };
    WriteFaults(Mode mode, int n) : m_mode(mode), m_n(n) {}

    NtStatus BeforeWrite(const wchar_t*, ULONGLONG offset, DWORD* length) override
    {
        ++m_writes;
        if (m_dead)
            return status::kUnsuccessful;
        if (m_mode == kCount || m_writes != m_n)
            return status::kSuccess;
        switch (m_mode) {
        case kFailOnce:
            return status::kDiskFull;
        case kShortOnce:
            *length /= 2;
            return status::kSuccess;
        case kCrash:
            m_dead = true;
            return status::kUnsuccessful;
        case kTornCrash: {
            // A disk writes whole sectors: the write stops at a sector boundary.
            ULONGLONG end = (offset + *length) / 512 * 512;
            *length = end > offset ? static_cast<DWORD>(end - offset) : 0;
            m_dead = true;
            return status::kSuccess;
        }
        default:
            return status::kSuccess;
        }
    }
    NtStatus BeforeFlush(const wchar_t*) override { return m_dead ? status::kUnsuccessful : status::kSuccess; }
    NtStatus BeforeChange(const wchar_t*) override { return m_dead ? status::kUnsuccessful : status::kSuccess; }

    int Writes() const { return m_writes; }
    bool Dead() const { return m_dead; }

private:
    Mode m_mode;
    int m_n;
    int m_writes = 0;
    bool m_dead = false;
};

class FaultScope {
public:
    explicit FaultScope(std::shared_ptr<IFileWriteFaults> f) { CSafeFile::SetWriteFaults(std::move(f)); }
    ~FaultScope() { CSafeFile::SetWriteFaults(nullptr); }
};

// The state a store shows: the root record lists the ids of the others.
std::vector<Bytes> StoreState(CDatabaseFile& db)
{
    std::vector<Bytes> out;
    Bytes root = ReadRecord(db, db.RootRecord());
    for (size_t at = 0; at + 8 <= root.size(); at += 8)
        out.push_back(ReadRecord(db, U64(root, at)));
    return out;
}

Bytes IdList(const std::vector<ULONGLONG>& ids)
{
    Bytes b(ids.size() * 8);
    std::memcpy(b.data(), ids.data(), b.size());
    return b;
}

const Bytes kA = Pattern(300, 1), kB = Pattern(1200, 2), kC = Pattern(900, 3);
const Bytes kA2 = Pattern(1500, 4), kC2 = Pattern(40, 5), kD = Pattern(700, 6);

// The old state: A, B, C under a root, at a checkpoint.
void MakeOld(const Name& path)
{
    CDatabaseFile db;
    ASSERT_EQ(status::kSuccess, OpenDb(db, path));
    ULONGLONG a, b, c, root;
    ASSERT_EQ(status::kSuccess, db.Insert(kA.data(), static_cast<DWORD>(kA.size()), &a));
    ASSERT_EQ(status::kSuccess, db.Insert(kB.data(), static_cast<DWORD>(kB.size()), &b));
    ASSERT_EQ(status::kSuccess, db.Insert(kC.data(), static_cast<DWORD>(kC.size()), &c));
    Bytes ids = IdList({a, b, c});
    ASSERT_EQ(status::kSuccess, db.Insert(ids.data(), static_cast<DWORD>(ids.size()), &root));
    ASSERT_EQ(status::kSuccess, db.SetRootRecord(root));
    ASSERT_EQ(status::kSuccess, db.Checkpoint());
}

// The transaction: grow A, delete B, insert D, shrink C, rewrite the root, checkpoint. The
// first failure reverts to the checkpoint, as the data root does.
NtStatus RunScript(CDatabaseFile& db)
{
    Bytes root = ReadRecord(db, db.RootRecord());
    ULONGLONG a = U64(root, 0), b = U64(root, 8), c = U64(root, 16), d = 0;
    NtStatus st = db.Update(a, kA2.data(), static_cast<DWORD>(kA2.size()));
    if (NtSuccess(st))
        st = db.Delete(b);
    if (NtSuccess(st))
        st = db.Insert(kD.data(), static_cast<DWORD>(kD.size()), &d);
    if (NtSuccess(st))
        st = db.Update(c, kC2.data(), static_cast<DWORD>(kC2.size()));
    Bytes ids = IdList({a, c, d});
    if (NtSuccess(st))
        st = db.Update(db.RootRecord(), ids.data(), static_cast<DWORD>(ids.size()));
    if (NtSuccess(st))
        st = db.Checkpoint();
    if (!NtSuccess(st))
        db.Revert();
    return st;
}

} // namespace

TEST(Journal, EveryWriteOfATransactionFailedOrCrashed)
{
    TempDir dir;
    Name path(dir.Path(L"s.db"));
    const std::vector<Bytes> oldState = {kA, kB, kC}, newState = {kA2, kC2, kD};

    MakeOld(path);
    const Bytes oldFile = ReadAll(path.text);
    int total = 0;
    {
        auto counter = std::make_shared<WriteFaults>(WriteFaults::kCount, 0);
        FaultScope scope(counter);
        CDatabaseFile db;
        ASSERT_EQ(status::kSuccess, OpenDb(db, path));
        ASSERT_EQ(status::kSuccess, RunScript(db));
        total = counter->Writes();
        EXPECT_EQ(newState, StoreState(db));
    }
    ASSERT_GT(total, 10);

    const WriteFaults::Mode modes[] = {WriteFaults::kFailOnce, WriteFaults::kShortOnce, WriteFaults::kCrash,
                                       WriteFaults::kTornCrash};
    for (WriteFaults::Mode mode : modes) {
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " write " << n);
            WriteAll(path.text, oldFile);
            ::DeleteFileW((path.text + L".log").c_str());
            NtStatus st;
            {
                FaultScope scope(std::make_shared<WriteFaults>(mode, n));
                CDatabaseFile db;
                ASSERT_EQ(status::kSuccess, OpenDb(db, path));
                st = RunScript(db);
            }
            CDatabaseFile db;
            ASSERT_EQ(status::kSuccess, OpenDb(db, path));
            std::vector<Bytes> state = StoreState(db);
            EXPECT_TRUE(state == oldState || state == newState);
            if (mode == WriteFaults::kFailOnce || mode == WriteFaults::kShortOnce) {
                // Reported failures leave the old state; success the new.
                EXPECT_EQ(NtSuccess(st) ? newState : oldState, state);
            }
        }
    }
}
