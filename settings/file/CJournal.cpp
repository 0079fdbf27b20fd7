#include "settings/file/CJournal.h"

#include <cstring>
#include <new>

#include "common/base/qkTrace.h"
#include "settings/file/qkSettingsCrc32.h"

namespace qkSettings {

namespace {

struct Trailer {
    ULONGLONG offset;
    DWORD length;
    DWORD imageCrc;
    DWORD trailerCrc;
    DWORD reserved;
};
static_assert(sizeof(Trailer) == 24);

} // namespace

CJournal::~CJournal()
{
    Close();
}

NtStatus CJournal::OpenFile(DWORD access, DWORD disposition)
{
    FileOpenParams p;
    CountedString name = m_path.Get();
    p.name = &name;
    p.desiredAccess = access;
    p.shareMode = FILE_SHARE_READ;
    p.creationDisposition = disposition;
    return m_file.Open(p);
}

NtStatus CJournal::Open(CSafeFile& db, const CountedString& dbPath, DWORD stamp, DWORD blockSize, bool newDatabase,
                        bool readOnly, bool flushWrites)
{
    if (dbPath.length == 0)
        return status::kInvalidParameter;
    Close();
    NtStatus st = m_path.Assign(dbPath);
    if (NtSuccess(st))
        st = m_path.Append(L".log");
    if (!NtSuccess(st))
        return st;
    m_readOnly = readOnly;
    m_flushWrites = flushWrites;
    m_header = Header{};
    m_header.stamp = stamp;
    m_header.blockSize = blockSize;

    st = OpenFile(readOnly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE | DELETE), OPEN_EXISTING);
    if (st == status::kNameNotFound)
        return status::kSuccess;
    if (!NtSuccess(st))
        return st;
    if (newDatabase) {
        // Replaced at the first before-image; its contents belong to a file that is gone.
        m_file.Close();
        return status::kSuccess;
    }
    st = Validate();
    if (!NtSuccess(st)) {
        QK_TRACE(L"journal of %s refused: 0x%08lX", m_path.Text(), static_cast<unsigned long>(st));
        if (st == status::kFileCorrupt) {
            // Only a corrupt journal goes: any other failure keeps its before-images.
            if (!m_readOnly) {
                NtStatus mark = m_file.MarkForDeletion();
                if (!NtSuccess(mark))
                    QK_TRACE(L"could not delete the corrupt journal: 0x%08lX", static_cast<unsigned long>(mark));
            }
        }
        m_file.Close();
        m_header = Header{};
        m_header.stamp = stamp;
        m_header.blockSize = blockSize;
        return st;
    }
    if (m_header.stamp != stamp) {
        // Another database's journal: ignored, replaced at the next write.
        m_header = Header{};
        m_header.stamp = stamp;
        m_header.blockSize = blockSize;
        m_headerLoaded = false;
        m_file.Close();
        return status::kSuccess;
    }
    ULONGLONG dbSize = 0;
    st = db.GetSize(&dbSize);
    if (!NtSuccess(st)) {
        Close();
        return st;
    }
    if (m_header.count == 0 && m_header.checkpointSize == dbSize) {
        m_clean = m_size == kHeaderSize;
        return status::kSuccess;
    }
    if (m_readOnly) {
        // Recovery needs write access; refuse rather than serve a half-written store.
        m_file.Close();
        m_headerLoaded = false;
        return status::kAccessDenied;
    }
    st = RollbackAll(db, dbSize);
    if (!NtSuccess(st)) {
        // Keep the file (and its entries) for a later attempt.
        m_file.Close();
        m_headerLoaded = false;
        m_header.count = 0;
    }
    return st;
}

void CJournal::Close()
{
    DropPending();
    if (m_file.IsOpen()) {
        if (m_headerLoaded && m_header.count == 0 && !m_readOnly) {
            NtStatus st = m_file.MarkForDeletion();
            if (!NtSuccess(st))
                QK_TRACE(L"could not delete the empty journal: 0x%08lX", static_cast<unsigned long>(st));
        }
        m_file.Close();
    }
    m_headerLoaded = false;
    m_header = Header{};
    m_mark = Mark{};
    m_size = 0;
    m_headerDirty = false;
    m_clean = false;
}

