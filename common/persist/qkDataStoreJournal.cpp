// The data store's undo journal (see qkDataStore.h for the scheme).
//
// Journal layout (little-endian), rewritten from offset 0 by each change:
//   header  0 magic | 4 store signature | 8 u64 store length when the change began | 16 0 |
//           20 CRC of these 24 bytes with this field 0
//   pieces  back to back: 0 u64 offset in the store | 8 size | 12 CRC of the 16 bytes with this
//           field 0 and then of the old bytes | 16 the old bytes
#include "common/persist/qkDataStore.h"

#include <cstring>
#include <new>
#include <vector>

#include "common/base/qkCrc32.h"
#include "common/base/qkTrace.h"

namespace {

constexpr DWORD kJournalMagic = 0x4C4E524A; // "JRNL"

#pragma pack(push, 1)
struct JournalHeader {
    DWORD magic;
    DWORD storeSignature;
    ULONGLONG storeLength;
    DWORD zero;
    DWORD crc;
};
struct JournalPiece {
    ULONGLONG offset;
    DWORD size;
    DWORD crc;
};
#pragma pack(pop)
static_assert(sizeof(JournalHeader) == 24 && sizeof(JournalPiece) == 16);

DWORD PieceCrc(JournalPiece piece, const BYTE* bytes)
{
    piece.crc = 0;
    return ~qkLib::Crc32Update(qkLib::Crc32Update(0xFFFFFFFF, &piece, sizeof(piece)), bytes, piece.size);
}

DWORD HeaderCrc(JournalHeader header)
{
    header.crc = 0;
    return qkLib::Crc32(&header, sizeof(header));
}

} // namespace

BOOL qkDataStore::WriteJournalAt(ULONGLONG offset, const void* data, DWORD size)
{
    if (!m_journal.SeekFromBegin(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32)) ||
        !m_journal.Write(data, size)) {
        QK_TRACE(L"journal write at %llu failed: %lu", offset, m_journal.GetLastError());
        return Fail(m_journal.GetLastError() ? m_journal.GetLastError() : ERROR_WRITE_FAULT);
    }
    return TRUE;
}

BOOL qkDataStore::SetJournalLength(ULONGLONG size)
{
    if (!m_journal.SetLength(static_cast<DWORD>(size), static_cast<LONG>(size >> 32))) {
        QK_TRACE(L"journal not cut to %llu: %lu", size, m_journal.GetLastError());
        return Fail(m_journal.GetLastError() ? m_journal.GetLastError() : ERROR_WRITE_FAULT);
    }
    return TRUE;
}

BOOL qkDataStore::Write(ULONGLONG offset, const void* data, DWORD size)
{
    if (m_inChange && !SaveOldBytes(offset, offset + size))
        return FALSE;
    return WriteAt(offset, data, size);
}

BOOL qkDataStore::Truncate(ULONGLONG size)
{
    if (m_inChange) {
        ULONGLONG fileSize = 0;
        if (!GetFileSize(&fileSize) || (size < fileSize && !SaveOldBytes(size, fileSize)))
            return FALSE;
    }
    return SetFileLength(size);
}

