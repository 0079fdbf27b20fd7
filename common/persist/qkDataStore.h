#pragma once
// Variable-length binary records in one file, behind a 32-byte store header and a caller-defined
// user header. A record id is the file offset of the record's 40-byte header. Every header carries
// a CRC-32 and so, unless switched off, does every record's data.
//
// File layout (little-endian):
//   store header  0 signature | 4 1 | 8 u64 file size at the last Close (0 while open for
//                 writing) | 16 user-header size | 20 user-header CRC (0 when not recorded) |
//                 24 CRC of these 32 bytes with this field 0 | 28 0
//   user header   at 32, zero-filled when the store is made
//   records       back to back up to the end of the file, each a header and its allocated space:
//                 0 signature | 4 1 | 8 u64 own offset | 16 u64 preceding record's offset (0 for
//                 the first) | 24 allocated size | 28 used size (0: free) | 32 data CRC |
//                 36 CRC of the 40 header bytes with this field 0
//
// Free space (free records and the slack of used records) is found again through an in-memory
// index rebuilt at each Open; neighbouring free space is joined and free space at the end of the
// file is given back by truncating it.
//
// Crash safety: every change (a record added, updated or deleted, the user header written, the
// store header rewritten by Open and Close) is guarded by an undo journal, a side file named after
// the store with ".journal" appended. The store file keeps its layout exactly; the journal is held
// open without sharing while the store is open for writing, is empty between changes and is
// deleted by Close. Before a byte of the store that existed when the change began is overwritten
// or cut off, its old contents are appended to the journal (after a small header that holds the
// store's length at the start of the change); the change commits by emptying the journal after
// the store's last write. A change that fails part-way is undone at once from the journal; one
// that a crash interrupts is undone when the store is next opened for writing (before anything is
// read): the old bytes are put back newest first and the file is cut to its old length. Every
// journal piece carries a CRC, so a piece written short is recognised and ignored, which is right
// because the store write it guards never happened. Undoing is idempotent, so a crash while
// undoing is undone again next time. A record is therefore always as it was before the change or
// as the change left it, never torn. Not guarded: making a new store (there is nothing old to
// keep). Opening for writing creates the journal, so it needs a folder where files can be made.
//
// A journal is trusted no further than it can be checked, since anyone who may make a file in
// the store's folder could plant one. The writer that holds the store makes its journal new, with
// the store's owner and access list (or, where it may not name that owner, its own). A journal
// found at the next open is undone only when its owner is the store's or the opening process's
// own (its user, or the owner its files get: a journal it could have written itself while it
// holds the store for writing anyway), every piece lies inside the length it records, the bytes
// the store lacks of that length are in it, the store was not closed cleanly, and the store as
// the undo would leave it has an accepted header and records back to back up to that length. Any
// other journal is set aside as "<store>.journal.rejected" and never applied; the store is then
// read as it is, and Verify refuses it if it does not hold together (Verify never cuts a store
// back itself). Whatever lies at the journal's name and cannot be opened (a folder, a file that
// refuses the writer) is set aside unread as well, and when "<store>.journal.rejected" cannot be
// replaced (a folder), a fresh name is taken: nobody who may only make files beside a store can
// keep its writer out.
// Why a journal rather than copy-and-switch: a record's id is its offset, and an update that fits
// keeps it, so the new data has nowhere else to go; a side file leaves the layout of a store that
// was closed untouched, and readers of the format never see it.
// With flush-writes set, each journal piece is flushed before the store write it guards and the
// store is flushed before the journal is emptied, so a power loss is covered as well as a crash
// of the process. A store opened read-only cannot undo a change that a crash left in its journal:
// it reads the store as the undo would leave it (the journal's old bytes laid over the file), and
// leaves the undo itself to the next open for writing. A journal held by a writer is not read:
// that change is still in flight. A second open for writing of a store whose journal is held
// fails with the sharing violation (32): two writers would each keep a free-space index of their
// own.
//
// Every operation returns BOOL and leaves a Win32 code, read with GetLastError: 87 for a bad
// argument, 1392 (ERROR_FILE_CORRUPT) for a header or checksum that fails or a free record used
// as a live one, 14 when memory runs out, else the file's own error.
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/base/qkCriticalSection.h"
#include "common/system/qkFile.h"
#include "common/system/qkResourceHolders.h"

