#pragma once
// A settings tree of the older kind in a legacy data store: one record per key that has
// values, named by the key's path (no leading or trailing backslash) and holding the key's
// values in their full form (LegacyKeyValues). The key tree is built from the record names
// when the file is loaded.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "settings/legacy/CLegacyDataStore.h"
#include "settings/legacy/LegacyKeyValues.h"
#include "settings/legacy/LegacyTreeNode.h"

namespace qkSettings {

class LegacySettingsDatabase {
public:
    // The most names a key path may have, as deep as a registry tree may go.
    static constexpr size_t kMaxKeyDepth = 512;

    LegacySettingsDatabase() = default;
    ~LegacySettingsDatabase();
    LegacySettingsDatabase(const LegacySettingsDatabase&) = delete;
    LegacySettingsDatabase& operator=(const LegacySettingsDatabase&) = delete;

    // Set before Open: the store is opened for reading only, shared with other readers, and
    // nothing is written. Without it the file's read-only attribute decides.
    void SetReadOnly(bool on) { m_readOnly = on; }
    // Result codes.
    DWORD Open(const wchar_t* path, bool create, ISettingsCipher* cipher);
    void Close();
    bool IsReadOnly() const { return m_readOnly; }

    bool KeyExists(const std::wstring& path);
    bool LoadKeyValues(const std::wstring& path, LegacyKeyValues& target);
    // Result code; applies a change list to the key, creating it when missing.
    DWORD SaveKey(const std::wstring& path, const std::vector<BYTE>& changes);
    bool DeleteKey(const std::wstring& path);
    bool EnumerateSubkeys(const std::wstring& path, std::vector<std::wstring>& names);

    // Removes leading and trailing backslashes.
    static std::wstring NormalizeKeyPath(const std::wstring& path);

private:
    LegacyTreeNode* Resolve(const std::wstring& path, LegacyTreeNode** parent);
    LegacyTreeNode* CreateKeyPath(const std::wstring& path, ULONGLONG recordId, DWORD length, LegacyTreeNode* start);
    void Reset();

    std::recursive_mutex m_lock;
    CLegacyDataStore m_store;
    std::unique_ptr<LegacyTreeNode> m_root;
    bool m_plainSecurity = true;
    bool m_readOnly = false;
    DWORD m_saves = 0;
};

} // namespace qkSettings
