#include "settings/file/CDatabaseFile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "common/base/qkTrace.h"
#include "settings/file/qkSettingsCrc32.h"
#include "settings/store/qkSettingsSignatures.h"

namespace qkSettings {

namespace {

constexpr DWORD kScanChunk = 65536;

// One database operation made from plain data.
class CPlainOperation : public CRecordOp {
public:
    CPlainOperation(DWORD kind, ULONGLONG id, const BYTE* data, DWORD size)
        : CRecordOp(kind, id), m_data(data), m_size(size)
    {}
    const BYTE* Data() const override { return m_data; }
    DWORD DataSize() const override { return m_size; }

private:
    const BYTE* m_data;
    DWORD m_size;
};

} // namespace

CDatabaseFile::~CDatabaseFile()
{
    Close();
}

void CDatabaseFile::Close()
{
    m_journal.Close();
    m_file.Close();
    m_fileSize = 0;
    m_freeCount = 0;
    m_writable = false;
    m_stateTag = 0;
    m_broken = false;
    m_used.clear();
    m_header = Header{};
}

NtStatus CDatabaseFile::Open(const DatabaseOpenParams& params)
{
    Close();
    // The parameters first: a bad set touches nothing.
    if (params.blockSize == 0 || params.blockSize % 512 != 0 || params.blockSize > 65536)
        return status::kInvalidParameter;
    if ((params.verifyOnOpen || params.verifyOnRead) && !params.keepDataCrcs)
        return status::kInvalidParameter;
    if (params.maximumSize < 0x100000000ull && params.maximumSize < params.blockSize)
        return status::kInvalidParameter;
    NtStatus st;
    try {
        st = OpenInner(params);
    } catch (const std::bad_alloc&) {
        st = status::kNoMemory;
    }
    if (!NtSuccess(st))
        Close();
    return st;
}

NtStatus CDatabaseFile::OpenInner(const DatabaseOpenParams& params)
{
    NtStatus st = m_file.Open(params.file);
    if (!NtSuccess(st))
        return st;
    m_writable = (params.file.desiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    m_maximumSize = params.maximumSize;
    m_payload = params.blockSize - kBlockHeader;
    m_flushWrites = params.flushWrites;
    m_keepDataCrcs = params.keepDataCrcs;
    m_block.assign(params.blockSize, 0);

    ULONGLONG size = 0;
    st = m_file.GetSize(&size);
    if (!NtSuccess(st))
        return st;
    bool created = false;
    if (size == 0) {
        if (!m_writable)
            return status::kAccessDenied;
        m_header = Header{};
        m_header.signature = params.signature;
        m_header.version = kVersion;
        m_header.blockSize = params.blockSize;
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        m_header.stamp = Crc32(&now, sizeof(now));
        st = CreateHeader();
        if (!NtSuccess(st)) {
            NtStatus del = m_file.MarkForDeletion();
            if (!NtSuccess(del))
                QK_TRACE(L"could not delete the unfinished database: 0x%08lX", static_cast<unsigned long>(del));
            return st;
        }
        created = true;
    } else {
        st = CheckHeader(params);
        if (!NtSuccess(st))
            return st;
    }

    if (!m_writable) {
        // Read only: a journal that still holds entries means the file is not at a checkpoint
        // and cannot be recovered without write access.
        st = m_journal.Open(m_file, m_file.Name(), m_header.stamp, m_header.blockSize, false, true, false);
        m_journal.Close();
        if (!NtSuccess(st) && st != status::kFileCorrupt)
            return st;
    } else {
        st = m_journal.Open(m_file, m_file.Name(), m_header.stamp, m_header.blockSize, created, false, m_flushWrites);
        if (st == status::kFileCorrupt && !m_journal.IsFileOpen()) {
            // The corrupt journal has been deleted: the next attempt finds none.
            st = m_journal.Open(m_file, m_file.Name(), m_header.stamp, m_header.blockSize, created, false,
                                m_flushWrites);
        }
        if (!NtSuccess(st))
            return st;
        // A roll back may have changed the header block.
        if (!created) {
            st = CheckHeader(params);
            if (!NtSuccess(st))
                return st;
        }
    }
    st = Scan(params.verifyOnOpen);
    if (!NtSuccess(st))
        return st;
    m_verifyOnRead = params.verifyOnRead;
    m_stateTag = kStateTag;
    return status::kSuccess;
}

NtStatus CDatabaseFile::CreateHeader()
{
    std::fill(m_block.begin(), m_block.end(), 0);
    m_header.crc = Crc32(&m_header, 32);
    std::memcpy(m_block.data(), &m_header, kHeaderBytes);
    NtStatus st = m_file.WriteExactAt(0, m_block.data(), m_header.blockSize);
    if (NtSuccess(st))
        st = m_file.SetSize(m_header.blockSize);
    if (NtSuccess(st) && m_flushWrites)
        st = m_file.Flush();
    if (NtSuccess(st))
        m_fileSize = m_header.blockSize;
    return st;
}

NtStatus CDatabaseFile::CheckHeader(const DatabaseOpenParams& params)
{
    Header h;
    NtStatus st = m_file.ReadExactAt(0, &h, kHeaderBytes, status::kFileCorrupt);
    if (!NtSuccess(st))
        return st;
    if (h.signature != params.signature || h.signature == kLegacyStoreSignature)
        return status::kFileCorrupt;
    if (h.crc != Crc32(&h, 32) || h.version != kVersion || h.reserved1 != 0)
        return status::kFileCorrupt;
    if (h.blockSize == 0 || h.blockSize % 512 != 0 || h.blockSize > 65536 || h.blockSize != params.blockSize)
        return status::kFileCorrupt;
    ULONGLONG size = 0;
    st = m_file.GetSize(&size);
    if (!NtSuccess(st))
        return st;
    if (size % h.blockSize != 0)
        return status::kFileCorrupt;
    m_fileSize = size;
    m_header = h;
    if (h.root != 0 && !IsValidBlock(h.root))
        return status::kFileCorrupt;
    return status::kSuccess;
}

bool CDatabaseFile::IsValidBlock(ULONGLONG offset) const
{
    DWORD bs = m_header.blockSize;
    return bs != 0 && offset != 0 && offset % bs == 0 && offset <= m_fileSize && m_fileSize - offset >= bs;
}

NtStatus CDatabaseFile::Scan(bool verify)
{
    ULONGLONG size = 0;
    NtStatus st = m_file.GetSize(&size);
    if (!NtSuccess(st))
        return st;
    if (size > m_maximumSize)
        return status::kFileTooLarge;
    DWORD bs = m_header.blockSize;
    if (size % bs != 0 || size == 0)
        return status::kFileCorrupt;
    m_fileSize = size;
    size_t blocks = static_cast<size_t>(size / bs);
    m_used.assign(blocks, 0);
    m_used[0] = 1;
    DWORD freeCount = 0;
    std::vector<BYTE> chunk((std::min<ULONGLONG>)(kScanChunk, size));
    DWORD perChunk = static_cast<DWORD>(chunk.size() / bs);
    for (size_t index = 1; index < blocks;) {
        DWORD n = static_cast<DWORD>((std::min<size_t>)(perChunk, blocks - index));
        st = m_file.ReadExactAt(static_cast<ULONGLONG>(index) * bs, chunk.data(), n * bs, status::kUnsuccessful);
        if (!NtSuccess(st))
            return st;
        for (DWORD k = 0; k < n; ++k, ++index) {
            const BYTE* block = chunk.data() + static_cast<size_t>(k) * bs;
            BlockHeader h;
            std::memcpy(&h, block, kBlockHeader);
            if (h.headerCrc != Crc32(&h, 20))
                return status::kFileCorrupt;
            if (h.flags & kFlagFree) {
                if (h.length != 0 || h.next != 0 || h.dataCrc != 0)
                    return status::kFileCorrupt;
                ++freeCount;
                continue;
            }
            bool last = (h.flags & kFlagLast) != 0;
            if (!(h.flags & kFlagFirst)) {
                if (last ? h.length > m_payload : h.length != m_payload)
                    return status::kFileCorrupt;
            }
            if (last ? h.next != 0 : !IsValidBlock(h.next))
                return status::kFileCorrupt;
            if (h.flags & kFlagFirst) {
                if (m_used[index])
                    return status::kFileCorrupt;
                m_used[index] = 1;
            }
            if (h.next != 0) {
                size_t succ = static_cast<size_t>(h.next / bs);
                if (succ == index || m_used[succ])
                    return status::kFileCorrupt;
                m_used[succ] = 1;
            }
            if (verify) {
                DWORD covered = m_payload;
                if (last) {
                    covered = (h.flags & kFlagFirst) ? h.length : h.length;
                    if (covered > m_payload)
                        return status::kFileCorrupt;
                }
                if (h.dataCrc != Crc32(block + kBlockHeader, covered))
                    return status::kFileCorrupt;
            }
        }
    }
    // Every used block must be reached exactly once.
    DWORD clear = static_cast<DWORD>(std::count(m_used.begin(), m_used.end(), 0));
    if (clear != freeCount)
        return status::kFileCorrupt;
    m_freeCount = freeCount;
    return status::kSuccess;
}

NtStatus CDatabaseFile::ReadBlockHeader(ULONGLONG offset, BlockHeader& h)
{
    if (!IsValidBlock(offset))
        return status::kInvalidParameter;
    return m_file.ReadExactAt(offset, &h, kBlockHeader, status::kUnsuccessful);
}

NtStatus CDatabaseFile::ReadChain(ULONGLONG recordId, CBlockList& list, DWORD* length)
{
    BlockHeader h;
    NtStatus st = ReadBlockHeader(recordId, h);
    if (!NtSuccess(st))
        return st;
    if ((h.flags & kFlagFirst) == 0 || (h.flags & kFlagFree) != 0 || h.length == 0)
        return status::kInvalidParameter;
    size_t count = BlocksFor(h.length);
    if (count > m_used.size())
        return status::kFileCorrupt;
    list.Reset(0);
    *length = h.length;
    ULONGLONG at = recordId;
    for (size_t k = 0; k < count; ++k) {
        if (k > 0) {
            st = ReadBlockHeader(at, h);
            if (!NtSuccess(st))
                return st == status::kInvalidParameter ? status::kFileCorrupt : st;
        }
        list.Append(at);
        if (k + 1 < count)
            at = h.next;
    }
    if ((h.flags & kFlagLast) == 0)
        return status::kUnsuccessful;
    return status::kSuccess;
}

NtStatus CDatabaseFile::Allocate(size_t n, const std::vector<BYTE>& taken, CBlockList& into)
{
    // taken marks blocks already promised to this operation (their bits are still set or are
    // in the pool); clear bits of m_used are the free blocks.
    if (n == 0)
        return status::kSuccess;
    DWORD bs = m_header.blockSize;
    size_t freeNow = 0;
    for (size_t i = 1; i < m_used.size(); ++i)
        if (!m_used[i] && !(i < taken.size() && taken[i]))
            ++freeNow;
    if (n > freeNow) {
        size_t grow = n - freeNow;
        ULONGLONG newSize = m_fileSize + static_cast<ULONGLONG>(grow) * bs;
        if (newSize > m_maximumSize)
            return status::kFileTooLarge;
        // The file itself grows once the journal is on disk (RunBatch).
        m_fileSize = newSize;
        m_used.resize(static_cast<size_t>(newSize / bs), 0);
    }
    size_t got = 0;
    for (size_t i = 1; i < m_used.size() && got < n; ++i) {
        if (!m_used[i] && !(i < taken.size() && taken[i])) {
            into.Append(static_cast<ULONGLONG>(i) * bs);
            ++got;
        }
    }
    return got == n ? status::kSuccess : status::kUnsuccessful;
}

NtStatus CDatabaseFile::WriteRecord(const CBlockList& list, const BYTE* data, DWORD length)
{
    DWORD remaining = length;
    const BYTE* at = data;
    for (size_t k = 0; k < list.Count(); ++k) {
        bool last = k + 1 == list.Count();
        DWORD take = (std::min)(remaining, m_payload);
        BlockHeader h{};
        h.flags = (k == 0 ? kFlagFirst : 0) | (last ? kFlagLast : 0);
        h.length = k == 0 ? length : take;
        h.next = last ? 0 : list[k + 1];
        std::memcpy(m_block.data() + kBlockHeader, at, take);
        if (take < m_payload)
            std::memset(m_block.data() + kBlockHeader + take, 0, m_payload - take);
        h.dataCrc = m_keepDataCrcs ? Crc32(m_block.data() + kBlockHeader, last ? take : m_payload) : 0;
        h.headerCrc = Crc32(&h, 20);
        std::memcpy(m_block.data(), &h, kBlockHeader);
        NtStatus st = m_file.WriteExactAt(list[k], m_block.data(), m_header.blockSize);
        if (!NtSuccess(st))
            return st;
        at += take;
        remaining -= take;
    }
    return status::kSuccess;
}

NtStatus CDatabaseFile::WriteFreeBlock(ULONGLONG offset)
{
    BlockHeader h{0, kFlagFree, 0, 0, 0};
    h.headerCrc = Crc32(&h, 20);
    std::memset(m_block.data(), 0, m_block.size());
    std::memcpy(m_block.data(), &h, kBlockHeader);
    return m_file.WriteExactAt(offset, m_block.data(), m_header.blockSize);
}

NtStatus CDatabaseFile::FlushIfAsked()
{
    return m_flushWrites ? m_file.Flush() : status::kSuccess;
}

NtStatus CDatabaseFile::CheckWritable() const
{
    if (!IsOpen())
        return status::kInvalidHandle;
    if (!m_writable)
        return status::kAccessDenied;
    if (m_broken)
        return status::kUnsuccessful;
    return status::kSuccess;
}

NtStatus CDatabaseFile::Shrink()
{
    // The blocks cut off have their before-images in the journal already (RunBatch), so that a
    // roll back that re-extends the file finds valid free blocks there.
    size_t last = m_used.size();
    while (last > 1 && !m_used[last - 1])
        --last;
    if (last == m_used.size())
        return status::kSuccess;
    ULONGLONG newSize = static_cast<ULONGLONG>(last) * m_header.blockSize;
    NtStatus st = m_file.SetSize(newSize);
    if (!NtSuccess(st))
        return st;
    m_freeCount -= static_cast<DWORD>(m_used.size() - last);
    m_used.resize(last);
    m_fileSize = newSize;
    return status::kSuccess;
}

void CDatabaseFile::RecoverMemory(ULONGLONG fileSize)
{
    m_fileSize = fileSize;
    m_used.resize(static_cast<size_t>(fileSize / m_header.blockSize), 0);
}

NtStatus CDatabaseFile::Insert(const BYTE* data, DWORD length, ULONGLONG* recordId)
{
    if (data == nullptr || length == 0)
        return status::kInvalidParameter;
    CPlainOperation op(CRecordOp::kInsert, 0, data, length);
    NtStatus st = ApplyBatch({&op});
    if (NtSuccess(st) && recordId != nullptr)
        *recordId = op.RecordId();
    return st;
}

NtStatus CDatabaseFile::Update(ULONGLONG recordId, const BYTE* data, DWORD length)
{
    if (!IsValidBlock(recordId) || data == nullptr || length == 0)
        return status::kInvalidParameter;
    CPlainOperation op(CRecordOp::kUpdate, recordId, data, length);
    return ApplyBatch({&op});
}

NtStatus CDatabaseFile::Delete(ULONGLONG recordId)
{
    CPlainOperation op(CRecordOp::kDelete, recordId, nullptr, 0);
    return ApplyBatch({&op});
}

NtStatus CDatabaseFile::ApplyBatch(const std::vector<CRecordOp*>& ops)
{
    NtStatus st = CheckWritable();
    if (!NtSuccess(st))
        return st;
    if (ops.empty())
        return status::kInvalidParameter;
    ULONGLONG sizeBefore = m_fileSize;
    st = m_journal.SetMark(m_fileSize);
    if (!NtSuccess(st))
        return st;
    try {
        st = RunBatch(ops);
    } catch (const std::bad_alloc&) {
        st = status::kNoMemory;
    }
    if (NtSuccess(st)) {
        m_journal.ClearMark();
        return st;
    }
    NtStatus undo = m_journal.RollbackToMark(m_file);
    if (!NtSuccess(undo)) {
        QK_TRACE(L"roll back failed: 0x%08lX", static_cast<unsigned long>(undo));
        m_broken = true;
    }
    RecoverMemory(sizeBefore);
    return st;
}

NtStatus CDatabaseFile::RunBatch(const std::vector<CRecordOp*>& ops)
{
    const DWORD bs = m_header.blockSize;
    const ULONGLONG sizeAtStart = m_fileSize;
    // First pass: the blocks each operation keeps, needs or gives back.
    std::vector<DWORD> sizes(ops.size(), 0);
    CBlockList pool;
    std::set<ULONGLONG> named;
    size_t totalNeed = 0;
    DWORD largest = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        CRecordOp* op = ops[i];
        const DWORD kind = op->Kind();
        op->Blocks().Reset(0);
        op->BlocksToAllocate() = 0;
        if (kind > CRecordOp::kDelete)
            return status::kUnsuccessful;
        if (kind != CRecordOp::kDelete) {
            sizes[i] = op->DataSize();
            if (sizes[i] == 0)
                return status::kInvalidParameter;
        }
        if (kind == CRecordOp::kInsert) {
            op->BlocksToAllocate() = BlocksFor(sizes[i]);
        } else {
            ULONGLONG id = op->RecordId();
            if (!named.insert(id).second)
                return status::kTransactionalConflict;
            DWORD oldLength = 0;
            NtStatus st = ReadChain(id, op->Blocks(), &oldLength);
            if (!NtSuccess(st))
                return st;
            size_t want = kind == CRecordOp::kDelete ? 0 : BlocksFor(sizes[i]);
            if (want > op->Blocks().Count()) {
                op->BlocksToAllocate() = want - op->Blocks().Count();
            } else {
                CBlockList surplus;
                op->Blocks().SplitTail(want, surplus);
                pool.AppendRange(surplus, 0, surplus.Count());
            }
        }
        totalNeed += op->BlocksToAllocate();
        if (kind != CRecordOp::kDelete && op->Data() == nullptr)
            largest = (std::max)(largest, sizes[i]);
    }

    std::vector<BYTE> inPool(m_used.size(), 0);
    for (ULONGLONG off : pool.Items())
        inPool[static_cast<size_t>(off / bs)] = 1;
    if (pool.Count() < totalNeed) {
        NtStatus st = Allocate(totalNeed - pool.Count(), inPool, pool);
        if (!NtSuccess(st))
            return st;
    } else if (pool.Count() > 0 && totalNeed > 0) {
        // Move data towards the start of the file: free blocks below the pool join it.
        ULONGLONG lowest = *std::min_element(pool.Items().begin(), pool.Items().end());
        size_t added = 0;
        for (size_t i = 1; i < m_used.size() && added < totalNeed; ++i) {
            ULONGLONG off = static_cast<ULONGLONG>(i) * bs;
            if (off >= lowest)
                break;
            if (!m_used[i]) {
                pool.Append(off);
                ++added;
            }
        }
    }
    std::sort(pool.Items().begin(), pool.Items().end());

    // The blocks in use afterwards: the operations take the front of the pool in order.
    std::vector<BYTE> after = m_used;
    after.resize(static_cast<size_t>(m_fileSize / bs), 0);
    inPool.assign(after.size(), 0);
    for (size_t k = 0; k < pool.Count(); ++k) {
        size_t index = static_cast<size_t>(pool[k] / bs);
        after[index] = k < totalNeed ? 1 : 0;
        inPool[index] = 1;
    }
    size_t end = after.size();
    while (end > 1 && !after[end - 1])
        --end;

    // Before-images of every block that will change or be cut off, on disk before any of
    // them is written.
    for (CRecordOp* op : ops)
        if (op->Kind() == CRecordOp::kUpdate)
            for (ULONGLONG off : op->Blocks().Items()) {
                NtStatus st = m_journal.SaveBeforeImage(m_file, m_fileSize, off, bs);
                if (!NtSuccess(st))
                    return st;
            }
    for (ULONGLONG off : pool.Items()) {
        NtStatus st = m_journal.SaveBeforeImage(m_file, m_fileSize, off, bs);
        if (!NtSuccess(st))
            return st;
    }
    for (size_t i = end; i < after.size(); ++i) {
        if (inPool[i])
            continue;
        NtStatus st = m_journal.SaveBeforeImage(m_file, m_fileSize, static_cast<ULONGLONG>(i) * bs, bs);
        if (!NtSuccess(st))
            return st;
    }
    {
        NtStatus st = m_journal.Flush();
        if (!NtSuccess(st))
            return st;
    }
    if (m_fileSize > sizeAtStart) {
        NtStatus st = m_file.SetSize(m_fileSize);
        if (!NtSuccess(st))
            return st;
    }

    // Second pass: each insert or update takes its blocks and is written.
    std::vector<BYTE> shared;
    if (largest > 0)
        shared.resize(largest);
    size_t front = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        CRecordOp* op = ops[i];
        if (op->Kind() == CRecordOp::kDelete) {
            NtStatus st = op->OnWritten(op->RecordId());
            if (!NtSuccess(st))
                return st;
            continue;
        }
        size_t need = op->BlocksToAllocate();
        if (front + need > pool.Count())
            return status::kUnsuccessful;
        CBlockList& blocks = op->Blocks();
        blocks.AppendRange(pool, front, need);
        front += need;
        const BYTE* data = op->Data();
        if (data == nullptr) {
            NtStatus st = op->SerializeTo(shared.data(), sizes[i]);
            if (!NtSuccess(st))
                return st;
            data = shared.data();
        }
        NtStatus st = WriteRecord(blocks, data, sizes[i]);
        if (!NtSuccess(st))
            return st;
        if (op->Kind() == CRecordOp::kInsert)
            op->SetRecordId(blocks[0]);
        st = op->OnWritten(blocks[0]);
        if (!NtSuccess(st))
            return st;
    }
    for (size_t k = front; k < pool.Count(); ++k) {
        NtStatus st = WriteFreeBlock(pool[k]);
        if (!NtSuccess(st))
            return st;
    }