void CJournal::DropPending()
{
    if (m_pending.empty())
        return;
    m_size -= m_pending.size();
    m_header = m_beforePending;
    m_pending.clear();
}

NtStatus CJournal::Validate()
{
    BYTE raw[kHeaderSize];
    NtStatus st = m_file.ReadExactAt(0, raw, kHeaderSize, status::kFileCorrupt);
    if (!NtSuccess(st))
        return st;
    DWORD crc;
    std::memcpy(&crc, raw + 28, 4);
    if (crc != Crc32(raw, 28))
        return status::kFileCorrupt;
    Header h;
    std::memcpy(&h.checkpointSize, raw, 8);
    std::memcpy(&h.lastTrailer, raw + 8, 8);
    std::memcpy(&h.stamp, raw + 16, 4);
    std::memcpy(&h.blockSize, raw + 20, 4);
    std::memcpy(&h.count, raw + 24, 4);
    if (h.blockSize != m_header.blockSize)
        return status::kFileCorrupt;
    if (!m_entry.Allocate(h.blockSize + kTrailerSize))
        return status::kNoMemory;
    ULONGLONG size = 0;
    st = m_file.GetSize(&size);
    if (!NtSuccess(st))
        return st;
    DWORD walked = 0;
    ULONGLONG bytes = 0;
    ULONGLONG trailerAt = h.lastTrailer;
    while (walked < h.count && bytes < size - kHeaderSize) {
        if (trailerAt == 0 || trailerAt < kHeaderSize || trailerAt > size || size - trailerAt < kTrailerSize)
            return status::kFileCorrupt;
        Trailer t;
        st = m_file.ReadExactAt(trailerAt, &t, kTrailerSize, status::kUnsuccessful);
        if (!NtSuccess(st))
            return st;
        if (t.trailerCrc != Crc32(&t, 16))
            return status::kFileCorrupt;
        if (t.length > h.blockSize || trailerAt - kHeaderSize < t.length)
            return status::kFileCorrupt;
        st = m_file.ReadExactAt(trailerAt - t.length, m_entry.Data(), t.length, status::kUnsuccessful);
        if (!NtSuccess(st))
            return st;
        if (t.imageCrc != Crc32(m_entry.Data(), t.length))
            return status::kFileCorrupt;
        ++walked;
        bytes += t.length + kTrailerSize;
        trailerAt -= t.length + kTrailerSize;
    }
    if (walked != h.count)
        return status::kFileCorrupt;
    m_header = h;
    m_headerLoaded = true;
    m_size = size;
    m_headerDirty = false;
    return status::kSuccess;
}

NtStatus CJournal::WriteHeader()
{
    BYTE raw[kHeaderSize] = {};
    std::memcpy(raw, &m_header.checkpointSize, 8);
    std::memcpy(raw + 8, &m_header.lastTrailer, 8);
    std::memcpy(raw + 16, &m_header.stamp, 4);
    std::memcpy(raw + 20, &m_header.blockSize, 4);
    std::memcpy(raw + 24, &m_header.count, 4);
    DWORD crc = Crc32(raw, 28);
    std::memcpy(raw + 28, &crc, 4);
    NtStatus st = m_file.WriteExactAt(0, raw, kHeaderSize);
    if (NtSuccess(st))
        m_headerDirty = false;
    return st;
}

NtStatus CJournal::Create(ULONGLONG dbSize)
{
    if (m_readOnly)
        return status::kAccessDenied;
    NtStatus st = OpenFile(GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_ALWAYS);
    if (!NtSuccess(st))
        return st;
    DWORD stamp = m_header.stamp, blockSize = m_header.blockSize;
    m_header = Header{};
    m_header.checkpointSize = dbSize;
    m_header.stamp = stamp;
    m_header.blockSize = blockSize;
    st = WriteHeader();
    if (NtSuccess(st))
        st = Validate();
    if (!NtSuccess(st)) {
        m_file.Close();
        m_headerLoaded = false;
        return st;
    }
    // Put on disk by the Flush that comes before any change of the database: a journal lost
    // before then leaves nothing to undo.
    m_headerDirty = true;
    m_clean = true;
    return st;
}

