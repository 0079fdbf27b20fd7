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
        return ResultHr(result::kInvalidArg);
    *settings = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_db)
        return ResultHr(result::kNotOpen);
    std::wstring key = LegacySettingsDatabase::NormalizeKeyPath(path);
    if (DoubledBackslash(key))
        return ResultHr(result::kBadPath);
    if (!m_db->KeyExists(key))
        return ResultHr(result::kNotFound);
    Microsoft::WRL::ComPtr<LegacySettings> object;
    object.Attach(new (std::nothrow) LegacySettings(key));
    if (!object)
        return ResultHr(result::kOutOfMemory);
    object->AddRef();
    {
        auto objectLock = object->Lock();
        if (!m_db->LoadKeyValues(key, object->Values()))
            return ResultHr(result::kFailure);
    }
    *settings = object.Detach();
    return ResultHr(result::kOk);
}

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
    std::wstring key = LegacySettingsDatabase::NormalizeKeyPath(path);
    if (DoubledBackslash(key))
        return ResultHr(result::kBadPath);
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

#define QK_LEGACY_PATH(call)              \
    if (path == nullptr)                  \
        return ResultHr(result::kInvalidArg);    \
    std::wstring wide;                    \
    DWORD converted = ToWide(path, wide); \
    if (!Succeeded(converted))            \
        return ResultHr(converted);              \
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
