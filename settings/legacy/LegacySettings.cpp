#include "settings/legacy/LegacySettings.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/system/qkPathExpansion.h"
#include "settings/objects/CValueNameList.h"
#include "settings/objects/qkSettingsLibraryObjects.h"
#include "settings/store/qkSettingsResult.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

// Store types of the value table, for the shared value enumerator.
DWORD StoreTypeOf(DWORD legacyType)
{
    switch (legacyType) {
    case LegacyKeyValues::kString:
        return storetype::kString;
    case LegacyKeyValues::kDword:
        return storetype::kDword;
    default:
        return storetype::kBinary;
    }
}

} // namespace

#define QK_LEGACY_NARROW(call)            \
    if (name == nullptr)                  \
        return ResultHr(result::kInvalidArg);    \
    std::wstring wide;                    \
    DWORD converted = ToWide(name, wide); \
    if (!Succeeded(converted))            \
        return ResultHr(converted);              \
    return call

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

HRESULT LegacySettings::Read(LPCWSTR name, DWORD type, const LegacyKeyValues::Value** value)
{
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    const LegacyKeyValues::Value* v = m_values.Find(name);
    if (v == nullptr)
        return ResultHr(result::kNotFound);
    // Another type is reported even for a deleted value.
    if (v->type != type)
        return ResultHr(result::kTypeMismatch);
    if (v->state == LegacyKeyValues::kDeleted)
        return ResultHr(result::kNotFound);
    *value = v;
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::GetDword(LPCWSTR name, DWORD* value)
{
    auto guard = Lock();
    const LegacyKeyValues::Value* v = nullptr;
    HRESULT hr = Read(name, LegacyKeyValues::kDword, &v);
    if (FAILED(hr))
        return hr;
    if (value == nullptr || v->data.size() < 4)
        return ResultHr(result::kInvalidArg);
    std::memcpy(value, v->data.data(), 4);
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::SetDword(LPCWSTR name, DWORD value)
{
    auto guard = Lock();
    return ResultHr(m_values.Set(name, LegacyKeyValues::kDword, &value, 4));
}

HRESULT LegacySettings::SetString(LPCWSTR name, LPCWSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    size_t units = std::wcslen(text);
    return ResultHr(m_values.Set(name, LegacyKeyValues::kString, text, static_cast<DWORD>((units + 1) * 2)));
}

HRESULT LegacySettings::Text(LPCWSTR name, bool expand, std::wstring& text)
{
    const LegacyKeyValues::Value* v = nullptr;
    HRESULT hr = Read(name, LegacyKeyValues::kString, &v);
    if (FAILED(hr))
        return hr;
    text.assign(reinterpret_cast<const wchar_t*>(v->data.data()), v->data.size() / 2);
    if (!text.empty() && text.back() == 0)
        text.pop_back();
    if (expand) {
        std::wstring expanded;
        if (!qkPathExpansion::ExpandPath(text.c_str(), expanded))
            return ResultHr(result::kExpansionFailed);
        text.swap(expanded);
    }
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::CopyText(const std::wstring& text, LPWSTR buffer, DWORD* size)
{
    if (size == nullptr || (buffer == nullptr && *size != 0))
        return ResultHr(result::kInvalidArg);
    DWORD need = static_cast<DWORD>(text.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    std::memcpy(buffer, text.c_str(), need * 2);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::CopyTextA(const std::wstring& text, LPSTR buffer, DWORD* size)
{
    if (size == nullptr || (buffer == nullptr && *size != 0))
        return ResultHr(result::kInvalidArg);
    std::string narrow;
    DWORD r = ToNarrow(text.c_str(), narrow);
    if (!Succeeded(r))
        return ResultHr(r);
    DWORD need = static_cast<DWORD>(narrow.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    std::memcpy(buffer, narrow.c_str(), need);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::GetString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    auto guard = Lock();
    std::wstring text;
    HRESULT hr = Text(name, false, text);
    return FAILED(hr) ? hr : CopyText(text, buffer, size);
}

HRESULT LegacySettings::GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    auto guard = Lock();
    std::wstring text;
    HRESULT hr = Text(name, true, text);
    return FAILED(hr) ? hr : CopyText(text, buffer, size);
}

HRESULT LegacySettings::GetStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wide;
    DWORD converted = ToWide(name, wide);
    if (!Succeeded(converted))
        return ResultHr(converted);
    auto guard = Lock();
    std::wstring text;
    HRESULT hr = Text(wide.c_str(), false, text);
    return FAILED(hr) ? hr : CopyTextA(text, buffer, size);
}

HRESULT LegacySettings::GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    if (name == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wide;
    DWORD converted = ToWide(name, wide);
    if (!Succeeded(converted))
        return ResultHr(converted);
    auto guard = Lock();
    std::wstring text;
    HRESULT hr = Text(wide.c_str(), true, text);
    return FAILED(hr) ? hr : CopyTextA(text, buffer, size);
}

HRESULT LegacySettings::GetBinary(LPCWSTR name, void* buffer, DWORD* size)
{
    auto guard = Lock();
    const LegacyKeyValues::Value* v = nullptr;
    HRESULT hr = Read(name, LegacyKeyValues::kBinary, &v);
    if (FAILED(hr))
        return hr;
    if (size == nullptr || (buffer == nullptr && *size != 0))
        return ResultHr(result::kInvalidArg);
    DWORD need = static_cast<DWORD>(v->data.size());
    if (*size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    if (need > 0)
        std::memcpy(buffer, v->data.data(), need);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::SetBinary(LPCWSTR name, const void* data, DWORD size)
{
    auto guard = Lock();
    return ResultHr(m_values.Set(name, LegacyKeyValues::kBinary, data, size));
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
    CValueTable table;
    for (const auto& entry : m_values.Values()) {
        if (entry.second.state == LegacyKeyValues::kDeleted)
            continue;
        CountedString n;
        if (FAILED(MakeCountedString(entry.first.c_str(), n)))
            continue;
        NtStatus st = table.Set(StoreTypeOf(entry.second.type), n, entry.second.data.data(),
                                static_cast<DWORD>(entry.second.data.size()));
        if (!NtSuccess(st))
            return ResultHr(MapStatusToResult(st));
    }
    return CValueNameList::Create(table, values);
}

HRESULT LegacySettings::GetInfo(DWORD* longestName, DWORD* largestValue)
{
    auto guard = Lock();
    if (longestName)
        *longestName = m_values.LongestName() + 1;
    if (largestValue)
        *largestValue = m_values.LargestData();
    return ResultHr(result::kOk);
}

HRESULT LegacySettings::GetDwordA(LPCSTR name, DWORD* value)
{
    QK_LEGACY_NARROW(GetDword(wide.c_str(), value));
}
HRESULT LegacySettings::SetDwordA(LPCSTR name, DWORD value)
{
    QK_LEGACY_NARROW(SetDword(wide.c_str(), value));
}
HRESULT LegacySettings::GetBinaryA(LPCSTR name, void* b, DWORD* s)
{
    QK_LEGACY_NARROW(GetBinary(wide.c_str(), b, s));
}
HRESULT LegacySettings::SetBinaryA(LPCSTR name, const void* d, DWORD s)
{
    QK_LEGACY_NARROW(SetBinary(wide.c_str(), d, s));
}
HRESULT LegacySettings::DeleteValueA(LPCSTR name)
{
    QK_LEGACY_NARROW(DeleteValue(wide.c_str()));
}
HRESULT LegacySettings::SetStringA(LPCSTR name, LPCSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wideText;
    DWORD textConverted = ToWide(text, wideText);
    if (!Succeeded(textConverted))
        return ResultHr(textConverted);
    QK_LEGACY_NARROW(SetString(wide.c_str(), wideText.c_str()));
}

// A text value as a new string object; the caller's out pointer must be empty.
HRESULT LegacySettings::TextObject(LPCWSTR name, bool expand, IUnknown** text)
{
    if (text == nullptr || *text != nullptr)
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    std::wstring value;
    HRESULT hr = Text(name, expand, value);
    if (FAILED(hr))
        return hr;
    return ResultHr(MakeStringObject(value, text));
}

HRESULT LegacySettings::GetStringObject(LPCWSTR name, IUnknown** text)
{
    return TextObject(name, false, text);
}
HRESULT LegacySettings::GetStringObjectA(LPCSTR name, IUnknown** text)
{
    QK_LEGACY_NARROW(GetStringObject(wide.c_str(), text));
}
HRESULT LegacySettings::GetExpandedStringObject(LPCWSTR name, IUnknown** text)
{
    return TextObject(name, true, text);
}
HRESULT LegacySettings::GetExpandedStringObjectA(LPCSTR name, IUnknown** text)
{
    QK_LEGACY_NARROW(GetExpandedStringObject(wide.c_str(), text));
}

// The object's text as a text value, stored as SetString stores it (terminator included).
HRESULT LegacySettings::SetStringObject(LPCWSTR name, IUnknown* text)
{
    std::wstring value;
    DWORD read = ReadStringObject(text, value);
    if (!Succeeded(read))
        return ResultHr(read);
    return SetString(name, value.c_str());
}
HRESULT LegacySettings::SetStringObjectA(LPCSTR name, IUnknown* text)
{
    QK_LEGACY_NARROW(SetStringObject(wide.c_str(), text));
}

// A binary value as a new memory object holding a copy of its bytes.
HRESULT LegacySettings::GetBinaryObject(LPCWSTR name, IUnknown** data)
{
    if (data == nullptr)
        return ResultHr(result::kInvalidArg);
    *data = nullptr;
    auto guard = Lock();
    const LegacyKeyValues::Value* v = nullptr;
    HRESULT hr = Read(name, LegacyKeyValues::kBinary, &v);
    if (FAILED(hr))
        return hr;
    return ResultHr(MakeMemoryObject(v->data.data(), static_cast<DWORD>(v->data.size()), data));
}
HRESULT LegacySettings::GetBinaryObjectA(LPCSTR name, IUnknown** data)
{
    QK_LEGACY_NARROW(GetBinaryObject(wide.c_str(), data));
}

HRESULT LegacySettings::SetBinaryObject(LPCWSTR name, IUnknown* data)
{
    Microsoft::WRL::ComPtr<IMemoryObject> memory;
    DWORD queried = QueryMemoryObject(data, memory);
    if (!Succeeded(queried))
        return ResultHr(queried);
    return SetBinary(name, memory->GetData(), memory->GetSize());
}
HRESULT LegacySettings::SetBinaryObjectA(LPCSTR name, IUnknown* data)
{
    QK_LEGACY_NARROW(SetBinaryObject(wide.c_str(), data));
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
