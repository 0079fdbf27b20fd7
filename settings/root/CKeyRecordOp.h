#pragma once
// Writes a key node (the key's subkeys, one NDND blob) when a batch commits: an insert for a new
// key or an update of a changed node. The blob is serialised at write time, so that the ids of
// records written before it in the batch (its new subkeys and values records) are in it; its
// size is the blob's, padded to the cipher's block size so that it is enciphered in place.
// Once written, a new node's id goes into its reference and its parent's entry, and the node
// is put into the key-node cache.
#include "settings/file/CRecordOp.h"
#include "settings/root/CKeyNodeCache.h"
#include "settings/root/ICipher.h"
#include "settings/root/KeyRef.h"

namespace qkSettings {

class CKeyRecordOp : public CRecordOp {
public:
    // node carries its reference in its owner words; an update names the node's record.
    CKeyRecordOp(DWORD kind, Node node, ICipher& cipher, CKeyNodeCache& cache);

    const Node& GetNode() const { return m_node; }
    void SetHolder(RecordIdHolder holder) { m_holder = std::move(holder); }

    DWORD DataSize() const override;
    NtStatus SerializeTo(BYTE* buffer, DWORD size) const override;
    NtStatus OnWritten(ULONGLONG recordId) override;

private:
    Node m_node;
    ICipher& m_cipher;
    CKeyNodeCache& m_cache;
    RecordIdHolder m_holder;
};

} // namespace qkSettings
