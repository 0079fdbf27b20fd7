#pragma once
// The rollback journal beside a settings database (its path + ".log"). Before a block that
// existed at the last checkpoint is overwritten, its old contents are appended here; a
// checkpoint empties the journal, and a crash or a failed operation is undone by writing the
// before-images back, newest first, and restoring the database's size.
//
// Layout, little-endian. Header (32 bytes): u64 checkpoint size, u64 offset of the newest
// trailer (0 when empty), u32 stamp of the database, u32 block size, u32 entry count, u32 CRC
// of bytes 0-27. Entries back to back, oldest first: the before-image, then a 24-byte trailer
// {u64 database offset, u32 length, u32 CRC of the image, u32 CRC of trailer bytes 0-15,
// u32 reserved}.
#include <windows.h>

#include <vector>

#include "settings/file/CSafeFile.h"
#include "settings/store/CByteBuffer.h"
#include "settings/store/CStringBuffer.h"

namespace qkSettings {

class CJournal {
public:
    static constexpr DWORD kHeaderSize = 32;
    static constexpr DWORD kTrailerSize = 24;

    CJournal() = default;
    ~CJournal();
    CJournal(const CJournal&) = delete;
    CJournal& operator=(const CJournal&) = delete;

    // Binds the journal to its database and recovers the database to its last checkpoint
    // when the journal holds entries with the database's stamp.
    NtStatus Open(CSafeFile& db, const CountedString& dbPath, DWORD stamp, DWORD blockSize, bool newDatabase,
                  bool readOnly, bool flushWrites);
    void Close();
    // Takes the before-image of a database block (dbSize: the database's size now); Flush
    // writes it with the others and makes it count.
    NtStatus SaveBeforeImage(CSafeFile& db, ULONGLONG dbSize, ULONGLONG offset, DWORD length);
    // Writes the images saved so far in one write and the header that counts them, and puts
    // both on disk (the flushes only with flush-writes): call it before the blocks are
    // overwritten. The first operation after a checkpoint needs one flush: the journal holds
    // nothing past its header and the database is as the checkpoint left it, so a header
    // that reaches the disk without its images makes a journal that is refused and deleted,
    // leaving the database untouched. Any later operation flushes the images before the
    // header, since the database may then hold changes that only this journal can undo.
    NtStatus Flush();
    NtStatus SetMark(ULONGLONG dbSize);
    void ClearMark() { m_mark = Mark{}; }
    bool HasMark() const { return m_mark.IsSet(); }
    NtStatus RollbackToMark(CSafeFile& db);
    // Undoes every entry; nothing to do when the journal is at its checkpoint with a database
    // of that size.
    NtStatus RollbackAll(CSafeFile& db, ULONGLONG dbSize);
    bool AtCheckpoint(ULONGLONG dbSize) const;
    // Writes the header that counts no entries, then cuts the journal back to it and flushes.
    // Fails only when that header could not be written: after it the change stands.
    NtStatus Checkpoint(ULONGLONG dbSize);

    bool IsFileOpen() const { return m_file.IsOpen(); }
    DWORD EntryCount() const { return m_header.count; }

private:
    struct Header {
        ULONGLONG checkpointSize = 0;
        ULONGLONG lastTrailer = 0;
        DWORD stamp = 0;
        DWORD blockSize = 0;
        DWORD count = 0;
    };
    struct Mark {
        ULONGLONG checkpointSize = 0;
        ULONGLONG journalSize = 0;
        ULONGLONG databaseSize = 0;
        ULONGLONG lastTrailer = 0;
        DWORD count = 0;
        bool IsSet() const
        {
            return checkpointSize != 0 || journalSize != 0 || databaseSize != 0 || lastTrailer != 0 || count != 0;
        }
    };

    NtStatus Validate();
    NtStatus Create(ULONGLONG dbSize);
    NtStatus WriteHeader();
    NtStatus UndoTo(CSafeFile& db, const Mark& mark);
    NtStatus OpenFile(DWORD access, DWORD disposition);
    // Forgets images taken but not yet written.
    void DropPending();

    CSafeFile m_file;
    CStringBuffer m_path;
    Header m_header;
    Mark m_mark;
    bool m_headerLoaded = false;
    bool m_flushWrites = false;
    bool m_readOnly = false;
    ULONGLONG m_size = 0; // the journal file's size, with the images not yet written
    // Images taken since the last Flush, back to back with their trailers, to be written at
    // m_size - m_pending.size(); the header as it was before them.
    std::vector<BYTE> m_pending;
    Header m_beforePending;
    bool m_headerDirty = false; // the header on disk differs from m_header
    // Nothing past the header and no change of the database since the last checkpoint (or
    // since the journal was made): the next Flush needs one flush (see Flush).
    bool m_clean = false;
    CByteBuffer m_entry;
};

} // namespace qkSettings
