#include "common/persist/qkDataStore.h"

#include <cstddef>
#include <new>

#include "common/base/qkCrc32.h"
#include "common/base/qkMemory.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"

namespace {

constexpr ULONGLONG kMaxAllocated = 0xFFFFFFFFull;

} // namespace

qkDataStore::qkDataStore(DWORD storeSignature, DWORD, DWORD recordSignature, DWORD)
    : m_storeSignature(storeSignature), m_recordSignature(recordSignature)
{}

qkDataStore::~qkDataStore()
{
    Close();
}

BOOL qkDataStore::Fail(DWORD error)
{
    m_lastError = error;
    QK_TRACE(L"data store error %lu", error);
    return FALSE;
}

BOOL qkDataStore::FileError()
{
    return Fail(m_file.GetLastError() ? m_file.GetLastError() : ERROR_WRITE_FAULT);
}

BOOL qkDataStore::IsOpen() const
{
    const HANDLE file = m_file.GetHandle();
    return file != nullptr && file != INVALID_HANDLE_VALUE;
}

void qkDataStore::DisableChecksums(DWORD)
{
    m_checksums = FALSE;
}

BOOL qkDataStore::WriteAt(ULONGLONG offset, const void* data, DWORD size)
{
    if (!m_file.SeekFromBegin(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32)) || !m_file.Write(data, size))
        return FileError();
    return TRUE;
}

BOOL qkDataStore::SetFileLength(ULONGLONG size)
{
    if (!m_file.SetLength(static_cast<DWORD>(size), static_cast<LONG>(size >> 32)))
        return FileError();
    return TRUE;
}

BOOL qkDataStore::ReadAt(ULONGLONG offset, void* buffer, DWORD size)
{
    if (m_viewing)
        return ReadThroughJournal(offset, static_cast<BYTE*>(buffer), size);
    if (!m_file.ReadAt(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32), buffer, size))
        return FileError();
    return TRUE;
}

BOOL qkDataStore::GetFileSize(ULONGLONG* size)
{
    if (m_viewing) {
        *size = m_viewLength;
        return TRUE;
    }
    if (!m_file.GetSize(size))
        return FileError();
    return TRUE;
}

void qkDataStore::Flush()
{
    if (m_flushWrites && !::FlushFileBuffers(m_file.GetHandle()))
        QK_TRACE(L"FlushFileBuffers failed: %lu", ::GetLastError());
}

DWORD qkDataStore::DataCrc(const void* data, DWORD size) const
{
    return m_checksums ? qkLib::Crc32(data, size) : 0;
}

// --- free-space index ---

DWORD qkDataStore::FreeSpaceOf(const RecordHeader& header)
{
    if (header.used == 0)
        return header.allocated;
    const DWORD slack = header.allocated - header.used;
    return slack > kRecordHeaderSize ? slack - kRecordHeaderSize : 0;
}

