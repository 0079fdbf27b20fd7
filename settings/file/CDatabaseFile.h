#pragma once
// The block-structured settings database file: a header block, then fixed-size blocks chained
// into variable-length records, with a CRC-32 over every block header and optionally over
// every block's data. Each modifying operation is one transaction of the rollback journal.
//
// Header (first 40 bytes of block 0): u32 signature, u32 version 1, u32 reserved 0, u32 block
// size (a non-zero multiple of 512, at most 65,536), u32 stamp (CRC-32 of the creation time,
// binding the journal), u32 reserved, u64 root record id, u32 CRC of bytes 0-31, u32 reserved.
// Record block: u64 next block offset (0 in a last or free block), u32 flags (1 free, 2 first,
// 4 last), u32 length (the record's total in a first block, else the bytes in this block),
// u32 data CRC, u32 CRC of bytes 0-19, then block size - 24 bytes of payload. A record id is
// the offset of its first block.
#include <windows.h>

#include <vector>

#include "settings/file/CBlockList.h"
#include "settings/file/CJournal.h"
#include "settings/file/CRecordOp.h"
#include "settings/file/CSafeFile.h"
#include "settings/store/CByteBuffer.h"

namespace qkSettings {

struct DatabaseOpenParams {
    FileOpenParams file;
    DWORD reserved = 0;
    ULONGLONG maximumSize = 0xFFFFFFFF;
    DWORD blockSize = 512;
    DWORD signature = 0;
    bool verifyOnOpen = false;
    bool verifyOnRead = false;
    bool keepDataCrcs = false;
    bool flushWrites = false;
};

class CDatabaseFile {
public:
    static constexpr DWORD kHeaderBytes = 40;
    static constexpr DWORD kBlockHeader = 24;
    static constexpr DWORD kVersion = 1;
    static constexpr DWORD kStateTag = 0x62425343; // "CSBb"
    static constexpr DWORD kFlagFree = 1, kFlagFirst = 2, kFlagLast = 4;

    CDatabaseFile() = default;
    ~CDatabaseFile();
    CDatabaseFile(const CDatabaseFile&) = delete;
    CDatabaseFile& operator=(const CDatabaseFile&) = delete;

    NtStatus Open(const DatabaseOpenParams& params);
    void Close();
    bool IsOpen() const { return m_stateTag == kStateTag; }

    NtStatus Insert(const BYTE* data, DWORD length, ULONGLONG* recordId);
    NtStatus Update(ULONGLONG recordId, const BYTE* data, DWORD length);
    NtStatus Delete(ULONGLONG recordId);
    NtStatus ApplyBatch(const std::vector<CRecordOp*>& ops);
    NtStatus GetRecordSize(ULONGLONG recordId, DWORD* length);
    NtStatus Read(ULONGLONG recordId, CByteBuffer& buffer);
    NtStatus SetRootRecord(ULONGLONG recordId);
    ULONGLONG RootRecord() const { return m_header.root; }
    NtStatus Checkpoint();
    NtStatus Revert();
    // Copies the file to its ".bak" beside it (through "._bak").
    NtStatus MakeBackup() { return IsOpen() ? m_file.MakeBackup() : status::kUnsuccessful; }

    ULONGLONG FileSize() const { return m_fileSize; }
    DWORD FreeBlocks() const { return m_freeCount; }
    DWORD Stamp() const { return m_header.stamp; }
    DWORD BlockSize() const { return m_header.blockSize; }

private:
    struct Header {
        DWORD signature = 0;
        DWORD version = 0;
        DWORD reserved1 = 0;
        DWORD blockSize = 0;
        DWORD stamp = 0;
        DWORD reserved2 = 0;
        ULONGLONG root = 0;
        DWORD crc = 0;
        DWORD reserved3 = 0;
    };
    static_assert(sizeof(Header) == 40);
    struct BlockHeader {
        ULONGLONG next;
        DWORD flags;
        DWORD length;
        DWORD dataCrc;
        DWORD headerCrc;
    };
    static_assert(sizeof(BlockHeader) == 24);

    NtStatus OpenInner(const DatabaseOpenParams& params);
    NtStatus CreateHeader();
    NtStatus CheckHeader(const DatabaseOpenParams& params);
    NtStatus Scan(bool verify);
    bool IsValidBlock(ULONGLONG offset) const;
    NtStatus ReadBlockHeader(ULONGLONG offset, BlockHeader& h);
    NtStatus ReadChain(ULONGLONG recordId, CBlockList& list, DWORD* length);
    NtStatus Allocate(size_t n, const std::vector<BYTE>& taken, CBlockList& into);
    NtStatus WriteRecord(const CBlockList& list, const BYTE* data, DWORD length);
    NtStatus WriteFreeBlock(ULONGLONG offset);
    NtStatus WriteHeaderBlock();
    NtStatus Shrink();
    NtStatus FlushIfAsked();
    NtStatus CheckWritable() const;
    NtStatus RunBatch(const std::vector<CRecordOp*>& ops);
    void RecoverMemory(ULONGLONG fileSize);
    size_t BlocksFor(DWORD length) const { return (length + m_payload - 1) / m_payload; }

    CSafeFile m_file;
    bool m_writable = false;
    CJournal m_journal;
    Header m_header;
    ULONGLONG m_fileSize = 0;
    ULONGLONG m_maximumSize = 0;
    DWORD m_payload = 0;
    bool m_verifyOnOpen = false;
    bool m_verifyOnRead = false;
    bool m_keepDataCrcs = false;
    bool m_flushWrites = false;
    std::vector<BYTE> m_block;
    std::vector<BYTE> m_run;  // the blocks after a record's first one (Read)
    std::vector<BYTE> m_used; // one entry per block; block 0 always used
    DWORD m_freeCount = 0;
    DWORD m_stateTag = 0;
    // Set when a roll back failed: memory no longer matches the file, so nothing more is
    // written until the file is opened again (which recovers it from the journal).
    bool m_broken = false;
};

} // namespace qkSettings
