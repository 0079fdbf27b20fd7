#pragma once
// The pending change of a data root: the record operations that its writes queued, in three
// lists handed to the database file's batch in this order: deletions, values records (and the
// root record), key nodes. Key nodes go children first, so that a node is serialised after the
// records it names have their ids. Each record has at most one operation: a later change of a
// record takes over its pending operation. Nothing here is seen by readers, who read the file
// and the committed nodes.
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "settings/root/CBlobRecordOp.h"
#include "settings/root/CDeleteRecordOp.h"
#include "settings/root/CKeyRecordOp.h"

namespace qkSettings {

class CKeyTree {
public:
    bool IsEmpty() const { return m_deletes.empty() && m_blobs.empty() && m_keys.empty(); }
    // A new provisional record id (see KeyRef.h).
    ULONGLONG NewId() { return kProvisionalId | ++m_lastProvisional; }

    // The pending operation of a node or of a record with ready bytes, by the record's id
    // (provisional for an insert), or null.
    CKeyRecordOp* KeyOp(ULONGLONG nodeId) const;
    CBlobRecordOp* BlobOp(ULONGLONG recordId) const;

    // Queues an operation under id (provisional for an insert). Key nodes go in front of the
    // nodes queued before them: a parent's operation is always queued before its new children's.
    CKeyRecordOp* AddKey(ULONGLONG id, std::unique_ptr<CKeyRecordOp> op);
    CBlobRecordOp* AddBlob(ULONGLONG id, std::unique_ptr<CBlobRecordOp> op);
    void AddDelete(std::unique_ptr<CDeleteRecordOp> op);
    // Drops the pending operation of a record (its key is being deleted).
    void Drop(ULONGLONG id);

    // The operations in batch order.
    std::vector<CRecordOp*> Batch() const;
    void Clear();

private:
    std::list<std::unique_ptr<CDeleteRecordOp>> m_deletes;
    std::list<std::unique_ptr<CBlobRecordOp>> m_blobs;
    std::list<std::unique_ptr<CKeyRecordOp>> m_keys;
    std::map<ULONGLONG, CKeyRecordOp*> m_keyById;
    std::map<ULONGLONG, CBlobRecordOp*> m_blobById;
    ULONGLONG m_lastProvisional = 0;
};

} // namespace qkSettings
