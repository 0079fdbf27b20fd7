#include "settings/objects/CSettings.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "common/system/qkPathExpansion.h"
#include "settings/objects/CValueNameList.h"
#include "settings/objects/qkSettingsLibraryObjects.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

// A wide value name: null or longer than 32,767 units is an invalid argument.
bool NameOf(LPCWSTR name, CountedString& out)
{
    return name != nullptr && SUCCEEDED(MakeCountedString(name, out));
}

} // namespace

// Narrow twins: the name (and text) converted from the ANSI code page, then the wide call.
#define QK_NARROW_NAME(call)              \
    if (name == nullptr)                  \
        return ResultHr(result::kInvalidArg);    \
    std::wstring wide;                    \
    DWORD converted = ToWide(name, wide); \
    if (!Succeeded(converted))            \
        return ResultHr(converted);              \
    return call

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

std::unique_lock<std::recursive_mutex> CSettings::Lock()
{
    return std::unique_lock<std::recursive_mutex>(m_lock);
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

HRESULT CSettings::Set(LPCWSTR name, DWORD type, const void* data, DWORD size)
{
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    return StatusHr(m_values.Set(type, n, data, size));
}

HRESULT CSettings::Get(LPCWSTR name, DWORD type, void* buffer, DWORD* size)
{
    CountedString n;
    if (!NameOf(name, n) || size == nullptr)
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    return StatusHr(m_values.Get(type, n, buffer, size));
}

HRESULT CSettings::GetDword(LPCWSTR name, DWORD* value)
{
    if (value == nullptr)
        return ResultHr(result::kInvalidArg);
    DWORD size = 4;
    return Get(name, storetype::kDword, value, &size);
}

HRESULT CSettings::GetDwordA(LPCSTR name, DWORD* value)
{
    QK_NARROW_NAME(GetDword(wide.c_str(), value));
}

HRESULT CSettings::SetDword(LPCWSTR name, DWORD value)
{
    return Set(name, storetype::kDword, &value, 4);
}

HRESULT CSettings::SetDwordA(LPCSTR name, DWORD value)
{
    QK_NARROW_NAME(SetDword(wide.c_str(), value));
}

HRESULT CSettings::GetQword(LPCWSTR name, ULONGLONG* value)
{
    if (value == nullptr)
        return ResultHr(result::kInvalidArg);
    DWORD size = 8;
    return Get(name, storetype::kQword, value, &size);
}

HRESULT CSettings::GetQwordA(LPCSTR name, ULONGLONG* value)
{
    QK_NARROW_NAME(GetQword(wide.c_str(), value));
}

HRESULT CSettings::SetQword(LPCWSTR name, ULONGLONG value)
{
    return Set(name, storetype::kQword, &value, 8);
}

HRESULT CSettings::SetQwordA(LPCSTR name, ULONGLONG value)
{
    QK_NARROW_NAME(SetQword(wide.c_str(), value));
}

HRESULT CSettings::SetString(LPCWSTR name, LPCWSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    size_t units = std::wcslen(text);
    if (units > 0x3FFFFFFF)
        return ResultHr(result::kInvalidArg);
    return Set(name, storetype::kString, text, static_cast<DWORD>(units * 2));
}

HRESULT CSettings::SetStringA(LPCSTR name, LPCSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wideText;
    DWORD textConverted = ToWide(text, wideText);
    if (!Succeeded(textConverted))
        return ResultHr(textConverted);
    QK_NARROW_NAME(SetString(wide.c_str(), wideText.c_str()));
}

HRESULT CSettings::ValueText(LPCWSTR name, bool expand, std::wstring& text)
{
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    {
        auto guard = Lock();
        const CStoredValue* v = m_values.Find(n);
        if (v == nullptr)
            return ResultHr(result::kNotFound);
        if (v->Type() != storetype::kString)
            return ResultHr(result::kTypeMismatch);
        try {
            text.assign(reinterpret_cast<const wchar_t*>(v->Data()), v->Size() / 2);
        } catch (const std::bad_alloc&) {
            return ResultHr(result::kOutOfMemory);
        }
    }
    if (expand) {
        std::wstring expanded;
        if (!qkPathExpansion::ExpandPath(text.c_str(), expanded))
            return ResultHr(result::kExpansionFailed);
        text.swap(expanded);
    }
    return ResultHr(result::kOk);
}

HRESULT CSettings::ReadText(LPCWSTR name, bool expand, LPWSTR buffer, DWORD* size)
{
    if (size == nullptr || (buffer == nullptr && *size != 0))
        return ResultHr(result::kInvalidArg);
    std::wstring text;
    HRESULT hr = ValueText(name, expand, text);
    if (hr == ResultHr(result::kNotFound))
        *size = 0;
    if (hr != ResultHr(result::kOk))
        return hr;
    // A size of 0 asks for the size: it must not wrap to a huge capacity.
    DWORD need = static_cast<DWORD>(text.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    std::memcpy(buffer, text.data(), text.size() * 2);
    buffer[text.size()] = 0;
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT CSettings::ReadTextA(LPCSTR name, bool expand, LPSTR buffer, DWORD* size)
{
    if (name == nullptr || size == nullptr || (buffer == nullptr && *size != 0))
        return ResultHr(result::kInvalidArg);
    std::wstring wide;
    DWORD converted = ToWide(name, wide);
    if (!Succeeded(converted))
        return ResultHr(converted);
    DWORD units = 0;
    HRESULT hr = ReadText(wide.c_str(), expand, nullptr, &units);
    if (hr != ResultHr(result::kBufferTooSmall))
        return hr;
    std::wstring text(units, L'\0');
    hr = ReadText(wide.c_str(), expand, text.data(), &units);
    if (hr != ResultHr(result::kOk))
        return hr;
    text.resize(units - 1);
    std::string narrow;
    converted = ToNarrow(text.c_str(), narrow);
    if (!Succeeded(converted))
        return ResultHr(converted);
    DWORD need = static_cast<DWORD>(narrow.size()) + 1;
    if (buffer == nullptr || *size < need) {
        *size = need;
        return ResultHr(result::kBufferTooSmall);
    }
    std::memcpy(buffer, narrow.c_str(), need);
    *size = need;
    return ResultHr(result::kOk);
}

HRESULT CSettings::GetString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    return ReadText(name, false, buffer, size);
}
HRESULT CSettings::GetStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    return ReadTextA(name, false, buffer, size);
}
HRESULT CSettings::GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    return ReadText(name, true, buffer, size);
}
HRESULT CSettings::GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    return ReadTextA(name, true, buffer, size);
}

