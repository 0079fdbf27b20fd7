#include "settings/objects/CSettings.h"

#include <cwchar>

#include "settings/objects/CValueNameList.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace {

// A wide value name: null or longer than 32,767 units is an invalid argument.
bool NameOf(LPCWSTR name, CountedString& out)
{
    return name != nullptr && SUCCEEDED(MakeCountedString(name, out));
}

DWORD StoreType(CSettingsSlots::Kind kind)
{
    switch (kind) {
    case CSettingsSlots::Kind::Dword:
        return storetype::kDword;
    case CSettingsSlots::Kind::Qword:
        return storetype::kQword;
    case CSettingsSlots::Kind::Text:
        return storetype::kString;
    case CSettingsSlots::Kind::Binary:
        break;
    }
    return storetype::kBinary;
}

} // namespace

void* CSettings::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_ISettings) || IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IUnknown))
        return static_cast<ISettings*>(this);
    for (const GUID& alias : IID_ISettingsAliases)
        if (IsEqualGUID(iid, alias))
            return static_cast<ISettings*>(this);
    if (IsEqualGUID(iid, IID_ISettingsInternal))
        return static_cast<ISettingsInternal*>(this);
    return nullptr;
}

HRESULT CSettings::Initialize(const wchar_t* path)
{
    if (path == nullptr || std::wcslen(path) >= kMaxCountedUnits)
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    NtStatus st = NormalizePath(path, m_path);
    m_initialized = NtSuccess(st);
    return StatusHr(st);
}

HRESULT CSettings::PutValue(LPCWSTR name, Kind kind, const void* data, DWORD size)
{
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    return StatusHr(m_values.Set(StoreType(kind), n, data, size));
}

HRESULT CSettings::FindValue(LPCWSTR name, Kind kind, const BYTE*& data, DWORD& size)
{
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    const CStoredValue* v = m_values.Find(n);
    if (v == nullptr)
        return ResultHr(result::kNotFound);
    if (v->Type() != StoreType(kind))
        return ResultHr(result::kTypeMismatch);
    data = static_cast<const BYTE*>(v->Data());
    size = v->Size();
    return ResultHr(result::kOk);
}

HRESULT CSettings::DeleteValue(LPCWSTR name)
{
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    m_values.Delete(n);
    return ResultHr(result::kOk);
}

HRESULT CSettings::DeleteAllValues()
{
    auto guard = Lock();
    m_values.DeleteAll();
    return ResultHr(result::kOk);
}

HRESULT CSettings::EnumValues(IEnumValues** values)
{
    if (values == nullptr)
        return ResultHr(result::kInvalidArg);
    *values = nullptr;
    auto guard = Lock();
    return CValueNameList::Create(m_values, values);
}

HRESULT CSettings::GetInfo(DWORD* longestName, DWORD* largestValue)
{
    auto guard = Lock();
    m_values.GetInfo(longestName, largestValue);
    return ResultHr(result::kOk);
}

} // namespace qkSettings