class qkDataStore {
public:
#pragma pack(push, 1)
    struct StoreHeader {
        DWORD signature;
        DWORD one;
        ULONGLONG recordedSize;
        DWORD userHeaderSize;
        DWORD userHeaderCrc;
        DWORD headerCrc;
        DWORD zero;
    };
    struct RecordHeader {
        DWORD signature;
        DWORD one;
        ULONGLONG id;
        ULONGLONG preceding;
        DWORD allocated;
        DWORD used;
        DWORD dataCrc;
        DWORD headerCrc;
    };
#pragma pack(pop)
    static_assert(sizeof(StoreHeader) == 32 && sizeof(RecordHeader) == 40);
    static constexpr DWORD kStoreHeaderSize = 32;
    static constexpr DWORD kRecordHeaderSize = 40;

    qkDataStore(DWORD storeSignature, DWORD ignored1, DWORD recordSignature, DWORD ignored2);
    virtual ~qkDataStore();
    qkDataStore(const qkDataStore&) = delete;
    qkDataStore& operator=(const qkDataStore&) = delete;

    // The first six arguments go to CreateFileW. CREATE_NEW, CREATE_ALWAYS and TRUNCATE_EXISTING
    // make a new store with the given user-header size; OPEN_EXISTING opens one (the size is
    // taken from the file); OPEN_ALWAYS does whichever applies.
    BOOL Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
              DWORD flagsAndAttributes, DWORD ignored, DWORD userHeaderSize);
    // Records the file size and the user-header CRC (when open for writing) and closes the file.
    BOOL Close();

    BOOL ReadUserHeader(DWORD ignored, void* buffer, DWORD size);
    // The user-header CRC is recorded by Close.
    BOOL WriteUserHeader(DWORD ignored, const void* buffer, DWORD size);

    BOOL AddRecord(const void* data, DWORD size, ULONGLONG* recordId);
    // Puts size bytes at offset within the data of the record being added.
    using RecordPieceWriter = std::function<BOOL(DWORD offset, const void* data, DWORD size)>;
    // Writes the whole data of the record being added through the piece writer; FALSE fails the add.
    using RecordProducer = std::function<BOOL(const RecordPieceWriter& write)>;
    // AddRecord for data that is never held in memory whole: a record of size bytes whose data
    // the producer writes piece by piece. With checksums on, the data CRC is read back from the
    // file before the record's header is written.
    BOOL AddRecord(DWORD size, const RecordProducer& producer, ULONGLONG* recordId);
    // The id changes when the record has to move to grow.
    BOOL UpdateRecord(ULONGLONG* recordId, const void* data, DWORD size);
    BOOL DeleteRecord(ULONGLONG recordId);
    // The used size; 0 for a free record.
    BOOL GetRecordSize(ULONGLONG recordId, DWORD* size);
    // The first size bytes; the data CRC is checked when the whole record is read.
    BOOL ReadRecord(ULONGLONG recordId, void* buffer, DWORD size);

    // Checks the whole store and rebuilds the free-space index; Open calls it.
    virtual BOOL Verify();
    // Called by Verify for each record in file order (a free record with no data).
    virtual BOOL OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size);

    BOOL IsOpen() const;
    BOOL IsOpenForWrite() const
    {
        return IsOpen() && m_openForWrite;
    }
    void DisableChecksums(DWORD ignored = 0);
    DWORD GetLastError() const
    {
        return m_lastError;
    }

    // Each successful change ends with FlushFileBuffers when set.
    void SetFlushWrites(BOOL on)
    {
        m_flushWrites = on;
    }
    // Verify appends every used record to this store (not flushed); null detaches.
    void SetCopyTarget(qkDataStore* target)
    {
        m_copyTarget = target;
    }

