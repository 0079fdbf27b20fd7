#include "settings/manager/CLegacySettingsMgr.h"

#include <new>
#include <string>

#include <wrl/client.h>

#include "settings/legacy/LegacySettings.h"
#include "settings/objects/CValueNameList.h"
#include "settings/store/qkSettingsResult.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

HRESULT R(DWORD r)
{
    return static_cast<HRESULT>(r);
}

bool DoubledBackslash(const std::wstring& path)
{
    return path.find(L"\\\\") != std::wstring::npos;
}

} // namespace

void* CLegacySettingsMgr::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_ISettingsMgr) || IsEqualGUID(iid, IID_ISettingsMgrAlias) || IsEqualGUID(iid, GUID_NULL) ||
        IsEqualGUID(iid, IID_IUnknown))
        return static_cast<ISettingsMgr*>(this);
    return nullptr;
}

HRESULT CLegacySettingsMgr::OpenSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return R(result::kInvalidArg);
    *settings = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return R(result::kNotOpen);
    std::wstring key = LegacySettingsDatabase::NormalizeKeyPath(path);
    if (DoubledBackslash(key))
        return R(result::kBadPath);
    if (!m_db->KeyExists(key))
        return R(result::kNotFound);
    Microsoft::WRL::ComPtr<LegacySettings> object;
    object.Attach(new (std::nothrow) LegacySettings(key));
    if (!object)
        return R(result::kOutOfMemory);
    object->AddRef();
    {
        auto objectLock = object->Lock();
        if (!m_db->LoadKeyValues(key, object->Values()))
            return R(result::kFailure);
    }
    *settings = object.Detach();
    return R(result::kOk);
}

HRESULT CLegacySettingsMgr::GetSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return R(result::kInvalidArg);
    HRESULT hr = OpenSettings(path, settings);
    if (SUCCEEDED(hr))
        return hr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return hr;
    std::wstring key = LegacySettingsDatabase::NormalizeKeyPath(path);
    if (DoubledBackslash(key))
        return R(result::kBadPath);
    LegacySettings* object = new (std::nothrow) LegacySettings(key);
    if (object == nullptr)
        return R(result::kOutOfMemory);
    object->AddRef();
    *settings = object;
    return R(result::kOk);
}

HRESULT CLegacySettingsMgr::PutSettings(ISettings* settings)
{
    if (settings == nullptr)
        return R(result::kInvalidArg);
    Microsoft::WRL::ComPtr<ISettings> access;
    if (FAILED(settings->QueryInterface(IID_ILegacySettingsAccess, reinterpret_cast<void**>(access.GetAddressOf()))) ||
        !access)
        return R(result::kInvalidArg);
    auto* object = static_cast<LegacySettings*>(access.Get());
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return R(result::kNotOpen);
    auto objectLock = object->Lock();
    std::vector<BYTE> changes;
    DWORD r = object->Values().WriteChanges(changes);
    if (Succeeded(r))
        r = m_db->SaveKey(object->Path(), changes);
    if (Succeeded(r))
        object->Values().MarkSaved();
    return R(r);
}

HRESULT CLegacySettingsMgr::EnumSettings(LPCWSTR path, IEnumSettings** names)
{
    if (path == nullptr || names == nullptr)
        return R(result::kInvalidArg);
    *names = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return R(result::kNotOpen);
    std::vector<std::wstring> list;
    if (!m_db->EnumerateSubkeys(path, list))
        return R(result::kNotFound);
    return CNameList::Create(std::move(list), names);
}

HRESULT CLegacySettingsMgr::DeleteSettings(LPCWSTR path)
{
    if (path == nullptr)
        return R(result::kInvalidArg);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return R(result::kNotOpen);
    if (m_db->IsReadOnly())
        return R(result::kAccessDenied);
    return m_db->DeleteKey(path) ? R(result::kOk) : R(result::kFailure);
}

HRESULT CLegacySettingsMgr::Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher)
{
    if (storePath == nullptr)
        return R(result::kInvalidArg);
    if ((flags & openflag::kReadOnly) && (flags & (openflag::kCreate | openflag::kCreateNew)))
        return R(result::kInvalidArg);
    bool create = (flags & openflag::kCreateNew) != 0 ||
                  ((flags & openflag::kCreate) && ::GetFileAttributesW(storePath) == INVALID_FILE_ATTRIBUTES);
    std::unique_ptr<LegacySettingsDatabase> db(new (std::nothrow) LegacySettingsDatabase());
    if (!db)
        return R(result::kOutOfMemory);
    DWORD r = db->Open(storePath, create, cipher);
    if (!Succeeded(r))
        return R(r);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_db = std::move(db);
    return R(result::kOk);
}

HRESULT CLegacySettingsMgr::Close()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return R(result::kNotOpen);
    m_db.reset();
    return R(result::kOk);
}

#define QK_LEGACY_PATH(call)              \
    if (path == nullptr)                  \
        return R(result::kInvalidArg);    \
    std::wstring wide;                    \
    DWORD converted = ToWide(path, wide); \
    if (!Succeeded(converted))            \
        return R(converted);              \
    return call

HRESULT CLegacySettingsMgr::GetSettingsA(LPCSTR path, ISettings** s)
{
    QK_LEGACY_PATH(GetSettings(wide.c_str(), s));
}
HRESULT CLegacySettingsMgr::OpenSettingsA(LPCSTR path, ISettings** s)
{
    QK_LEGACY_PATH(OpenSettings(wide.c_str(), s));
}
HRESULT CLegacySettingsMgr::EnumSettingsA(LPCSTR path, IEnumSettings** n)
{
    QK_LEGACY_PATH(EnumSettings(wide.c_str(), n));
}
HRESULT CLegacySettingsMgr::DeleteSettingsA(LPCSTR path)
{
    QK_LEGACY_PATH(DeleteSettings(wide.c_str()));
}

} // namespace qkSettings
