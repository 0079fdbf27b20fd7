#pragma once
// Frees a record when a batch commits (a deleted key's node or values record); once freed, a
// node of that record leaves the key-node cache. It has no data: serialising it fails.
#include "settings/file/CRecordOp.h"
#include "settings/root/CKeyNodeCache.h"

namespace qkSettings {

class CDeleteRecordOp : public CRecordOp {
public:
    CDeleteRecordOp(ULONGLONG recordId, CKeyNodeCache& cache) : CRecordOp(kDelete, recordId), m_cache(cache) {}

    DWORD DataSize() const override { return 0; }
    NtStatus OnWritten(ULONGLONG recordId) override
    {
        m_cache.Remove(recordId);
        return status::kSuccess;
    }

private:
    CKeyNodeCache& m_cache;
};

} // namespace qkSettings