protected:
    // The file layer: every change of the file goes through these two.
    virtual BOOL WriteAt(ULONGLONG offset, const void* data, DWORD size);
    virtual BOOL SetFileLength(ULONGLONG size);
    // The journal's file layer: every change of the journal goes through these two.
    virtual BOOL WriteJournalAt(ULONGLONG offset, const void* data, DWORD size);
    virtual BOOL SetJournalLength(ULONGLONG size);
    // The security layer: the parts asked for of the store's or the journal's security (read
    // through the handle, else through the path when one is given), and the journal made new with
    // the security given. Both give a Win32 code.
    enum class SecuredFile { Store, Journal };
    virtual DWORD ReadSecurity(SecuredFile which, HANDLE file, const wchar_t* path, SECURITY_INFORMATION parts,
                               PSID* owner, PACL* dacl, qkLocalPtr<void>& descriptor);
    virtual DWORD CreateJournalFile(qkFile& journal, const wchar_t* path, LPSECURITY_ATTRIBUTES security);
    // Stores the error and gives FALSE.
    BOOL Fail(DWORD error);

private:
    BOOL FileError();
    // Store writes of this class: inside a change the old bytes are journaled first.
    BOOL Write(ULONGLONG offset, const void* data, DWORD size);
    BOOL Truncate(ULONGLONG size);

    // The undo journal.
    BOOL OpenJournal(const wchar_t* storePath, bool newStore);
    // A journal that an earlier writer left: undone when it passes every check, else set aside
    // (renamed, never read again); then deleted. A store made anew drops it unread.
    BOOL TakeOverJournal(const wchar_t* storePath, bool newStore);
    // A new journal made by this writer, with the store's owner and access list.
    BOOL CreateJournal(const wchar_t* storePath);
    // Renames an open journal that was refused to AsideName; FALSE when no name takes it.
    BOOL SetJournalAside(qkFile& journal);
    // Renames whatever lies at the journal's name and cannot be opened (a folder, a file whose
    // access list refuses this writer) to AsideName, unread.
    BOOL SetEntryAside();
    // "<journal>.rejected" (attempt 0, replacing a file of that name), then fresh names.
    std::wstring AsideName(int attempt) const;
    static constexpr int kAsideAttempts = 3;
    // Closes the journal and deletes it unless it still holds a change to undo.
    void CloseJournal();
    // Brackets one change; EndChange commits it when ok, else undoes it, and gives the result.
    BOOL BeginChange();
    BOOL EndChange(BOOL ok);
    BOOL SaveOldBytes(ULONGLONG offset, ULONGLONG end);
    // Undoes the change the journal holds (if any) and empties the journal.
    BOOL RollBack();
    // Read-only: takes in a change a crash left in the journal, to be read through.
    BOOL OpenJournalView(const wchar_t* storePath);
    BOOL ReadThroughJournal(ULONGLONG offset, BYTE* buffer, DWORD size);
    struct JournalUndo {
        ULONGLONG offset;
        size_t at; // of the old bytes in the journal
        DWORD size;
    };
    // The pieces of a journal's change, oldest first; false when it holds none (empty or torn
    // header).
    bool ParseJournal(const std::vector<BYTE>& journal, ULONGLONG* storeLength, std::vector<JournalUndo>* undo) const;
    // Reads a journal whole and parses it; FALSE (with the store's error set) when it cannot be read.
    BOOL LoadJournal(qkFile& file, std::vector<BYTE>* journal, ULONGLONG* storeLength, std::vector<JournalUndo>* undo,
                     bool* hasChange);
    enum class JournalVerdict { Apply, Drop, SetAside };
    // Whether a journal found beside the store may be undone: its owner is the store's, every
    // piece lies inside the old length, the bytes the store lacks of that length are kept, the
    // store was not closed cleanly (Drop for the journal of a close itself), and the store as the
    // undo would leave it holds together. FALSE only when the store cannot be read.
    BOOL CheckJournal(const wchar_t* storePath, qkFile& journal, const std::vector<BYTE>& bytes, ULONGLONG storeLength,
                      const std::vector<JournalUndo>& undo, JournalVerdict* verdict);
    // Writes the old bytes back, newest first, and gives the store its old length.
    BOOL ApplyUndo(const std::vector<BYTE>& journal, ULONGLONG storeLength, const std::vector<JournalUndo>& undo);
    BOOL ReadAt(ULONGLONG offset, void* buffer, DWORD size);
    BOOL GetFileSize(ULONGLONG* size);
    void Flush();
    DWORD FirstRecordOffset() const
    {
        return kStoreHeaderSize + m_userHeaderSize;
    }

    BOOL ReadStoreHeader(StoreHeader* header);
    BOOL WriteStoreHeader(StoreHeader* header);
    BOOL ReadRecordHeader(ULONGLONG id, RecordHeader* header);
    BOOL WriteRecordHeader(RecordHeader* header);
    // The record after this one, when there is one (*exists false at the end of the file).
    BOOL ReadFollowing(const RecordHeader& header, RecordHeader* following, bool* exists);
    BOOL ReadPreceding(const RecordHeader& header, RecordHeader* preceding, bool* exists);
    DWORD DataCrc(const void* data, DWORD size) const;
    BOOL CreateStore(DWORD userHeaderSize);
    BOOL OpenExisting();
    // The data of a record being added: a block in memory, or a producer of its pieces.
    struct RecordData {
        const void* bytes;
        DWORD size;
        const RecordProducer* producer;
    };
    // Writes the data at offset and gives its CRC (0 with checksums off).
    BOOL WriteRecordData(ULONGLONG offset, const RecordData& data, DWORD* crc);
    // Appends at the end of the file (the last step of AddRecord); the caller flushes.
    BOOL AppendRecord(const void* data, DWORD size, ULONGLONG* recordId);
    // AppendRecord as one change of its own (Verify's copies into an attached store).
    BOOL AppendCopy(const void* data, DWORD size, ULONGLONG* recordId);
    BOOL AppendRecord(const RecordData& data, ULONGLONG* recordId);
    BOOL AddRecordLocked(const void* data, DWORD size, ULONGLONG* recordId);
    BOOL AddRecordLocked(const RecordData& data, ULONGLONG* recordId);
    BOOL UpdateRecordLocked(ULONGLONG* recordId, const void* data, DWORD size);
    BOOL DeleteRecordLocked(ULONGLONG recordId);
    BOOL RebuildIndexAfterFailure();
    void RebuildIndex();
    BOOL Coalesce(RecordHeader record);

    // Free-space index.
    static DWORD FreeSpaceOf(const RecordHeader& header);
    bool IndexContains(ULONGLONG id) const
    {
        return m_freeById.count(id) != 0;
    }
    BOOL IndexAdd(const RecordHeader& header);
    void IndexRemove(ULONGLONG id);
    BOOL IndexUpdate(const RecordHeader& header);
    void IndexClear();

    qkFile m_file;
    DWORD m_lastError = 0;
    BOOL m_flushWrites = FALSE;
    BOOL m_checksums = TRUE;
    DWORD m_userHeaderSize = 0;
    BOOL m_openForWrite = FALSE;
    std::map<ULONGLONG, DWORD> m_freeById;
    std::multimap<DWORD, RecordHeader> m_freeBySize;
    ULONGLONG m_lastRecord = 0;
    qkDataStore* m_copyTarget = nullptr;
    qkFile m_journal;
    std::wstring m_journalPath;
    bool m_inChange = false;
    // The journal holds a change that could not be undone yet: nothing changes until it is.
    bool m_journalPending = false;
    ULONGLONG m_changeLength = 0; // the store's length when the change began
    ULONGLONG m_journalEnd = 0;   // bytes written to the journal in this change
    // Read-only over a crashed change: the journal's bytes, its pieces and the old length.
    bool m_viewing = false;
    std::vector<BYTE> m_view;
    std::vector<JournalUndo> m_viewUndo;
    ULONGLONG m_viewLength = 0;
    qkCriticalSection m_lock;
    DWORD m_storeSignature;
    DWORD m_recordSignature;
};
