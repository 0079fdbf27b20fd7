#include "settings/objects/CValueNameList.h"

#include <cstring>

#include "settings/objects/qkSettingsLibraryObjects.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

DWORD PublicType(DWORD storeType)
{
    switch (storeType) {
    case storetype::kDword:
        return 1;
    case storetype::kQword:
        return 3;
    case storetype::kString:
        return 0;
    case storetype::kBinary:
        return 2;
    default:
        return 0xFFFFFFFF;
    }
}

} // namespace

HRESULT CopyListName(const std::wstring& name, LPWSTR buffer, DWORD* size)
{
    if (size == nullptr)
        return ResultHr(result::kInvalidArg);
    DWORD need = static_cast<DWORD>(name.size()) + 1;
    if (*size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    if (buffer == nullptr)
        return ResultHr(result::kInvalidArg);
    std::memcpy(buffer, name.c_str(), need * 2);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT CopyListNameA(const std::wstring& name, LPSTR buffer, DWORD* size)
{
    if (size == nullptr)
        return ResultHr(result::kInvalidArg);
    std::string narrow;
    DWORD r = ToNarrow(name.c_str(), narrow);
    if (!Succeeded(r))
        return ResultHr(r);
    DWORD need = static_cast<DWORD>(narrow.size()) + 1;
    if (*size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    if (buffer == nullptr)
        return ResultHr(result::kInvalidArg);
    std::memcpy(buffer, narrow.c_str(), need);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT CValueNameList::Create(const CValueTable& table, IEnumValues** out)
{
    try {
        auto* list = new CValueNameList();
        table.ForEachLive([&](const CStoredValue& v) {
            DWORD type = PublicType(v.Type());
            if (type != 0xFFFFFFFF)
                list->m_entries.emplace_back(std::wstring(v.Name().text, v.Name().length / 2), type);
        });
        list->AddRef();
        *out = list;
        return ResultHr(result::kOk);
    } catch (const std::bad_alloc&) {
        return ResultHr(result::kOutOfMemory);
    }
}

HRESULT CValueNameList::Create(std::vector<std::pair<std::wstring, DWORD>> entries, IEnumValues** out)
{
    try {
        auto* list = new CValueNameList();
        list->m_entries = std::move(entries);
        list->AddRef();
        *out = list;
        return ResultHr(result::kOk);
    } catch (const std::bad_alloc&) {
        return ResultHr(result::kOutOfMemory);
    }
}

void* CValueNameList::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IEnumValues) || IsEqualGUID(iid, IID_IEnumValuesAlias))
        return static_cast<IEnumValues*>(this);
    return nullptr;
}

HRESULT CValueNameList::GetCount(DWORD* count)
{
    if (count)
        *count = static_cast<DWORD>(m_entries.size());
    return ResultHr(result::kOk);
}

HRESULT CValueNameList::GetName(DWORD index, LPWSTR buffer, DWORD* size, DWORD* type)
{
    if (m_entries.empty())
        return ResultHr(result::kNotFound);
    if (index >= m_entries.size())
        return ResultHr(result::kInvalidArg);
    if (type)
        *type = m_entries[index].second;
    return CopyListName(m_entries[index].first, buffer, size);
}

HRESULT CValueNameList::GetNameA(DWORD index, LPSTR buffer, DWORD* size, DWORD* type)
{
    if (m_entries.empty())
        return ResultHr(result::kNotFound);
    if (index >= m_entries.size())
        return ResultHr(result::kInvalidArg);
    if (type)
        *type = m_entries[index].second;
    return CopyListNameA(m_entries[index].first, buffer, size);
}

HRESULT CValueNameList::GetNameObject(DWORD index, IUnknown** text, DWORD* type)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    *text = nullptr;
    if (index >= m_entries.size())
        return ResultHr(result::kInvalidArg);
    if (type)
        *type = m_entries[index].second;
    return ResultHr(MakeStringObject(m_entries[index].first, text));
}

HRESULT CNameList::Create(std::vector<std::wstring> names, IEnumSettings** out)
{
    try {
        auto* list = new CNameList();
        list->m_names = std::move(names);
        list->AddRef();
        *out = list;
        return ResultHr(result::kOk);
    } catch (const std::bad_alloc&) {
        return ResultHr(result::kOutOfMemory);
    }
}

void* CNameList::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, GUID_NULL))
        return static_cast<IEnumSettings*>(this);
    for (const GUID& g : IID_IEnumSettingsNames)
        if (IsEqualGUID(iid, g))
            return static_cast<IEnumSettings*>(this);
    return nullptr;
}

HRESULT CNameList::GetCount(DWORD* count)
{
    if (count)
        *count = static_cast<DWORD>(m_names.size());
    return ResultHr(result::kOk);
}

HRESULT CNameList::GetName(DWORD index, LPWSTR buffer, DWORD* size)
{
    if (m_names.empty())
        return ResultHr(result::kNotFound);
    if (index >= m_names.size())
        return ResultHr(result::kInvalidArg);
    return CopyListName(m_names[index], buffer, size);
}

HRESULT CNameList::GetNameA(DWORD index, LPSTR buffer, DWORD* size)
{
    if (m_names.empty())
        return ResultHr(result::kNotFound);
    if (index >= m_names.size())
        return ResultHr(result::kInvalidArg);
    return CopyListNameA(m_names[index], buffer, size);
}

HRESULT CNameList::GetNameObject(DWORD index, IUnknown** text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    *text = nullptr;
    if (index >= m_names.size())
        return ResultHr(result::kInvalidArg);
    return ResultHr(MakeStringObject(m_names[index], text));
}

} // namespace qkSettings