    // Commit the allocation, then cut trailing free blocks.
    std::vector<BYTE> before = m_used;
    DWORD freeBefore = m_freeCount;
    m_used.resize(after.size(), 0);
    for (size_t k = 0; k < pool.Count(); ++k)
        m_used[static_cast<size_t>(pool[k] / bs)] = k < front ? 1 : 0;
    m_freeCount = static_cast<DWORD>(std::count(m_used.begin(), m_used.end(), 0));
    NtStatus st = Shrink();
    if (NtSuccess(st))
        st = FlushIfAsked();
    if (!NtSuccess(st)) {
        m_used = std::move(before);
        m_freeCount = freeBefore;
    }
    return st;
}

NtStatus CDatabaseFile::GetRecordSize(ULONGLONG recordId, DWORD* length)
{
    if (!IsOpen() || length == nullptr)
        return status::kInvalidParameter;
    // After a failed roll back the file holds changes that a reopen will undo: serving them
    // would show settings that were never committed.
    if (m_broken)
        return status::kUnsuccessful;
    BlockHeader h;
    NtStatus st = ReadBlockHeader(recordId, h);
    if (!NtSuccess(st))
        return st;
    if ((h.flags & kFlagFirst) == 0 || (h.flags & kFlagFree) != 0)
        return status::kInvalidParameter;
    *length = h.length;
    return status::kSuccess;
}

