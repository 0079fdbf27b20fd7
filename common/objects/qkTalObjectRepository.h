#pragma once
// Which DLL serves an object id: a map from object id to a module path written with path
// tokens, filled from the settings DLL "qkSet.dll" (section "KeelCore\OBJID") and from the
// registry (key "\OBJID" below the silo registry path). The map is loaded on the first lookup
// and loaded again on every miss, so an id registered meanwhile is found.
#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "common/base/qkCriticalSection.h"

class qkTalObjectRepository {
public:
    qkTalObjectRepository() = default;
    qkTalObjectRepository(const qkTalObjectRepository&) = delete;
    qkTalObjectRepository& operator=(const qkTalObjectRepository&) = delete;
    virtual ~qkTalObjectRepository() = default;

    // The same two operations, in the same order, as the path hook's.
    virtual bool Contains(const GUID& objectId);
    // The id's module path with its tokens expanded; false when the id is unknown or the path
    // does not expand.
    virtual bool GetModulePath(const GUID& objectId, std::wstring& path);

    // The library's one repository.
    static qkTalObjectRepository& GetRepository();
    // The current repository: the attached path hook, else the library's own.
    static bool CurrentContains(const GUID& objectId);
    static bool CurrentGetModulePath(const GUID& objectId, std::wstring& path);
    // An identifier as braced text, for trace lines.
    static std::wstring IdText(const GUID& id);

private:
    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
    };
    using Map = std::map<GUID, std::wstring, GuidLess>;

    // The stored (unexpanded) path; the caller holds the lock.
    bool Find(const GUID& objectId, std::wstring& storedPath);
    bool Load();
    bool FillFromSettings(Map& map);
    bool FillFromRegistry(Map& map);

    Map m_map;
    bool m_loaded = false;
    qkCriticalSection m_lock;
};
