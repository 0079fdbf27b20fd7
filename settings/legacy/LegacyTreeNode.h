#pragma once
// One key of the tree built from an older settings file: its name, the record of its value (0
// when it has none), flags, a cached copy of its value and its children by case-insensitive
// name.
//   Flags: 1 and 16 keep the node out of deletion walks; 4 hands it to the caller's handler
//   instead of deleting it; 32 hides it from name listings unless hidden names are asked for.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qkSettings {

class CLegacyDataStore;

class LegacyTreeNode {
public:
    static constexpr DWORD kNoDelete = 1;
    static constexpr DWORD kHandled = 4;
    static constexpr DWORD kStoreClosed = 16;
    static constexpr DWORD kHidden = 32;

    LegacyTreeNode(std::wstring name, CLegacyDataStore* store);
    // Frees the subtree from a work list: a tree may be deeper than the stack could unwind.
    ~LegacyTreeNode();
    LegacyTreeNode(const LegacyTreeNode&) = delete;
    LegacyTreeNode& operator=(const LegacyTreeNode&) = delete;

    // A name already present (ignoring case) keeps the existing child, which is returned.
    LegacyTreeNode* AddChild(const wchar_t* name, size_t length);
    LegacyTreeNode* FindChild(const wchar_t* name) const;
    void RemoveChild(LegacyTreeNode* child);
    bool GetChildNames(std::vector<std::wstring>& names, bool includeHidden) const;
    DWORD SetFlags(DWORD flags);
    DWORD Flags() const { return m_flags; }
    void SetCachedData(const BYTE* data, DWORD size);
    bool GetCachedData(BYTE* buffer, DWORD* size) const;
    void SetRecordId(ULONGLONG id) { m_recordId = id; }
    ULONGLONG RecordId() const { return m_recordId; }
    const std::wstring& Name() const { return m_name; }
    void SetOwner(CLegacyDataStore* store) { m_store = store; }

    // Handled nodes go to onHandled; the others lose their cached data and their record.
    // cachedBytes is lowered by the cached sizes freed.
    bool DeleteSubtree(const std::function<void(LegacyTreeNode&)>& onHandled, ULONGLONG* cachedBytes);

    // The child table's hash: one-at-a-time over the lower-cased units.
    static DWORD NameHash(const std::wstring& name);

private:
    struct Hash {
        size_t operator()(const std::wstring& s) const { return NameHash(s); }
    };
    struct Equal {
        bool operator()(const std::wstring& a, const std::wstring& b) const;
    };

    // Hands the children over to the work list (no allocation) and drops the table.
    void ReleaseChildrenTo(LegacyTreeNode** work);

    std::wstring m_name;
    CLegacyDataStore* m_store;
    ULONGLONG m_recordId = 0;
    DWORD m_flags = 0;
    std::vector<BYTE> m_cached;
    bool m_hasCached = false;
    std::unique_ptr<std::unordered_map<std::wstring, std::unique_ptr<LegacyTreeNode>, Hash, Equal>> m_children;
    LegacyTreeNode* m_nextToFree = nullptr; // the work list of the destructor
};

} // namespace qkSettings
