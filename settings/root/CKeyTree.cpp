#include "settings/root/CKeyTree.h"

namespace qkSettings {

CKeyRecordOp* CKeyTree::KeyOp(ULONGLONG nodeId) const
{
    auto it = m_keyById.find(nodeId);
    return it == m_keyById.end() ? nullptr : it->second;
}

CBlobRecordOp* CKeyTree::BlobOp(ULONGLONG recordId) const
{
    auto it = m_blobById.find(recordId);
    return it == m_blobById.end() ? nullptr : it->second;
}

CKeyRecordOp* CKeyTree::AddKey(ULONGLONG id, std::unique_ptr<CKeyRecordOp> op)
{
    CKeyRecordOp* raw = op.get();
    m_keys.push_front(std::move(op));
    m_keyById[id] = raw;
    return raw;
}

CBlobRecordOp* CKeyTree::AddBlob(ULONGLONG id, std::unique_ptr<CBlobRecordOp> op)
{
    CBlobRecordOp* raw = op.get();
    m_blobs.push_back(std::move(op));
    m_blobById[id] = raw;
    return raw;
}

void CKeyTree::AddDelete(std::unique_ptr<CDeleteRecordOp> op)
{
    m_deletes.push_back(std::move(op));
}

void CKeyTree::Drop(ULONGLONG id)
{
    if (auto it = m_keyById.find(id); it != m_keyById.end()) {
        m_keys.remove_if([&](const auto& op) { return op.get() == it->second; });
        m_keyById.erase(it);
    }
    if (auto it = m_blobById.find(id); it != m_blobById.end()) {
        m_blobs.remove_if([&](const auto& op) { return op.get() == it->second; });
        m_blobById.erase(it);
    }
}

std::vector<CRecordOp*> CKeyTree::Batch() const
{
    std::vector<CRecordOp*> batch;
    batch.reserve(m_deletes.size() + m_blobs.size() + m_keys.size());
    for (const auto& op : m_deletes)
        batch.push_back(op.get());
    for (const auto& op : m_blobs)
        batch.push_back(op.get());
    for (const auto& op : m_keys)
        batch.push_back(op.get());
    return batch;
}

void CKeyTree::Clear()
{
    m_keyById.clear();
    m_blobById.clear();
    m_keys.clear();
    m_blobs.clear();
    m_deletes.clear();
}

} // namespace qkSettings