NtStatus CJournal::SaveBeforeImage(CSafeFile& db, ULONGLONG dbSize, ULONGLONG offset, DWORD length)
{
    if (length > m_header.blockSize)
        return status::kInvalidParameter;
    if (!m_file.IsOpen()) {
        NtStatus st = Create(dbSize);
        if (!NtSuccess(st))
            return st;
    }
    ULONGLONG limit = m_mark.IsSet() ? m_mark.databaseSize : m_header.checkpointSize;
    if (offset >= limit)
        return status::kSuccess; // did not exist then: a roll back cuts it off
    size_t at = m_pending.size();
    try {
        m_pending.resize(at + length + kTrailerSize);
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    BYTE* entry = m_pending.data() + at;
    NtStatus st = db.ReadExactAt(offset, entry, length, status::kUnsuccessful);
    if (!NtSuccess(st)) {
        m_pending.resize(at);
        return st;
    }
    Trailer t{offset, length, Crc32(entry, length), 0, 0};
    t.trailerCrc = Crc32(&t, 16);
    std::memcpy(entry + length, &t, kTrailerSize);
    if (at == 0)
        m_beforePending = m_header;
    // The header that counts the entry is written by Flush, after the entries.
    m_header.count += 1;
    m_header.lastTrailer = m_size + length;
    m_size += length + kTrailerSize;
    return status::kSuccess;
}

NtStatus CJournal::Flush()
{
    if (!m_file.IsOpen())
        return status::kSuccess;
    const bool first = m_clean;
    // Whatever the caller writes next changes the database.
    m_clean = false;
    if (!m_pending.empty()) {
        NtStatus st =
            m_file.WriteExactAt(m_size - m_pending.size(), m_pending.data(), static_cast<DWORD>(m_pending.size()));
        if (!NtSuccess(st)) {
            DropPending();
            return st;
        }
        m_pending.clear();
        m_headerDirty = true;
        if (!first && m_flushWrites) {
            st = m_file.Flush();
            if (!NtSuccess(st))
                return st;
        }
    }
    if (!m_headerDirty)
        return status::kSuccess; // nothing new: what the journal holds is already on disk
    NtStatus st = WriteHeader();
    if (!NtSuccess(st))
        return st;
    return m_flushWrites ? m_file.Flush() : status::kSuccess;
}

NtStatus CJournal::SetMark(ULONGLONG dbSize)
{
    if (!m_file.IsOpen()) {
        NtStatus st = Create(dbSize);
        if (!NtSuccess(st))
            return st;
    }
    DropPending();
    Mark m;
    m.checkpointSize = m_header.checkpointSize;
    m.journalSize = m_size;
    m.databaseSize = dbSize;
    m.lastTrailer = m_header.lastTrailer;
    m.count = m_header.count;
    m_mark = m;
    return status::kSuccess;
}

NtStatus CJournal::UndoTo(CSafeFile& db, const Mark& mark)
{
    // Images never written were never followed by a change of the database.
    DropPending();
    const ULONGLONG size = m_size;
    DWORD entries = m_header.count - mark.count;
    ULONGLONG bytes = size > mark.journalSize ? size - mark.journalSize : 0;
    ULONGLONG trailerAt = m_header.lastTrailer;
    DWORD undone = 0;
    ULONGLONG walked = 0;
    NtStatus st;
    while (walked < bytes && undone < entries) {
        if (trailerAt < kHeaderSize || trailerAt > size || size - trailerAt < kTrailerSize)
            return status::kFileCorrupt;
        Trailer t;
        st = m_file.ReadExactAt(trailerAt, &t, kTrailerSize, status::kUnsuccessful);
        if (!NtSuccess(st))
            return st;
        if (t.length > m_header.blockSize || trailerAt - kHeaderSize < t.length)
            return status::kFileCorrupt;
        st = m_file.ReadExactAt(trailerAt - t.length, m_entry.Data(), t.length, status::kUnsuccessful);
        if (!NtSuccess(st))
            return st;
        st = db.WriteExactAt(t.offset, m_entry.Data(), t.length);
        if (!NtSuccess(st))
            return st;
        ++undone;
        walked += t.length + kTrailerSize;
        trailerAt -= t.length + kTrailerSize;
    }
    st = db.SetSize(mark.databaseSize);
    if (NtSuccess(st) && m_flushWrites)
        st = db.Flush();
    if (!NtSuccess(st))
        return st;
    Header before = m_header;
    m_header.checkpointSize = mark.checkpointSize;
    m_header.lastTrailer = mark.lastTrailer;
    m_header.count = mark.count;
    st = WriteHeader();
    if (!NtSuccess(st)) {
        m_header = before;
        return st;
    }
    st = m_file.SetSize(mark.journalSize);
    if (NtSuccess(st))
        m_size = mark.journalSize;
    if (NtSuccess(st) && m_flushWrites)
        st = m_file.Flush();
    // Back at the checkpoint, on disk: as clean as after a checkpoint.
    m_clean =
        NtSuccess(st) && mark.count == 0 && mark.journalSize == kHeaderSize && mark.databaseSize == mark.checkpointSize;
    return st;
}

NtStatus CJournal::RollbackToMark(CSafeFile& db)
{
    if (!m_mark.IsSet() || !m_file.IsOpen())
        return status::kUnsuccessful;
    NtStatus st = UndoTo(db, m_mark);
    if (NtSuccess(st))
        m_mark = Mark{};
    return st;
}

bool CJournal::AtCheckpoint(ULONGLONG dbSize) const
{
    return m_pending.empty() && m_header.count == 0 && m_header.checkpointSize == dbSize && !m_headerDirty;
}

NtStatus CJournal::RollbackAll(CSafeFile& db, ULONGLONG dbSize)
{
    if (!m_file.IsOpen())
        return status::kUnsuccessful;
    if (AtCheckpoint(dbSize))
        return status::kSuccess;
    Mark all;
    all.checkpointSize = m_header.checkpointSize;
    all.journalSize = kHeaderSize;
    all.databaseSize = m_header.checkpointSize;
    return UndoTo(db, all);
}

NtStatus CJournal::Checkpoint(ULONGLONG dbSize)
{
    if (!m_file.IsOpen())
        return status::kSuccess;
    DropPending();
    if (m_clean && AtCheckpoint(dbSize) && m_size == kHeaderSize)
        return status::kSuccess;
    // With flush-writes every database operation has flushed the file at its end, so its
    // contents are on disk before the images that protect them go. The journal is cut back
    // to its header: no image of this checkpoint can pair with the header of a later one.
    Header before = m_header;
    m_header.checkpointSize = dbSize;
    m_header.lastTrailer = 0;
    m_header.count = 0;
    NtStatus st = WriteHeader();
    if (!NtSuccess(st)) {
        m_header = before;
        return st;
    }
    // The header that counts no entries is the checkpoint: from here on nothing undoes the
    // change, so what follows cannot fail it. A journal left long is read only as far as its
    // header counts; one not flushed is cut and flushed again by the next checkpoint.
    if (m_size != kHeaderSize) {
        st = m_file.SetSize(kHeaderSize);
        if (NtSuccess(st))
            m_size = kHeaderSize;
    }
    if (NtSuccess(st) && m_flushWrites)
        st = m_file.Flush();
    if (!NtSuccess(st))
        QK_TRACE(L"checkpoint of %s kept, journal not tidied: 0x%08lX", m_path.Text(), static_cast<unsigned long>(st));
    m_clean = NtSuccess(st);
    return status::kSuccess;
}

} // namespace qkSettings
