#include "settings/legacy/LegacySettings.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "settings/objects/CValueNameList.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace {

// The older format's type numbers.
DWORD LegacyType(CSettingsSlots::Kind kind)
{
    switch (kind) {
    case CSettingsSlots::Kind::Text:
        return LegacyKeyValues::kString;
    case CSettingsSlots::Kind::Dword:
        return LegacyKeyValues::kDword;
    case CSettingsSlots::Kind::Qword:
    case CSettingsSlots::Kind::Binary:
        break;
    }
    return LegacyKeyValues::kBinary;
}

} // namespace

// Only the first three aliases of the settings interface: the older object has no later slots.
void* LegacySettings::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_ISettings) ||
        IsEqualGUID(iid, IID_ISettingsAliases[0]) || IsEqualGUID(iid, IID_ISettingsAliases[1]) ||
        IsEqualGUID(iid, IID_ISettingsAliases[2]))
        return static_cast<ISettings*>(this);
    if (IsEqualGUID(iid, IID_ILegacySettingsAccess))
        return static_cast<ISettings*>(this);
    return nullptr;
}

// A text is stored with its terminator.
HRESULT LegacySettings::PutValue(LPCWSTR name, Kind kind, const void* data, DWORD size)
{
    if (kind == Kind::Qword)
        return ResultHr(result::kNotImplemented);
    if (kind == Kind::Text)
        size += sizeof(wchar_t);
    return ResultHr(m_values.Set(name, LegacyType(kind), data, size));
}

HRESULT LegacySettings::FindValue(LPCWSTR name, Kind kind, const BYTE*& data, DWORD& size)
{
    if (kind == Kind::Qword)
        return ResultHr(result::kNotImplemented);
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    const LegacyKeyValues::Value* v = m_values.Find(name);
    if (v == nullptr)
        return ResultHr(result::kNotFound);
    // Another type is reported even for a deleted value.
    if (v->type != LegacyType(kind))
        return ResultHr(result::kTypeMismatch);
    if (v->state == LegacyKeyValues::kDeleted)
        return ResultHr(result::kNotFound);
    data = v->data.data();
    size = static_cast<DWORD>(v->data.size());
    if (kind == Kind::Text && size >= sizeof(wchar_t) &&
        reinterpret_cast<const wchar_t*>(data)[size / sizeof(wchar_t) - 1] == 0)
        size -= sizeof(wchar_t);
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::DeleteValue(LPCWSTR name)
{
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    m_values.Delete(name);
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::DeleteAllValues()
{
    auto guard = Lock();
    m_values.DeleteAll();
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::EnumValues(IEnumValues** values)
{
    if (values == nullptr)
        return ResultHr(result::kInvalidArg);
    *values = nullptr;
    auto guard = Lock();
    // In the map's order; the older format's types are the public ones (0 text, 1 u32, 2 binary).
    std::vector<std::pair<std::wstring, DWORD>> entries;
    try {
        for (const auto& entry : m_values.Values())
            if (entry.second.state != LegacyKeyValues::kDeleted)
                entries.emplace_back(entry.first, entry.second.type);
    } catch (const std::bad_alloc&) {
        return ResultHr(result::kOutOfMemory);
    }
    return CValueNameList::Create(std::move(entries), values);
}

// The largest figures ever set, also of values deleted since (the store's object measures the
// values it holds now).
HRESULT LegacySettings::GetInfo(DWORD* longestName, DWORD* largestValue)
{
    auto guard = Lock();
    if (longestName)
        *longestName = m_values.LongestName() + 1;
    if (largestValue)
        *largestValue = m_values.LargestData();
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::GetQword(LPCWSTR, ULONGLONG*)
{
    return ResultHr(result::kNotImplemented);
}
HRESULT LegacySettings::GetQwordA(LPCSTR, ULONGLONG*)
{
    return ResultHr(result::kNotImplemented);
}
HRESULT LegacySettings::SetQword(LPCWSTR, ULONGLONG)
{
    return ResultHr(result::kNotImplemented);
}
HRESULT LegacySettings::SetQwordA(LPCSTR, ULONGLONG)
{
    return ResultHr(result::kNotImplemented);
}

} // namespace qkSettings