NtStatus CDatabaseFile::Read(ULONGLONG recordId, CByteBuffer& buffer)
{
    if (!IsOpen())
        return status::kInvalidParameter;
    if (m_broken)
        return status::kUnsuccessful; // see GetRecordSize
    if (!IsValidBlock(recordId))
        return status::kInvalidParameter;
    // The first block is read whole: its header is the size query, its payload the start of
    // the data. The rest is read as one run of blocks from the first one's successor, as the
    // blocks of a record written at once follow each other; a block outside the run starts a
    // new run. So a record costs one read, or two when it spans blocks.
    const DWORD bs = m_header.blockSize;
    DWORD length = 0, copied = 0;
    ULONGLONG at = recordId;
    size_t limit = m_used.size(), count = 1;
    const BYTE* block = nullptr;
    ULONGLONG runStart = 0, runEnd = 0;
    for (size_t k = 0;; ++k) {
        if (k >= limit || !IsValidBlock(at))
            return status::kFileCorrupt;
        if (k == 0) {
            NtStatus st = m_file.ReadExactAt(at, m_block.data(), bs, status::kUnsuccessful);
            if (!NtSuccess(st))
                return st;
            block = m_block.data();
        } else {
            if (k >= count)
                return status::kFileCorrupt; // a chain longer than its record
            if (at < runStart || at >= runEnd) {
                size_t blocks = (std::min<ULONGLONG>)(count - k, (m_fileSize - at) / bs);
                m_run.resize(blocks * bs);
                NtStatus st =
                    m_file.ReadExactAt(at, m_run.data(), static_cast<DWORD>(m_run.size()), status::kUnsuccessful);
                if (!NtSuccess(st))
                    return st;
                runStart = at;
                runEnd = at + m_run.size();
            }
            block = m_run.data() + (at - runStart);
        }
        BlockHeader h;
        std::memcpy(&h, block, kBlockHeader);
        if (h.headerCrc != Crc32(&h, 20))
            return status::kFileCorrupt;
        if (k == 0) {
            if ((h.flags & kFlagFirst) == 0 || (h.flags & kFlagFree) != 0)
                return status::kInvalidParameter;
            length = h.length;
            count = BlocksFor(length);
            // A length that more blocks than the file holds could carry is damage, not a
            // request for a huge buffer.
            if (count > m_used.size())
                return status::kFileCorrupt;
            if (buffer.Size() != length && !buffer.Allocate(length))
                return status::kNoMemory;
        }
        if ((h.flags & kFlagFree) || (k > 0 && (h.flags & kFlagFirst)))
            return status::kFileCorrupt;
        bool last = (h.flags & kFlagLast) != 0;
        DWORD take = last ? h.length : m_payload;
        if (last && k == 0 && h.length > m_payload)
            return status::kFileCorrupt;
        if (take > m_payload || take > length - copied)
            return status::kFileCorrupt;
        if (m_verifyOnRead && h.dataCrc != Crc32(block + kBlockHeader, take))
            return status::kFileCorrupt;
        std::memcpy(buffer.Data() + copied, block + kBlockHeader, take);
        copied += take;
        if (last)
            break;
        at = h.next;
    }
    return copied == length ? status::kSuccess : status::kFileCorrupt;
}

