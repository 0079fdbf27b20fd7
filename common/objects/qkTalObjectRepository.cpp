#include "common/objects/qkTalObjectRepository.h"

#include <objbase.h>
#include <wrl/client.h>

#include <new>
#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/ISettingsMgr.h"
#include "common/objects/ReadLibraryRoot.h"
#include "common/objects/qkTalTrustedDllLoader.h"
#include "common/system/CIsolation.h"
#include "common/system/CPathHook.h"
#include "common/system/qkPathExpansion.h"
#include "common/system/qkRegistry.h"

namespace {

constexpr wchar_t kSettingsDll[] = L"qkSet.dll";
constexpr wchar_t kObjIdSection[] = L"KeelCore\\OBJID";
constexpr wchar_t kObjIdKey[] = L"\\OBJID";
constexpr wchar_t kPathValue[] = L"InProc32";
constexpr DWORD kNameChars = 40; // a braced GUID text and its terminator
constexpr DWORD kModulePathChars = 260;

} // namespace

std::wstring qkTalObjectRepository::IdText(const GUID& id)
{
    wchar_t text[kNameChars] = L"";
    StringFromGUID2(id, text, kNameChars);
    return text;
}

qkTalObjectRepository& qkTalObjectRepository::GetRepository()
{
    static qkTalObjectRepository repository;
    return repository;
}

bool qkTalObjectRepository::CurrentContains(const GUID& objectId)
{
    if (CPathHook* hook = CPathHook::GetCurrentRepository())
        return hook->Contains(objectId);
    return GetRepository().Contains(objectId);
}

bool qkTalObjectRepository::CurrentGetModulePath(const GUID& objectId, std::wstring& path)
{
    if (CPathHook* hook = CPathHook::GetCurrentRepository())
        return hook->GetModulePath(objectId, path);
    return GetRepository().GetModulePath(objectId, path);
}

bool qkTalObjectRepository::Contains(const GUID& objectId)
{
    qkScopedLock lock(m_lock);
    std::wstring stored;
    return Find(objectId, stored);
}

bool qkTalObjectRepository::GetModulePath(const GUID& objectId, std::wstring& path)
{
    qkScopedLock lock(m_lock);
    std::wstring stored;
    if (!Find(objectId, stored))
        return false;
    if (!qkPathExpansion::ExpandPath(stored.c_str(), path)) {
        QK_TRACE(L"path %s of %s does not expand", stored.c_str(), IdText(objectId).c_str());
        return false;
    }
    return true;
}

bool qkTalObjectRepository::Find(const GUID& objectId, std::wstring& storedPath)
{
    qkExceptionInfo info;
    try {
        if (!m_loaded && !Load())
            return false;
        auto it = m_map.find(objectId);
        if (it == m_map.end()) {
            // Not known yet: it may have been registered since the last load.
            m_loaded = false;
            if (!Load())
                return false;
            it = m_map.find(objectId);
            if (it == m_map.end()) {
                QK_TRACE(L"%s not in the repository", IdText(objectId).c_str());
                return false;
            }
        }
        storedPath = it->second;
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"caught %s", info.GetFullText());
    return false;
}

bool qkTalObjectRepository::Load()
{
    m_map.clear();
    // The settings store first: for an id in both sources its path is kept.
    const bool fromSettings = FillFromSettings(m_map);
    const bool fromRegistry = FillFromRegistry(m_map);
    m_loaded = fromSettings || fromRegistry;
    return m_loaded;
}