BOOL qkDataStore::OpenJournal(const wchar_t* storePath, bool newStore)
{
    try {
        m_journalPath = storePath;
        m_journalPath += L".journal";
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    // No sharing: while it is held the store has a writer, whose change must not be undone.
    if (!m_journal.Open(m_journalPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL)) {
        QK_TRACE(L"journal %s not opened: %lu", m_journalPath.c_str(), m_journal.GetLastError());
        m_journalPath.clear();
        return Fail(m_journal.GetLastError());
    }
    m_journalPending = false;
    m_inChange = false;
    m_journalEnd = 0;
    ULONGLONG size = 0;
    if (!m_journal.GetSize(&size))
        return Fail(m_journal.GetLastError());
    if (size == 0)
        return TRUE;
    // A journal left beside a file that is made anew belongs to the store that was there.
    return newStore ? SetJournalLength(0) : RollBack();
}

void qkDataStore::CloseJournal()
{
    m_viewing = false;
    m_view.clear();
    m_viewUndo.clear();
    m_viewLength = 0;
    if (!m_journal.GetHandle() || m_journal.GetHandle() == INVALID_HANDLE_VALUE)
        return;
    m_journal.Handle().Close();
    if (!m_journalPending && !::DeleteFileW(m_journalPath.c_str()))
        QK_TRACE(L"journal %s not deleted: %lu", m_journalPath.c_str(), ::GetLastError());
    m_journalPath.clear();
    m_journalPending = false;
    m_inChange = false;
    m_journalEnd = 0;
}

BOOL qkDataStore::BeginChange()
{
    m_inChange = false;
    if (!m_journal.GetHandle() || m_journal.GetHandle() == INVALID_HANDLE_VALUE)
        return TRUE; // open read-only: no write will get through anyway
    if (m_journalPending) {
        if (!RollBack())
            return FALSE;
        RebuildIndex();
    }
    if (!GetFileSize(&m_changeLength))
        return FALSE;
    m_journalEnd = 0;
    m_inChange = true;
    return TRUE;
}

BOOL qkDataStore::EndChange(BOOL ok)
{
    if (ok)
        Flush();
    if (!m_inChange)
        return ok;
    m_inChange = false;
    if (m_journalEnd == 0)
        return ok; // the store was not written
    if (ok && SetJournalLength(0)) {
        m_journalEnd = 0;
        return TRUE;
    }
    const DWORD error = m_lastError;
    if (!RollBack())
        QK_TRACE(L"change not undone yet; the next change or open undoes it");
    m_lastError = error;
    return FALSE;
}

BOOL qkDataStore::SaveOldBytes(ULONGLONG offset, ULONGLONG end)
{
    // Bytes beyond the length the change began with are cut off by the undo: nothing to keep.
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    const ULONGLONG limit = fileSize < m_changeLength ? fileSize : m_changeLength;
    if (end > limit)
        end = limit;
    if (offset < end && end - offset > 0x7FFFFFFFull)
        return Fail(ERROR_NOT_ENOUGH_MEMORY); // one piece is kept in memory
    const DWORD size = offset < end ? static_cast<DWORD>(end - offset) : 0;
    if (m_journalEnd != 0 && size == 0)
        return TRUE;
    std::vector<BYTE> piece;
    try {
        piece.resize((m_journalEnd == 0 ? sizeof(JournalHeader) : 0) + (size ? sizeof(JournalPiece) + size : 0));
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    BYTE* at = piece.data();
    if (m_journalEnd == 0) {
        JournalHeader header{kJournalMagic, m_storeSignature, m_changeLength, 0, 0};
        header.crc = HeaderCrc(header);
        std::memcpy(at, &header, sizeof(header));
        at += sizeof(header);
    }
    if (size) {
        BYTE* bytes = at + sizeof(JournalPiece);
        if (!ReadAt(offset, bytes, size))
            return FALSE;
        JournalPiece head{offset, size, 0};
        head.crc = PieceCrc(head, bytes);
        std::memcpy(at, &head, sizeof(head));
    }
    if (!WriteJournalAt(m_journalEnd, piece.data(), static_cast<DWORD>(piece.size())))
        return FALSE;
    m_journalEnd += piece.size();
    if (m_flushWrites && !::FlushFileBuffers(m_journal.GetHandle()))
        QK_TRACE(L"FlushFileBuffers of the journal failed: %lu", ::GetLastError());
    return TRUE;
}

bool qkDataStore::ParseJournal(const std::vector<BYTE>& journal, ULONGLONG* storeLength,
                               std::vector<JournalUndo>* undo) const
{
    undo->clear();
    JournalHeader header{};
    if (journal.size() < sizeof(header))
        return false;
    std::memcpy(&header, journal.data(), sizeof(header));
    // A header written short means the store was not touched yet.
    if (header.magic != kJournalMagic || header.storeSignature != m_storeSignature || header.zero != 0 ||
        header.crc != HeaderCrc(header))
        return false;
    *storeLength = header.storeLength;
    // Pieces up to the first one that is incomplete or fails its CRC (written short: the store
    // write it guards never happened).
    size_t at = sizeof(header);
    while (journal.size() - at >= sizeof(JournalPiece)) {
        JournalPiece piece{};
        std::memcpy(&piece, journal.data() + at, sizeof(piece));
        const size_t bytes = at + sizeof(piece);
        if (journal.size() - bytes < piece.size || piece.crc != PieceCrc(piece, journal.data() + bytes))
            break;
        undo->push_back({piece.offset, bytes, piece.size});
        at = bytes + piece.size;
    }
    return true;
}

namespace {

// The whole of an open journal.
BOOL ReadJournal(qkFile& file, std::vector<BYTE>* journal, DWORD* error)
{
    ULONGLONG size = 0;
    if (!file.GetSize(&size)) {
        *error = file.GetLastError();
        return FALSE;
    }
    if (size > 0xFFFFFFFFull) {
        *error = ERROR_FILE_CORRUPT;
        return FALSE;
    }
    try {
        journal->resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (size && !file.ReadAt(0, 0, journal->data(), static_cast<DWORD>(size))) {
        *error = file.GetLastError();
        return FALSE;
    }
    return TRUE;
}

} // namespace

BOOL qkDataStore::RollBack()
{
    m_journalPending = true;
    std::vector<BYTE> journal;
    std::vector<JournalUndo> undo;
    ULONGLONG storeLength = 0;
    DWORD error = 0;
    if (!ReadJournal(m_journal, &journal, &error))
        return Fail(error);
    bool hasChange = false;
    try {
        hasChange = ParseJournal(journal, &storeLength, &undo);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (hasChange) {
        QK_TRACE(L"undoing an unfinished change: %u pieces", static_cast<unsigned>(undo.size()));
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
            if (!WriteAt(it->offset, journal.data() + it->at, it->size))
                return FALSE;
        }
        ULONGLONG fileSize = 0;
        if (!GetFileSize(&fileSize) || (fileSize != storeLength && !SetFileLength(storeLength)))
            return FALSE;
        // The store must hold the old bytes before the journal that brings them back goes.
        if (!::FlushFileBuffers(m_file.GetHandle()))
            QK_TRACE(L"FlushFileBuffers failed: %lu", ::GetLastError());
    }
    if (!SetJournalLength(0))
        return FALSE;
    m_journalPending = false;
    m_journalEnd = 0;
    return TRUE;
}

BOOL qkDataStore::OpenJournalView(const wchar_t* storePath)
{
    qkFile journal;
    try {
        const std::wstring path = std::wstring(storePath) + L".journal";
        // A writer holds its journal without sharing: its change is in flight, not crashed.
        if (!journal.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL))
            return TRUE;
        DWORD error = 0;
        if (!ReadJournal(journal, &m_view, &error))
            return Fail(error);
        if (!ParseJournal(m_view, &m_viewLength, &m_viewUndo)) {
            m_view.clear();
            return TRUE;
        }
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    QK_TRACE(L"read through an unfinished change of %u pieces", static_cast<unsigned>(m_viewUndo.size()));
    m_viewing = true;
    return TRUE;
}

BOOL qkDataStore::ReadThroughJournal(ULONGLONG offset, BYTE* buffer, DWORD size)
{
    if (offset > m_viewLength || size > m_viewLength - offset)
        return Fail(ERROR_HANDLE_EOF);
    // The file as it is (bytes it no longer has read as zeros), then the old bytes newest first,
    // as the undo would write them.
    ULONGLONG fileSize = 0;
    if (!m_file.GetSize(&fileSize))
        return FileError();
    const ULONGLONG present = fileSize > offset ? (fileSize - offset < size ? fileSize - offset : size) : 0;
    std::memset(buffer + present, 0, size - static_cast<size_t>(present));
    if (present && !m_file.ReadAt(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32), buffer,
                                  static_cast<DWORD>(present)))
        return FileError();
    for (auto it = m_viewUndo.rbegin(); it != m_viewUndo.rend(); ++it) {
        const ULONGLONG first = it->offset > offset ? it->offset : offset;
        const ULONGLONG pieceEnd = it->offset + it->size;
        const ULONGLONG last = pieceEnd < offset + size ? pieceEnd : offset + size;
        if (first < last)
            std::memcpy(buffer + (first - offset), m_view.data() + it->at + (first - it->offset),
                        static_cast<size_t>(last - first));
    }
    return TRUE;
}
