#include "settings/legacy/LegacyTreeNode.h"

#include <cstring>
#include <cwctype>
#include <new>

#include "common/base/qkTrace.h"
#include "settings/legacy/CLegacyDataStore.h"

namespace qkSettings {

LegacyTreeNode::LegacyTreeNode(std::wstring name, CLegacyDataStore* store) : m_name(std::move(name)), m_store(store)
{
    if (m_store == nullptr || !m_store->IsOpen())
        m_flags |= kStoreClosed;
}

LegacyTreeNode::~LegacyTreeNode()
{
    LegacyTreeNode* work = nullptr;
    ReleaseChildrenTo(&work);
    while (work != nullptr) {
        LegacyTreeNode* node = work;
        work = node->m_nextToFree;
        node->ReleaseChildrenTo(&work);
        delete node; // childless now: no recursion
    }
}

void LegacyTreeNode::ReleaseChildrenTo(LegacyTreeNode** work)
{
    if (!m_children)
        return;
    for (auto& entry : *m_children) {
        LegacyTreeNode* child = entry.second.release();
        child->m_nextToFree = *work;
        *work = child;
    }
    m_children.reset();
}

DWORD LegacyTreeNode::NameHash(const std::wstring& name)
{
    DWORD h = 0;
    for (wchar_t c : name) {
        h = (h + static_cast<DWORD>(std::towlower(c))) * 1025u;
        h ^= h >> 6;
    }
    h *= 9u;
    h ^= h >> 11;
    h *= 32769u;
    return h;
}

bool LegacyTreeNode::Equal::operator()(const std::wstring& a, const std::wstring& b) const
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

LegacyTreeNode* LegacyTreeNode::AddChild(const wchar_t* name, size_t length)
{
    try {
        if (!m_children) {
            m_children.reset(new std::unordered_map<std::wstring, std::unique_ptr<LegacyTreeNode>, Hash, Equal>(8));
            m_children->max_load_factor(1.0f);
        }
        std::wstring key(name, length);
        auto found = m_children->find(key);
        if (found != m_children->end())
            return found->second.get();
        auto child = std::make_unique<LegacyTreeNode>(key, m_store);
        LegacyTreeNode* raw = child.get();
        m_children->emplace(std::move(key), std::move(child));
        return raw;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

LegacyTreeNode* LegacyTreeNode::FindChild(const wchar_t* name) const
{
    if (!m_children || name == nullptr)
        return nullptr;
    auto found = m_children->find(name);
    return found == m_children->end() ? nullptr : found->second.get();
}

void LegacyTreeNode::RemoveChild(LegacyTreeNode* child)
{
    if (!m_children || child == nullptr)
        return;
    for (auto it = m_children->begin(); it != m_children->end(); ++it)
        if (it->second.get() == child) {
            m_children->erase(it);
            return;
        }
}

bool LegacyTreeNode::GetChildNames(std::vector<std::wstring>& names, bool includeHidden) const
{
    if (!m_children)
        return true;
    try {
        for (const auto& entry : *m_children)
            if (includeHidden || !(entry.second->m_flags & kHidden))
                names.push_back(entry.first);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

DWORD LegacyTreeNode::SetFlags(DWORD flags)
{
    DWORD old = m_flags;
    m_flags = flags;
    if (m_store == nullptr || !m_store->IsOpen())
        m_flags |= kStoreClosed;
    else
        m_flags &= ~kStoreClosed;
    return old;
}

void LegacyTreeNode::SetCachedData(const BYTE* data, DWORD size)
{
    try {
        m_cached.assign(data, data + size);
        m_hasCached = true;
    } catch (const std::bad_alloc&) {
        m_cached.clear();
        m_hasCached = false;
    }
}

bool LegacyTreeNode::GetCachedData(BYTE* buffer, DWORD* size) const
{
    if (!m_hasCached || size == nullptr || buffer == nullptr || *size < m_cached.size())
        return false;
    std::memcpy(buffer, m_cached.data(), m_cached.size());
    *size = static_cast<DWORD>(m_cached.size());
    return true;
}

bool LegacyTreeNode::DeleteSubtree(const std::function<void(LegacyTreeNode&)>& onHandled, ULONGLONG* cachedBytes)
{
    std::vector<LegacyTreeNode*> collected;
    std::vector<LegacyTreeNode*> stack{this};
    try {
        while (!stack.empty()) {
            LegacyTreeNode* node = stack.back();
            stack.pop_back();
            if (node->m_flags & (kNoDelete | kStoreClosed))
                continue;
            if (node->m_flags & kHandled) {
                collected.push_back(node);
                continue;
            }
            if (node->m_recordId != 0)
                collected.push_back(node);
            if (node->m_children)
                for (auto& entry : *node->m_children)
                    stack.push_back(entry.second.get());
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool ok = true;
    for (LegacyTreeNode* node : collected) {
        if (node->m_flags & kHandled) {
            if (onHandled)
                onHandled(*node);
            continue;
        }
        if (cachedBytes != nullptr)
            *cachedBytes -= (std::min<ULONGLONG>)(*cachedBytes, node->m_cached.size());
        node->m_cached.clear();
        node->m_hasCached = false;
        if (node->m_store != nullptr && !node->m_store->DeleteRecord(node->m_recordId)) {
            QK_TRACE(L"could not delete the record of %s", node->m_name.c_str());
            ok = false;
        }
        node->m_recordId = 0;
    }
    return ok;
}

} // namespace qkSettings
