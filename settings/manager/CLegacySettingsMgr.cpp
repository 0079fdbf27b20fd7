#include "settings/manager/CLegacySettingsMgr.h"

#include <new>
#include <string>

#include <wrl/client.h>

#include "settings/legacy/LegacySettings.h"
#include "settings/objects/CValueNameList.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

// The key path of a section path: normalised; two backslashes in a row are bad syntax.
HRESULT CLegacySettingsMgr::KeyOf(LPCWSTR path, std::wstring& key)
{
    key = LegacySettingsDatabase::NormalizeKeyPath(path);
    return key.find(L"\\\\") != std::wstring::npos ? ResultHr(result::kBadPath) : ResultHr(result::kOk);
}

HRESULT CLegacySettingsMgr::OpenSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return ResultHr(result::kInvalidArg);
    *settings = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    std::wstring key;
    HRESULT hr = KeyOf(path, key);
    if (FAILED(hr))
        return hr;
    if (!m_db->KeyExists(key))
        return ResultHr(result::kNotFound);
    Microsoft::WRL::ComPtr<LegacySettings> object;
    object = new (std::nothrow) LegacySettings(key); // the one reference
    if (!object)
        return ResultHr(result::kOutOfMemory);
    {
        auto objectLock = object->Lock();
        if (!m_db->LoadKeyValues(key, object->Values()))
            return ResultHr(result::kFailure);
    }
    *settings = object.Detach();
    return ResultHr(result::kOk);
}

// Any failure to open the section of an open store gives a new, empty object (the store's
// manager makes one only for a section the store does not hold).
HRESULT CLegacySettingsMgr::GetSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return ResultHr(result::kInvalidArg);
    HRESULT hr = OpenSettings(path, settings);
    if (SUCCEEDED(hr))
        return hr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return hr;
    std::wstring key;
    hr = KeyOf(path, key);
    if (FAILED(hr))
        return hr;
    LegacySettings* object = new (std::nothrow) LegacySettings(key);
    if (object == nullptr)
        return ResultHr(result::kOutOfMemory);
    object->AddRef();
    *settings = object;
    return ResultHr(result::kOk);
}

HRESULT CLegacySettingsMgr::PutSettings(ISettings* settings)
{
    if (settings == nullptr)
        return ResultHr(result::kInvalidArg);
    Microsoft::WRL::ComPtr<ISettings> access;
    if (FAILED(settings->QueryInterface(IID_ILegacySettingsAccess, reinterpret_cast<void**>(access.GetAddressOf()))) ||
        !access)
        return ResultHr(result::kInvalidArg);
    auto* object = static_cast<LegacySettings*>(access.Get());
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    auto objectLock = object->Lock();
    std::vector<BYTE> changes;
    DWORD r = object->Values().WriteChanges(changes);
    if (Succeeded(r))
        r = m_db->SaveKey(object->Path(), changes);
    if (Succeeded(r))
        object->Values().MarkSaved();
    return ResultHr(r);
}

HRESULT CLegacySettingsMgr::EnumSettings(LPCWSTR path, IEnumSettings** names)
{
    if (path == nullptr || names == nullptr)
        return ResultHr(result::kInvalidArg);
    *names = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    std::vector<std::wstring> list;
    if (!m_db->EnumerateSubkeys(path, list))
        return ResultHr(result::kNotFound);
    return CNameList::Create(std::move(list), names);
}

HRESULT CLegacySettingsMgr::DeleteSettings(LPCWSTR path)
{
    if (path == nullptr)
        return ResultHr(result::kInvalidArg);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    if (m_db->IsReadOnly())
        return ResultHr(result::kAccessDenied);
    return m_db->DeleteKey(path) ? ResultHr(result::kOk) : ResultHr(result::kFailure);
}

HRESULT CLegacySettingsMgr::Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher)
{
    if (storePath == nullptr)
        return ResultHr(result::kInvalidArg);
    if ((flags & openflag::kReadOnly) && (flags & (openflag::kCreate | openflag::kCreateNew)))
        return ResultHr(result::kInvalidArg);
    bool create = (flags & openflag::kCreateNew) != 0 ||
                  ((flags & openflag::kCreate) && ::GetFileAttributesW(storePath) == INVALID_FILE_ATTRIBUTES);
    std::unique_ptr<LegacySettingsDatabase> db(new (std::nothrow) LegacySettingsDatabase());
    if (!db)
        return ResultHr(result::kOutOfMemory);
    db->SetReadOnly((flags & openflag::kReadOnly) != 0);
    DWORD r = db->Open(storePath, create, cipher);
    if (!Succeeded(r))
        return ResultHr(r);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_db = std::move(db);
    return ResultHr(result::kOk);
}

HRESULT CLegacySettingsMgr::Close()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    m_db.reset();
    return ResultHr(result::kOk);
}

} // namespace qkSettings