BOOL qkDataStore::IndexAdd(const RecordHeader& header)
{
    try {
        const DWORD space = FreeSpaceOf(header);
        m_freeBySize.emplace(space, header);
        m_freeById[header.id] = space;
        return TRUE;
    } catch (const std::bad_alloc&) {
        IndexRemove(header.id);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

void qkDataStore::IndexRemove(ULONGLONG id)
{
    const auto byId = m_freeById.find(id);
    if (byId == m_freeById.end())
        return;
    auto [first, last] = m_freeBySize.equal_range(byId->second);
    for (auto it = first; it != last; ++it) {
        if (it->second.id == id) {
            m_freeBySize.erase(it);
            break;
        }
    }
    m_freeById.erase(byId);
}

BOOL qkDataStore::IndexUpdate(const RecordHeader& header)
{
    IndexRemove(header.id);
    return FreeSpaceOf(header) ? IndexAdd(header) : TRUE;
}

void qkDataStore::IndexClear()
{
    m_freeById.clear();
    m_freeBySize.clear();
}

// --- headers ---

BOOL qkDataStore::ReadStoreHeader(StoreHeader* header)
{
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    if (fileSize < kStoreHeaderSize)
        return Fail(ERROR_FILE_CORRUPT);
    if (!ReadAt(0, header, kStoreHeaderSize))
        return FALSE;
    if (header->headerCrc != qkLib::HeaderCrc(header, kStoreHeaderSize, offsetof(StoreHeader, headerCrc)) || header->signature != m_storeSignature ||
        header->one != 1 || (header->recordedSize != 0 && header->recordedSize != fileSize) ||
        kStoreHeaderSize + static_cast<ULONGLONG>(header->userHeaderSize) > fileSize) {
        QK_TRACE(L"store header refused");
        return Fail(ERROR_FILE_CORRUPT);
    }
    return TRUE;
}

BOOL qkDataStore::WriteStoreHeader(StoreHeader* header)
{
    header->signature = m_storeSignature;
    header->one = 1;
    header->zero = 0;
    header->headerCrc = qkLib::HeaderCrc(header, kStoreHeaderSize, offsetof(StoreHeader, headerCrc));
    return Write(0, header, kStoreHeaderSize);
}

BOOL qkDataStore::ReadRecordHeader(ULONGLONG id, RecordHeader* header)
{
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    const ULONGLONG first = FirstRecordOffset();
    if (fileSize < first || id < first || id + kRecordHeaderSize > fileSize) {
        QK_TRACE(L"record %llu outside the records", id);
        return Fail(ERROR_FILE_CORRUPT);
    }
    if (!ReadAt(id, header, kRecordHeaderSize))
        return FALSE;
    if (header->headerCrc != qkLib::HeaderCrc(header, kRecordHeaderSize, offsetof(RecordHeader, headerCrc)) || header->signature != m_recordSignature ||
        header->one != 1 || header->id != id || header->used > header->allocated ||
        id + kRecordHeaderSize + header->allocated > fileSize || header->preceding + kRecordHeaderSize > id) {
        QK_TRACE(L"record header at %llu refused", id);
        return Fail(ERROR_FILE_CORRUPT);
    }
    if (!IndexContains(id) && FreeSpaceOf(*header) && !IndexAdd(*header))
        return FALSE;
    return TRUE;
}

BOOL qkDataStore::WriteRecordHeader(RecordHeader* header)
{
    header->signature = m_recordSignature;
    header->one = 1;
    header->headerCrc = qkLib::HeaderCrc(header, kRecordHeaderSize, offsetof(RecordHeader, headerCrc));
    if (!Write(header->id, header, kRecordHeaderSize))
        return FALSE;
    return IndexUpdate(*header);
}

BOOL qkDataStore::ReadFollowing(const RecordHeader& header, RecordHeader* following, bool* exists)
{
    *exists = false;
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    const ULONGLONG next = header.id + kRecordHeaderSize + header.allocated;
    if (next >= fileSize)
        return TRUE;
    if (!ReadRecordHeader(next, following))
        return FALSE;
    *exists = true;
    return TRUE;
}

BOOL qkDataStore::ReadPreceding(const RecordHeader& header, RecordHeader* preceding, bool* exists)
{
    *exists = false;
    if (header.id <= FirstRecordOffset() || header.preceding < FirstRecordOffset())
        return TRUE;
    if (!ReadRecordHeader(header.preceding, preceding))
        return FALSE;
    // A back link left behind by an interrupted change may name a record that no longer
    // borders this one: only an adjacent record is a neighbour.
    if (preceding->id + kRecordHeaderSize + preceding->allocated != header.id) {
        QK_TRACE(L"record %llu does not border %llu", preceding->id, header.id);
        return TRUE;
    }
    *exists = true;
    return TRUE;
}

// --- open and close ---

BOOL qkDataStore::Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flagsAndAttributes, DWORD, DWORD userHeaderSize)
{
    qkScopedLock lock(m_lock);
    Close();
    if (!m_file.Open(path, access, shareMode, security, disposition, flagsAndAttributes))
        return Fail(m_file.GetLastError());
    const DWORD openError = ::GetLastError();
    bool create = false;
    switch (disposition) {
    case CREATE_NEW:
    case CREATE_ALWAYS:
    case TRUNCATE_EXISTING:
        create = true;
        break;
    case OPEN_EXISTING:
        create = false;
        break;
    case OPEN_ALWAYS:
        create = openError == 0;
        break;
    default:
        m_file.Handle().Close();
        return Fail(ERROR_INVALID_PARAMETER);
    }
    m_openForWrite = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    // The journal comes first: a change that a crash interrupted is undone before the store is read.
    BOOL ok = m_openForWrite ? OpenJournal(path, create) : create || OpenJournalView(path);
    ok = ok && (create ? CreateStore(userHeaderSize) : OpenExisting());
    if (ok && m_openForWrite) {
        // While open for writing the file says "not closed": recorded size and user CRC 0.
        StoreHeader header{};
        ok = BeginChange() && ReadStoreHeader(&header);
        if (ok) {
            header.recordedSize = 0;
            header.userHeaderCrc = 0;
            ok = WriteStoreHeader(&header);
        }
        ok = EndChange(ok);
    }
    if (!ok) {
        const DWORD error = m_lastError;
        IndexClear();
        m_lastRecord = 0;
        m_userHeaderSize = 0;
        m_openForWrite = FALSE;
        m_file.Handle().Close();
        CloseJournal();
        m_lastError = error;
        return FALSE;
    }
    return TRUE;
}

BOOL qkDataStore::CreateStore(DWORD userHeaderSize)
{
    m_userHeaderSize = userHeaderSize;
    IndexClear();
    m_lastRecord = 0;
    StoreHeader header{};
    header.userHeaderSize = userHeaderSize;
    if (!WriteStoreHeader(&header))
        return FALSE;
    const BYTE zeros[256] = {};
    for (DWORD done = 0; done < userHeaderSize;) {
        const DWORD piece = userHeaderSize - done < 256 ? userHeaderSize - done : 256;
        if (!Write(kStoreHeaderSize + done, zeros, piece))
            return FALSE;
        done += piece;
    }
    return TRUE;
}

BOOL qkDataStore::OpenExisting()
{
    StoreHeader header{};
    if (!ReadStoreHeader(&header))
        return FALSE;
    m_userHeaderSize = header.userHeaderSize;
    m_copyTarget = nullptr;
    return Verify();
}

BOOL qkDataStore::Close()
{
    qkScopedLock lock(m_lock);
    BOOL ok = TRUE;
    if (IsOpen() && m_openForWrite) {
        // A change that could not be undone yet is undone first; while it stays in the journal
        // the store is left marked "not closed", so that the next open undoes it.
        StoreHeader header{};
        ULONGLONG fileSize = 0;
        ok = BeginChange() && ReadStoreHeader(&header) && GetFileSize(&fileSize);
        if (ok) {
            header.recordedSize = fileSize;
            header.userHeaderCrc = 0;
            if (m_checksums && m_userHeaderSize &&
                !qkLib::Crc32File(m_file, &header.userHeaderCrc, kStoreHeaderSize, m_userHeaderSize))
                ok = Fail(ERROR_FILE_CORRUPT);
            ok = ok && WriteStoreHeader(&header);
        }
        ok = EndChange(ok);
    }
    m_userHeaderSize = 0;
    m_openForWrite = FALSE;
    if (ok)
        m_lastError = 0;
    IndexClear();
    m_lastRecord = 0;
    m_file.Handle().Close();
    CloseJournal();
    return ok;
}

// --- user header ---

BOOL qkDataStore::ReadUserHeader(DWORD, void* buffer, DWORD size)
{
    qkScopedLock lock(m_lock);
    if (!buffer || size > m_userHeaderSize)
        return Fail(ERROR_INVALID_PARAMETER);
    return ReadAt(kStoreHeaderSize, buffer, size);
}

BOOL qkDataStore::WriteUserHeader(DWORD, const void* buffer, DWORD size)
{
    qkScopedLock lock(m_lock);
    if (!buffer || size > m_userHeaderSize)
        return Fail(ERROR_INVALID_PARAMETER);
    return EndChange(BeginChange() && Write(kStoreHeaderSize, buffer, size));
}

// --- records ---

BOOL qkDataStore::WriteRecordData(ULONGLONG offset, const RecordData& data, DWORD* crc)
{
    if (!data.producer) {
        *crc = DataCrc(data.bytes, data.size);
        return Write(offset, data.bytes, data.size);
    }
    bool storeFailed = false;
    const RecordPieceWriter write = [&](DWORD at, const void* bytes, DWORD size) -> BOOL {
        storeFailed = !bytes || ULONGLONG(at) + size > data.size;
        if (storeFailed)
            return Fail(ERROR_INVALID_PARAMETER);
        storeFailed = !Write(offset + at, bytes, size);
        return !storeFailed;
    };
    if (!(*data.producer)(write))
        return storeFailed ? FALSE : Fail(ERROR_READ_FAULT); // the producer's own source failed
    *crc = 0;
    if (!m_checksums)
        return TRUE;
    // The data as written, read back in pieces: it is never held whole.
    std::vector<BYTE> piece(data.size < 65536 ? data.size : 65536);
    DWORD running = 0xFFFFFFFF;
    for (DWORD done = 0; done < data.size;) {
        const DWORD n = data.size - done < piece.size() ? data.size - done : static_cast<DWORD>(piece.size());
        if (!ReadAt(offset + done, piece.data(), n))
            return FALSE;
        running = qkLib::Crc32Update(running, piece.data(), n);
        done += n;
    }
    *crc = data.size ? ~running : 0;
    return TRUE;
}

BOOL qkDataStore::AppendRecord(const void* data, DWORD size, ULONGLONG* recordId)
{
    return AppendRecord(RecordData{data, size, nullptr}, recordId);
}

BOOL qkDataStore::AppendRecord(const RecordData& data, ULONGLONG* recordId)
{
    qkScopedLock lock(m_lock);
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    RecordHeader record{};
    record.id = fileSize;
    record.preceding = m_lastRecord;
    record.allocated = record.used = data.size;
    // Data first: until its header is written the record is an unfinished append. When the
    // header cannot be written the data is cut off again, so that the store stays whole.
    if (!WriteRecordData(record.id + kRecordHeaderSize, data, &record.dataCrc) || !WriteRecordHeader(&record)) {
        const DWORD error = m_lastError;
        ULONGLONG now = 0;
        if (GetFileSize(&now) && now > record.id && !Truncate(record.id))
            QK_TRACE(L"unfinished append at %llu not cut off", record.id);
        m_lastError = error;
        return FALSE;
    }
    m_lastRecord = record.id;
    *recordId = record.id;
    return TRUE;
}

BOOL qkDataStore::AppendCopy(const void* data, DWORD size, ULONGLONG* recordId)
{
    // Guarded by the journal like every other change, so that a crash cannot leave a torn
    // record at the end of the target.
    qkScopedLock lock(m_lock);
    const BOOL begun = BeginChange();
    return EndChange(begun && AppendRecord(data, size, recordId));
}

BOOL qkDataStore::AddRecordLocked(const void* data, DWORD size, ULONGLONG* recordId)
{
    if (!data)
        return Fail(ERROR_INVALID_PARAMETER);
    return AddRecordLocked(RecordData{data, size, nullptr}, recordId);
}

BOOL qkDataStore::AddRecordLocked(const RecordData& data, ULONGLONG* recordId)
{
    if (recordId)
        *recordId = 0;
    const DWORD size = data.size;
    if ((!data.bytes && !data.producer) || size == 0 || !recordId)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto fit = m_freeBySize.lower_bound(size);
    if (fit == m_freeBySize.end()) {
        if (!AppendRecord(data, recordId))
            return FALSE;
        return TRUE;
    }
    RecordHeader donor{};
    if (!ReadRecordHeader(fit->second.id, &donor))
        return FALSE;
    if (FreeSpaceOf(donor) < size)
        return Fail(ERROR_FILE_CORRUPT);
    RecordHeader record{};
    if (donor.used == 0) {
        // A free record is reused whole; its allocated size stays.
        record = donor;
        record.used = size;
        if (!WriteRecordData(record.id + kRecordHeaderSize, data, &record.dataCrc) || !WriteRecordHeader(&record))
            return FALSE;
    } else {
        // Carved out of the donor's slack: the new record and the following record's back link
        // are written while the donor still covers the space, the donor is shrunk last.
        record.id = donor.id + kRecordHeaderSize + donor.used;
        record.preceding = donor.id;
        record.allocated = donor.allocated - donor.used - kRecordHeaderSize;
        record.used = size;
        RecordHeader following{};
        bool hasFollowing = false;
        if (!ReadFollowing(donor, &following, &hasFollowing) ||
            !WriteRecordData(record.id + kRecordHeaderSize, data, &record.dataCrc) || !WriteRecordHeader(&record))
            return FALSE;
        if (hasFollowing) {
            following.preceding = record.id;
            if (!WriteRecordHeader(&following))
                return FALSE;
        }
        donor.allocated = donor.used;
        if (!WriteRecordHeader(&donor))
            return FALSE;
        if (!hasFollowing)
            m_lastRecord = record.id;
    }
    *recordId = record.id;
    return TRUE;
}

BOOL qkDataStore::UpdateRecordLocked(ULONGLONG* recordId, const void* data, DWORD size)
{
    if (!recordId || *recordId == 0 || !data || size == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    RecordHeader record{};
    if (!ReadRecordHeader(*recordId, &record))
        return FALSE;
    if (record.used == 0)
        return Fail(ERROR_FILE_CORRUPT);
    if (size > record.allocated) {
        // Moves: the new copy is complete before the old record goes. When either step fails the
        // journal undoes both and UpdateRecord gives the caller its old id back.
        ULONGLONG newId = 0;
        if (!AddRecordLocked(data, size, &newId) || !DeleteRecordLocked(*recordId))
            return FALSE;
        *recordId = newId;
        return TRUE;
    }
    const DWORD oldUsed = record.used;
    record.used = size;
    record.dataCrc = DataCrc(data, size);
    if (!WriteRecordHeader(&record) || !Write(record.id + kRecordHeaderSize, data, size))
        return FALSE;
    if (oldUsed != size && !Coalesce(record))
        return FALSE;
    return TRUE;
}

BOOL qkDataStore::DeleteRecordLocked(ULONGLONG recordId)
{
    if (recordId == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    RecordHeader record{};
    if (!ReadRecordHeader(recordId, &record))
        return FALSE;
    if (record.used == 0)
        return Fail(ERROR_FILE_CORRUPT);
    record.used = 0;
    record.dataCrc = 0;
    if (!WriteRecordHeader(&record) || !Coalesce(record))
        return FALSE;
    return TRUE;
}

BOOL qkDataStore::AddRecord(DWORD size, const RecordProducer& producer, ULONGLONG* recordId)
{
    qkScopedLock lock(m_lock);
    if (recordId)
        *recordId = 0;
    const BOOL begun = BeginChange();
    if (EndChange(begun && AddRecordLocked(RecordData{nullptr, size, &producer}, recordId)))
        return TRUE;
    if (recordId)
        *recordId = 0;
    return RebuildIndexAfterFailure();
}

// Each change runs inside the journal's bracket: a failure anywhere undoes all of it.
BOOL qkDataStore::AddRecord(const void* data, DWORD size, ULONGLONG* recordId)
{
    qkScopedLock lock(m_lock);
    if (recordId)
        *recordId = 0;
    const BOOL begun = BeginChange();
    if (EndChange(begun && AddRecordLocked(data, size, recordId)))
        return TRUE;
    if (recordId)
        *recordId = 0;
    return RebuildIndexAfterFailure();
}

BOOL qkDataStore::UpdateRecord(ULONGLONG* recordId, const void* data, DWORD size)
{
    qkScopedLock lock(m_lock);
    const ULONGLONG before = recordId ? *recordId : 0;
    const BOOL begun = BeginChange();
    if (EndChange(begun && UpdateRecordLocked(recordId, data, size)))
        return TRUE;
    if (recordId)
        *recordId = before;
    return RebuildIndexAfterFailure();
}

BOOL qkDataStore::DeleteRecord(ULONGLONG recordId)
{
    qkScopedLock lock(m_lock);
    const BOOL begun = BeginChange();
    return EndChange(begun && DeleteRecordLocked(recordId)) || RebuildIndexAfterFailure();
}

// A change that failed part-way may have left headers in the index that the file no longer
// walks to: the index is read again from the file. Gives FALSE with the change's error.
BOOL qkDataStore::RebuildIndexAfterFailure()
{
    const DWORD error = m_lastError;
    RebuildIndex();
    m_lastError = error;
    return FALSE;
}

void qkDataStore::RebuildIndex()
{
    if (IsOpen()) {
        IndexClear();
        m_lastRecord = 0;
        ULONGLONG fileSize = 0;
        if (GetFileSize(&fileSize)) {
            for (ULONGLONG offset = FirstRecordOffset(); offset < fileSize;) {
                RecordHeader record{};
                if (!ReadRecordHeader(offset, &record))
                    break;
                m_lastRecord = offset;
                offset += kRecordHeaderSize + record.allocated;
            }
        }
    }
}

BOOL qkDataStore::Coalesce(RecordHeader record)
{
    for (;;) {
        RecordHeader following{};
        bool hasFollowing = false;
        if (!ReadFollowing(record, &following, &hasFollowing))
            return FALSE;
        // 1. A free record after this one joins it (also as slack of a used record).
        if (hasFollowing && following.used == 0) {
            if (static_cast<ULONGLONG>(record.allocated) + following.allocated + kRecordHeaderSize > kMaxAllocated) {
                QK_TRACE(L"joined space would not fit in 32 bits");
            } else {
                IndexRemove(following.id);
                if (following.id == m_lastRecord)
                    m_lastRecord = 0;
                record.allocated += following.allocated + kRecordHeaderSize;
                if (!WriteRecordHeader(&record))
                    return FALSE;
                RecordHeader after{};
                bool hasAfter = false;
                if (!ReadFollowing(record, &after, &hasAfter))
                    return FALSE;
                if (hasAfter) {
                    after.preceding = record.id;
                    if (!WriteRecordHeader(&after))
                        return FALSE;
                } else {
                    m_lastRecord = record.id;
                }
                continue;
            }
        }
        RecordHeader preceding{};
        bool hasPreceding = false;
        if (record.used == 0 && !ReadPreceding(record, &preceding, &hasPreceding))
            return FALSE;
        if (record.used == 0 && hasPreceding) {
            const ULONGLONG joined = static_cast<ULONGLONG>(preceding.allocated) + record.allocated + kRecordHeaderSize;
            const DWORD slack = preceding.allocated - preceding.used;
            if (preceding.used == 0 && joined <= kMaxAllocated) {
                // 2. This free record joins the free record before it.
                IndexRemove(record.id);
                if (record.id == m_lastRecord)
                    m_lastRecord = 0;
                preceding.allocated = static_cast<DWORD>(joined);
                if (!WriteRecordHeader(&preceding))
                    return FALSE;
                if (hasFollowing) {
                    following.preceding = preceding.id;
                    if (!WriteRecordHeader(&following))
                        return FALSE;
                } else {
                    m_lastRecord = preceding.id;
                }
                record = preceding;
                continue;
            }
            if (preceding.used != 0 && slack > 0 && static_cast<ULONGLONG>(record.allocated) + slack <= kMaxAllocated) {
                // 3. The slack of the used record before it moves into this free record. The
                // moved header is written inside that slack first, the donor shrunk last.
                IndexRemove(record.id);
                RecordHeader moved = record;
                moved.id -= slack;
                moved.allocated += slack;
                if (!WriteRecordHeader(&moved))
                    return FALSE;
                if (hasFollowing) {
                    following.preceding = moved.id;
                    if (!WriteRecordHeader(&following))
                        return FALSE;
                }
                preceding.allocated = preceding.used;
                if (!WriteRecordHeader(&preceding))
                    return FALSE;
                if (!hasFollowing)
                    m_lastRecord = moved.id;
                record = moved;
                continue;
            }
        }
        // 4. At the end of the file, space beyond the data is given back.
        if (!hasFollowing && (record.used == 0 || record.allocated != record.used)) {
            if (record.used != 0) {
                record.allocated = record.used;
                if (!WriteRecordHeader(&record) || !Truncate(record.id + kRecordHeaderSize + record.used))
                    return FALSE;
                m_lastRecord = record.id;
                return TRUE;
            }
            if (!ReadPreceding(record, &preceding, &hasPreceding))
                return FALSE;
            IndexRemove(record.id);
            if (!Truncate(record.id))
                return FALSE;
            m_lastRecord = hasPreceding ? preceding.id : 0;
            if (!hasPreceding)
                return TRUE;
            record = preceding;
            continue;
        }
        return TRUE;
    }
}

BOOL qkDataStore::GetRecordSize(ULONGLONG recordId, DWORD* size)
{
    qkScopedLock lock(m_lock);
    if (size)
        *size = 0;
    if (recordId == 0 || !size)
        return Fail(ERROR_INVALID_PARAMETER);
    RecordHeader record{};
    if (!ReadRecordHeader(recordId, &record))
        return FALSE;
    *size = record.used;
    return TRUE;
}

BOOL qkDataStore::ReadRecord(ULONGLONG recordId, void* buffer, DWORD size)
{
    qkScopedLock lock(m_lock);
    if (recordId == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!buffer || size == 0)
        return FALSE;
    RecordHeader record{};
    if (!ReadRecordHeader(recordId, &record))
        return FALSE;
    if (record.used == 0 || size > record.used)
        return Fail(ERROR_FILE_CORRUPT);
    if (!ReadAt(recordId + kRecordHeaderSize, buffer, size))
        return FALSE;
    if (size == record.used && m_checksums && qkLib::Crc32(buffer, size) != record.dataCrc)
        return Fail(ERROR_FILE_CORRUPT);
    return TRUE;
}

// --- verification ---

BOOL qkDataStore::Verify()
{
    IndexClear();
    m_lastRecord = 0;
    StoreHeader header{};
    BOOL ok = ReadStoreHeader(&header);
    if (ok && m_checksums && m_userHeaderSize && header.userHeaderCrc != 0) {
        DWORD crc = 0;
        if (!qkLib::Crc32File(m_file, &crc, kStoreHeaderSize, m_userHeaderSize) || crc != header.userHeaderCrc)
            ok = Fail(ERROR_FILE_CORRUPT);
    }
    ULONGLONG fileSize = 0;
    ok = ok && GetFileSize(&fileSize);
    qkMemory buffer;
    for (ULONGLONG offset = FirstRecordOffset(); ok && offset < fileSize;) {
        RecordHeader record{};
        // Every record header must hold: an append that a crash cut short is undone by the
        // journal, which alone knows what the store was; nothing else is cut away here.
        if (!ReadRecordHeader(offset, &record)) {
            ok = FALSE;
            break;
        }
        if (record.used) {
            if (buffer.GetSize() < record.used) {
                buffer.Free();
                if (!buffer.Allocate(qkMemory::KindCrtHeap, record.used)) {
                    ok = Fail(ERROR_NOT_ENOUGH_MEMORY);
                    break;
                }
            }
            if (!ReadAt(offset + kRecordHeaderSize, buffer.GetData(), record.used)) {
                ok = FALSE;
                break;
            }
            if (m_checksums && qkLib::Crc32(buffer.GetData(), record.used) != record.dataCrc) {
                QK_TRACE(L"data of record %llu does not match its checksum", offset);
                ok = Fail(ERROR_FILE_CORRUPT);
                break;
            }
            ok = OnVerifyRecord(record, buffer.GetData(), record.used);
        } else {
            ok = OnVerifyRecord(record, nullptr, 0);
        }
        m_lastRecord = offset;
        offset += kRecordHeaderSize + record.allocated;
    }
    if (!ok) {
        IndexClear();
        m_lastRecord = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL qkDataStore::OnVerifyRecord(const RecordHeader&, const void* data, DWORD size)
{
    if (!m_copyTarget || !data || size == 0)
        return TRUE;
    ULONGLONG id = 0;
    if (!m_copyTarget->AppendCopy(data, size, &id)) {
        m_lastError = m_copyTarget->GetLastError();
        return FALSE;
    }
    return TRUE;
}