NtStatus CDatabaseFile::WriteHeaderBlock()
{
    std::fill(m_block.begin(), m_block.end(), 0);
    m_header.crc = Crc32(&m_header, 32);
    std::memcpy(m_block.data(), &m_header, kHeaderBytes);
    return m_file.WriteExactAt(0, m_block.data(), m_header.blockSize);
}

NtStatus CDatabaseFile::SetRootRecord(ULONGLONG recordId)
{
    if (!IsValidBlock(recordId))
        return status::kInvalidParameter;
    BlockHeader h;
    NtStatus st = ReadBlockHeader(recordId, h);
    if (!NtSuccess(st))
        return st;
    if ((h.flags & kFlagFree) || !(h.flags & kFlagFirst))
        return status::kInvalidParameter;
    st = CheckWritable();
    if (!NtSuccess(st))
        return st;
    ULONGLONG sizeBefore = m_fileSize;
    st = m_journal.SetMark(m_fileSize);
    if (!NtSuccess(st))
        return st;
    Header before = m_header;
    st = m_journal.SaveBeforeImage(m_file, m_fileSize, 0, m_header.blockSize);
    if (NtSuccess(st))
        st = m_journal.Flush();
    if (NtSuccess(st)) {
        m_header.root = recordId;
        st = WriteHeaderBlock();
    }
    if (NtSuccess(st))
        st = FlushIfAsked();
    if (NtSuccess(st)) {
        m_journal.ClearMark();
        return st;
    }
    m_header = before;
    NtStatus undo = m_journal.RollbackToMark(m_file);
    if (!NtSuccess(undo))
        m_broken = true;
    RecoverMemory(sizeBefore);
    return st;
}

NtStatus CDatabaseFile::Checkpoint()
{
    if (!IsOpen() || !m_writable)
        return status::kSuccess;
    if (m_broken)
        return status::kUnsuccessful;
    return m_journal.Checkpoint(m_fileSize);
}

NtStatus CDatabaseFile::Revert()
{
    if (!IsOpen() || !m_writable)
        return status::kSuccess;
    // Nothing changed since the checkpoint: nothing to undo and nothing to read again.
    if (!m_broken && (!m_journal.IsFileOpen() || m_journal.AtCheckpoint(m_fileSize)))
        return status::kSuccess;
    NtStatus st = m_journal.IsFileOpen() ? m_journal.RollbackAll(m_file, m_fileSize) : status::kSuccess;
    if (!NtSuccess(st)) {
        m_broken = true;
        return st;
    }
    Header h;
    st = m_file.ReadExactAt(0, &h, kHeaderBytes, status::kFileCorrupt);
    if (!NtSuccess(st))
        return st;
    if (h.crc != Crc32(&h, 32))
        return status::kFileCorrupt;
    m_header = h;
    st = Scan(false);
    m_broken = !NtSuccess(st);
    return st;
}

} // namespace qkSettings
