#pragma once
// Writes a record whose bytes are ready (a key's values record, enciphered, or the root record)
// when a batch commits: an update of the record, or an insert of a key's first values record.
// A later change of the same record in the same transaction replaces the bytes, so that the
// batch names each record once. Once written, the record's id goes to the key node that owns
// it and to a second holder (the parent's entry of the key, or the root record).
#include <vector>

#include "settings/file/CRecordOp.h"
#include "settings/root/KeyRef.h"

namespace qkSettings {

class CBlobRecordOp : public CRecordOp {
public:
    CBlobRecordOp(DWORD kind, ULONGLONG recordId, std::vector<BYTE> bytes);

    const std::vector<BYTE>& Bytes() const { return m_bytes; }
    void Replace(std::vector<BYTE> bytes) { m_bytes = std::move(bytes); }
    // Writes an 8-byte record id into the bytes (the root record names its key's records).
    void SetIdAt(size_t offset, ULONGLONG id);
    // The pending node whose reference names this values record.
    void SetOwner(Node owner) { m_owner = std::move(owner); }
    void SetHolder(RecordIdHolder holder) { m_holder = std::move(holder); }

    const BYTE* Data() const override { return m_bytes.data(); }
    DWORD DataSize() const override { return static_cast<DWORD>(m_bytes.size()); }
    NtStatus OnWritten(ULONGLONG recordId) override;

private:
    std::vector<BYTE> m_bytes;
    Node m_owner;
    RecordIdHolder m_holder;
};

} // namespace qkSettings
