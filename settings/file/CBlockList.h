#pragma once
// An ordered list of block offsets of the database file.
#include <windows.h>

#include <vector>

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

class CBlockList {
public:
    void Reset(size_t n) { m_items.assign(n, 0); }
    void AppendZeros(size_t k) { m_items.insert(m_items.end(), k, 0); }
    NtStatus Get(size_t i, ULONGLONG* offset) const
    {
        if (i >= m_items.size())
            return status::kInvalidParameter;
        *offset = m_items[i];
        return status::kSuccess;
    }
    NtStatus Set(size_t i, ULONGLONG offset)
    {
        if (i >= m_items.size())
            return status::kInvalidParameter;
        m_items[i] = offset;
        return status::kSuccess;
    }
    void Append(ULONGLONG offset) { m_items.push_back(offset); }
    void AppendRange(const CBlockList& other, size_t from, size_t count)
    {
        m_items.insert(m_items.end(), other.m_items.begin() + from, other.m_items.begin() + from + count);
    }
    // Moves entries i.. into tail.
    void SplitTail(size_t i, CBlockList& tail)
    {
        tail.m_items.insert(tail.m_items.end(), m_items.begin() + i, m_items.end());
        m_items.resize(i);
    }
    size_t Count() const { return m_items.size(); }
    ULONGLONG operator[](size_t i) const { return m_items[i]; }
    std::vector<ULONGLONG>& Items() { return m_items; }
    const std::vector<ULONGLONG>& Items() const { return m_items; }

private:
    std::vector<ULONGLONG> m_items;
};

} // namespace qkSettings
