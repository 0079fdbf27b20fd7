#include "settings/root/CBlobRecordOp.h"

#include <cstring>

namespace qkSettings {

CBlobRecordOp::CBlobRecordOp(DWORD kind, ULONGLONG recordId, std::vector<BYTE> bytes)
    : CRecordOp(kind, recordId), m_bytes(std::move(bytes))
{}

void CBlobRecordOp::SetIdAt(size_t offset, ULONGLONG id)
{
    if (offset + 8 <= m_bytes.size())
        std::memcpy(m_bytes.data() + offset, &id, 8);
}

NtStatus CBlobRecordOp::OnWritten(ULONGLONG recordId)
{
    if (m_owner) {
        KeyRef ref = NodeRef(*m_owner);
        ref.values = recordId;
        SetNodeRef(*m_owner, ref);
    }
    if (m_holder)
        m_holder(recordId);
    return status::kSuccess;
}

} // namespace qkSettings
