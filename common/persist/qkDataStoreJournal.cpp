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

BOOL qkDataStore::RollBack()
{
    m_journalPending = true;
    ULONGLONG size = 0;
    if (!m_journal.GetSize(&size))
        return Fail(m_journal.GetLastError());
    if (size >= sizeof(JournalHeader)) {
        if (size > 0xFFFFFFFFull)
            return Fail(ERROR_FILE_CORRUPT);
        std::vector<BYTE> journal;
        try {
            journal.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!m_journal.ReadAt(0, 0, journal.data(), static_cast<DWORD>(size)))
            return Fail(m_journal.GetLastError());
        JournalHeader header{};
        std::memcpy(&header, journal.data(), sizeof(header));
        // A header written short means the store was not touched yet.
        if (header.magic == kJournalMagic && header.storeSignature == m_storeSignature && header.zero == 0 &&
            header.crc == HeaderCrc(header)) {
            struct Undo {
                ULONGLONG offset;
                size_t at;
                DWORD size;
            };
            std::vector<Undo> undo;
            size_t at = sizeof(header);
            try {
                // Pieces up to the first one that is incomplete or fails its CRC (written short:
                // the store write it guards never happened).
                while (journal.size() - at >= sizeof(JournalPiece)) {
                    JournalPiece piece{};
                    std::memcpy(&piece, journal.data() + at, sizeof(piece));
                    const size_t bytes = at + sizeof(piece);
                    if (journal.size() - bytes < piece.size || piece.crc != PieceCrc(piece, journal.data() + bytes))
                        break;
                    undo.push_back({piece.offset, bytes, piece.size});
                    at = bytes + piece.size;
                }
            } catch (const std::bad_alloc&) {
                return Fail(ERROR_NOT_ENOUGH_MEMORY);
            }
            QK_TRACE(L"undoing an unfinished change: %u pieces", static_cast<unsigned>(undo.size()));
            for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
                if (!WriteAt(it->offset, journal.data() + it->at, it->size))
                    return FALSE;
            }
            ULONGLONG fileSize = 0;
            if (!GetFileSize(&fileSize) || (fileSize != header.storeLength && !SetFileLength(header.storeLength)))
                return FALSE;
            // The store must hold the old bytes before the journal that brings them back goes.
            if (!::FlushFileBuffers(m_file.GetHandle()))
                QK_TRACE(L"FlushFileBuffers failed: %lu", ::GetLastError());
        }
    }
    if (!SetJournalLength(0))
        return FALSE;
    m_journalPending = false;
    m_journalEnd = 0;
    return TRUE;
}
