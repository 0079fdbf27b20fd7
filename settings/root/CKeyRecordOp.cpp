#include "settings/root/CKeyRecordOp.h"

#include <cstring>

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

CKeyRecordOp::CKeyRecordOp(DWORD kind, Node node, ICipher& cipher, CKeyNodeCache& cache)
    : CRecordOp(kind, kind == kInsert ? 0 : NodeRef(*node).node),
      m_node(std::move(node)),
      m_cipher(cipher),
      m_cache(cache)
{}

DWORD CKeyRecordOp::DataSize() const
{
    DWORD block = m_cipher.GetBlockSize();
    return (m_node->TotalSize() + block - 1) / block * block;
}

NtStatus CKeyRecordOp::SerializeTo(BYTE* buffer, DWORD size) const
{
    DWORD written = size;
    NtStatus st = m_node->Serialize(buffer, &written);
    if (!NtSuccess(st))
        return st;
    std::memset(buffer + written, 0, size - written);
    DWORD out = size;
    return m_cipher.Encrypt(buffer, size, buffer, &out) ? status::kSuccess : status::kEncryptionFailed;
}

NtStatus CKeyRecordOp::OnWritten(ULONGLONG recordId)
{
    if (Kind() == kInsert) {
        KeyRef ref = NodeRef(*m_node);
        ref.node = recordId;
        SetNodeRef(*m_node, ref);
        if (m_holder)
            m_holder(recordId);
    }
    m_cache.Put(m_node);
    return status::kSuccess;
}

} // namespace qkSettings