bool qkTalObjectRepository::FillFromSettings(Map& map)
{
    qkExceptionInfo info;
    try {
        // The loader lives for this fill only: it unloads the settings DLL and the trust DLL.
        qkTalTrustedDllLoader loader;
        std::wstring path;
        HRESULT hr = qkLib::ReadLibraryRoot(path);
        if (hr >= 0) {
            path += kSettingsDll;
            hr = loader.Load(path.c_str());
        }
        if (hr < 0) {
            QK_TRACE(L"settings DLL not loaded, 0x%08lX", static_cast<unsigned long>(hr));
            return false;
        }
        Microsoft::WRL::ComPtr<qkSettings::ISettingsMgr> manager;
        hr = loader.CreateObject(qkSettings::CLSID_SettingsMgr, qkSettings::IID_ISettingsMgr,
                                 reinterpret_cast<void**>(manager.GetAddressOf()));
        if (hr < 0 || !manager) {
            QK_TRACE(L"settings manager not created, 0x%08lX", static_cast<unsigned long>(hr));
            return false;
        }
        Microsoft::WRL::ComPtr<qkSettings::IEnumSettings> names;
        hr = manager->EnumSettings(kObjIdSection, names.GetAddressOf());
        if (hr < 0 || !names) {
            QK_TRACE(L"%s not enumerated, 0x%08lX", kObjIdSection, static_cast<unsigned long>(hr));
            return false;
        }
        DWORD count = 0;
        hr = names->GetCount(&count);
        if (hr < 0) {
            QK_TRACE(L"%s: no count, 0x%08lX", kObjIdSection, static_cast<unsigned long>(hr));
            return false;
        }
        for (DWORD i = 0; i < count; ++i) {
            wchar_t name[kNameChars] = L"";
            DWORD nameChars = kNameChars;
            if (names->GetName(i, name, &nameChars) < 0) {
                QK_TRACE(L"subsection %lu: no name", i);
                continue;
            }
            name[kNameChars - 1] = L'\0';
            GUID id{};
            if (FAILED(CLSIDFromString(name, &id))) {
                QK_TRACE(L"subsection %s is not an object id", name);
                continue;
            }
            Microsoft::WRL::ComPtr<qkSettings::ISettings> section;
            const std::wstring sectionPath = std::wstring(kObjIdSection) + L"\\" + name;
            if (manager->OpenSettings(sectionPath.c_str(), section.GetAddressOf()) < 0 || !section) {
                QK_TRACE(L"section %s not opened", sectionPath.c_str());
                continue;
            }
            wchar_t module[kModulePathChars] = L"";
            DWORD moduleChars = kModulePathChars;
            if (section->GetString(kPathValue, module, &moduleChars) < 0) {
                QK_TRACE(L"section %s has no %s", sectionPath.c_str(), kPathValue);
                continue;
            }
            module[kModulePathChars - 1] = L'\0';
            map.emplace(id, module);
        }
        // The settings objects' code lives in the DLL: they are released before the loader.
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"caught %s", info.GetFullText());
    return false;
}

bool qkTalObjectRepository::FillFromRegistry(Map& map)
{
    qkExceptionInfo info;
    try {
        const wchar_t* silo = CIsolation::GetSiloRegistryPath();
        if (!silo) {
            QK_TRACE(L"no silo registry path");
            return false;
        }
        const std::wstring keyPath = std::wstring(silo) + kObjIdKey;
        const REGSAM access = KEY_READ | CIsolation::GetRegistryViewFlags();
        qkRegistry key;
        if (!key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), access)) {
            QK_TRACE(L"%s not opened, error %lu", keyPath.c_str(), key.GetLastError());
            return false;
        }
        DWORD subkeys = 0;
        DWORD longest = 0;
        const LONG status = RegQueryInfoKeyW(key.GetKey(), nullptr, nullptr, nullptr, &subkeys, &longest, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            QK_TRACE(L"%s not queried, error %ld", keyPath.c_str(), status);
            return false;
        }
        std::vector<wchar_t> name(longest + 1, L'\0');
        for (DWORD i = 0; i < subkeys; ++i) {
            DWORD nameChars = longest + 1;
            if (key.EnumKey(i, name.data(), &nameChars) != ERROR_SUCCESS) {
                QK_TRACE(L"subkey %lu of %s not enumerated", i, keyPath.c_str());
                continue;
            }
            GUID id{};
            if (FAILED(CLSIDFromString(name.data(), &id))) {
                QK_TRACE(L"subkey %s is not an object id", name.data());
                continue;
            }
            qkRegistry sub;
            std::wstring module;
            if (!sub.Open(key.GetKey(), name.data(), access) || !sub.QueryStringValue(kPathValue, module)) {
                QK_TRACE(L"subkey %s has no %s", name.data(), kPathValue);
                continue;
            }
            if (!map.emplace(id, module).second)
                QK_TRACE(L"%s already served by the settings store; registry path %s ignored", name.data(),
                         module.c_str());
        }
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"caught %s", info.GetFullText());
    return false;
}