HRESULT CSettings::GetBinary(LPCWSTR name, void* buffer, DWORD* size)
{
    return Get(name, storetype::kBinary, buffer, size);
}
HRESULT CSettings::GetBinaryA(LPCSTR name, void* buffer, DWORD* size)
{
    QK_NARROW_NAME(GetBinary(wide.c_str(), buffer, size));
}
HRESULT CSettings::SetBinary(LPCWSTR name, const void* data, DWORD size)
{
    return Set(name, storetype::kBinary, data, size);
}
HRESULT CSettings::SetBinaryA(LPCSTR name, const void* data, DWORD size)
{
    QK_NARROW_NAME(SetBinary(wide.c_str(), data, size));
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
HRESULT CSettings::DeleteValueA(LPCSTR name)
{
    QK_NARROW_NAME(DeleteValue(wide.c_str()));
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

// A text value as a new string object of the common library (its caller releases it).
HRESULT CSettings::ReadTextObject(LPCWSTR name, bool expand, IUnknown** text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    *text = nullptr;
    std::wstring value;
    HRESULT hr = ValueText(name, expand, value);
    if (hr != ResultHr(result::kOk))
        return hr;
    return ResultHr(MakeStringObject(value, text));
}

HRESULT CSettings::GetStringObject(LPCWSTR name, IUnknown** text)
{
    return ReadTextObject(name, false, text);
}
HRESULT CSettings::GetStringObjectA(LPCSTR name, IUnknown** text)
{
    QK_NARROW_NAME(GetStringObject(wide.c_str(), text));
}
HRESULT CSettings::GetExpandedStringObject(LPCWSTR name, IUnknown** text)
{
    return ReadTextObject(name, true, text);
}
HRESULT CSettings::GetExpandedStringObjectA(LPCSTR name, IUnknown** text)
{
    QK_NARROW_NAME(GetExpandedStringObject(wide.c_str(), text));
}

// The object's text as a text value: two bytes per unit, no terminator.
HRESULT CSettings::SetStringObject(LPCWSTR name, IUnknown* text)
{
    std::wstring value;
    DWORD read = ReadStringObject(text, value);
    if (!Succeeded(read))
        return ResultHr(read);
    if (value.size() > 0x3FFFFFFF)
        return ResultHr(result::kInvalidArg);
    return Set(name, storetype::kString, value.data(), static_cast<DWORD>(value.size() * 2));
}
HRESULT CSettings::SetStringObjectA(LPCSTR name, IUnknown* text)
{
    QK_NARROW_NAME(SetStringObject(wide.c_str(), text));
}

// A binary value as a new memory object of the common library holding a copy of its bytes.
HRESULT CSettings::GetBinaryObject(LPCWSTR name, IUnknown** data)
{
    if (data == nullptr)
        return ResultHr(result::kInvalidArg);
    *data = nullptr;
    CountedString n;
    if (!NameOf(name, n))
        return ResultHr(result::kInvalidArg);
    auto guard = Lock();
    const CStoredValue* v = m_values.Find(n);
    if (v == nullptr)
        return ResultHr(result::kNotFound);
    if (v->Type() != storetype::kBinary)
        return ResultHr(result::kTypeMismatch);
    return ResultHr(MakeMemoryObject(v->Data(), v->Size(), data));
}
HRESULT CSettings::GetBinaryObjectA(LPCSTR name, IUnknown** data)
{
    QK_NARROW_NAME(GetBinaryObject(wide.c_str(), data));
}

HRESULT CSettings::SetBinaryObject(LPCWSTR name, IUnknown* data)
{
    Microsoft::WRL::ComPtr<IMemoryObject> memory;
    DWORD queried = QueryMemoryObject(data, memory);
    if (!Succeeded(queried))
        return ResultHr(queried);
    return Set(name, storetype::kBinary, memory->GetData(), memory->GetSize());
}
HRESULT CSettings::SetBinaryObjectA(LPCSTR name, IUnknown* data)
{
    QK_NARROW_NAME(SetBinaryObject(wide.c_str(), data));
}

} // namespace qkSettings
