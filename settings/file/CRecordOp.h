#pragma once
// One change of one database record, the unit of a batch of the database file: an insert
// (kind 0, whose record id is filled in when written), an update (1) or a delete (2). The batch
// keeps in each operation the blocks the record already has and the count of blocks still to
// allocate; an operation gives its data ready in memory (Data) or writes it into a buffer that
// the batch supplies (SerializeTo), and is told when its record has been written (OnWritten).
#include <windows.h>

#include "settings/file/CBlockList.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

class CRecordOp {
public:
    enum Kind : DWORD { kInsert = 0, kUpdate = 1, kDelete = 2 };

    CRecordOp(DWORD kind, ULONGLONG recordId) : m_kind(kind), m_recordId(recordId) {}
    virtual ~CRecordOp() = default;
    CRecordOp(const CRecordOp&) = delete;
    CRecordOp& operator=(const CRecordOp&) = delete;

    // The data ready in memory, or null when SerializeTo must write it.
    virtual const BYTE* Data() const { return nullptr; }
    virtual DWORD DataSize() const = 0;
    virtual NtStatus SerializeTo(BYTE* buffer, DWORD size) const
    {
        (void)buffer;
        (void)size;
        return status::kUnsuccessful;
    }
    // Told for each operation once the batch has written it (a delete: once its blocks are
    // freed), with the record's id; a failure fails the batch.
    virtual NtStatus OnWritten(ULONGLONG recordId)
    {
        (void)recordId;
        return status::kSuccess;
    }

    DWORD Kind() const { return m_kind; }
    ULONGLONG RecordId() const { return m_recordId; }
    void SetRecordId(ULONGLONG id) { m_recordId = id; }
    CBlockList& Blocks() { return m_blocks; }
    size_t& BlocksToAllocate() { return m_toAllocate; }

private:
    DWORD m_kind;
    ULONGLONG m_recordId;
    CBlockList m_blocks;
    size_t m_toAllocate = 0;
};

} // namespace qkSettings
