#include "settings/objects/CSettingsSlots.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "common/system/qkPathExpansion.h"
#include "settings/objects/qkSettingsLibraryObjects.h"
#include "settings/store/qkSettingsResult.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

// The longest text a value holds, in units: its byte size must stay far inside 32 bits.
constexpr size_t kMaxTextUnits = 0x3FFFFFFF;

} // namespace

std::unique_lock<std::recursive_mutex> CSettingsSlots::LockValues()
{
    return std::unique_lock<std::recursive_mutex>(m_lock);
}

// A number of a fixed size; another size can only come from a damaged file.
HRESULT CSettingsSlots::ReadNumber(LPCWSTR name, Kind kind, void* value, DWORD size)
{
    if (value == nullptr)
        return ResultHr(result::kInvalidArg);
    auto guard = LockValues();
    const BYTE* data = nullptr;
    DWORD stored = 0;
    HRESULT hr = FindValue(name, kind, data, stored);
    if (FAILED(hr))
        return hr;
    if (stored != size)
        return ResultHr(result::kCorrupt);
    std::memcpy(value, data, size);
    return ResultHr(result::kOk);
}

HRESULT CSettingsSlots::GetDword(LPCWSTR name, DWORD* value)
{
    return ReadNumber(name, Kind::Dword, value, sizeof(*value));
}

HRESULT CSettingsSlots::GetQword(LPCWSTR name, ULONGLONG* value)
{
    return ReadNumber(name, Kind::Qword, value, sizeof(*value));
}

HRESULT CSettingsSlots::SetDword(LPCWSTR name, DWORD value)
{
    auto guard = LockValues();
    return PutValue(name, Kind::Dword, &value, sizeof(value));
}

HRESULT CSettingsSlots::SetQword(LPCWSTR name, ULONGLONG value)
{
    auto guard = LockValues();
    return PutValue(name, Kind::Qword, &value, sizeof(value));
}

HRESULT CSettingsSlots::SetBinary(LPCWSTR name, const void* data, DWORD size)
{
    auto guard = LockValues();
    return PutValue(name, Kind::Binary, data, size);
}

HRESULT CSettingsSlots::PutText(LPCWSTR name, const wchar_t* text, size_t units)
{
    if (units > kMaxTextUnits)
        return ResultHr(result::kInvalidArg);
    auto guard = LockValues();
    return PutValue(name, Kind::Text, text, static_cast<DWORD>(units * sizeof(wchar_t)));
}

HRESULT CSettingsSlots::SetString(LPCWSTR name, LPCWSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    return PutText(name, text, std::wcslen(text));
}

// The object's whole text, as SetString stores a text.
HRESULT CSettingsSlots::SetStringObject(LPCWSTR name, IUnknown* text)
{
    std::wstring value;
    DWORD read = ReadStringObject(text, value);
    if (!Succeeded(read))
        return ResultHr(read);
    return PutText(name, value.c_str(), value.size());
}

HRESULT CSettingsSlots::SetBinaryObject(LPCWSTR name, IUnknown* data)
{
    Microsoft::WRL::ComPtr<IMemoryObject> memory;
    DWORD queried = QueryMemoryObject(data, memory);
    if (!Succeeded(queried))
        return ResultHr(queried);
    return SetBinary(name, memory->GetData(), memory->GetSize());
}

HRESULT CSettingsSlots::GetBinary(LPCWSTR name, void* buffer, DWORD* size)
{
    if (m_rules.buffersCheckedFirst && BadBufferArgs(buffer, size))
        return ResultHr(result::kInvalidArg);
    auto guard = LockValues();
    const BYTE* data = nullptr;
    DWORD stored = 0;
    HRESULT hr = FindValue(name, Kind::Binary, data, stored);
    if (hr == ResultHr(result::kNotFound) && size != nullptr)
        *size = 0;
    if (FAILED(hr))
        return hr;
    return ResultHr(CopyBytesOut(data, stored, buffer, size));
}

// A binary value as a new memory object of the common library holding a copy of its bytes.
HRESULT CSettingsSlots::GetBinaryObject(LPCWSTR name, IUnknown** data)
{
    if (data == nullptr)
        return ResultHr(result::kInvalidArg);
    *data = nullptr;
    auto guard = LockValues();
    const BYTE* bytes = nullptr;
    DWORD stored = 0;
    HRESULT hr = FindValue(name, Kind::Binary, bytes, stored);
    if (FAILED(hr))
        return hr;
    return ResultHr(MakeMemoryObject(bytes, stored, data));
}

// A text value, with the library's path tokens expanded when asked (outside the lock: the
// text is a copy by then).
HRESULT CSettingsSlots::ReadText(LPCWSTR name, bool expand, std::wstring& text)
{
    {
        auto guard = LockValues();
        const BYTE* data = nullptr;
        DWORD stored = 0;
        HRESULT hr = FindValue(name, Kind::Text, data, stored);
        if (FAILED(hr))
            return hr;
        try {
            text.assign(reinterpret_cast<const wchar_t*>(data), stored / sizeof(wchar_t));
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

HRESULT CSettingsSlots::ReadTextInto(LPCWSTR name, bool expand, LPWSTR buffer, DWORD* size)
{
    if (m_rules.buffersCheckedFirst && BadBufferArgs(buffer, size))
        return ResultHr(result::kInvalidArg);
    std::wstring text;
    HRESULT hr = ReadText(name, expand, text);
    if (hr == ResultHr(result::kNotFound) && size != nullptr)
        *size = 0;
    if (FAILED(hr))
        return hr;
    return ResultHr(CopyTextOut(text, buffer, size));
}

// The narrow text reads read the value first, then measure its narrow form against the
// caller's buffer.
HRESULT CSettingsSlots::ReadTextIntoA(LPCSTR name, bool expand, LPSTR buffer, DWORD* size)
{
    return WithWideName(name, [&](LPCWSTR wide) {
        std::wstring text;
        HRESULT hr = ReadText(wide, expand, text);
        return FAILED(hr) ? hr : ResultHr(CopyNarrowTextOut(text, buffer, size));
    });
}

HRESULT CSettingsSlots::ReadTextObject(LPCWSTR name, bool expand, IUnknown** text)
{
    if (text == nullptr || (m_rules.textOutMustBeEmpty && *text != nullptr))
        return ResultHr(result::kInvalidArg);
    *text = nullptr;
    std::wstring value;
    HRESULT hr = ReadText(name, expand, value);
    if (FAILED(hr))
        return hr;
    return ResultHr(MakeStringObject(value, text));
}

HRESULT CSettingsSlots::GetString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    return ReadTextInto(name, false, buffer, size);
}
HRESULT CSettingsSlots::GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size)
{
    return ReadTextInto(name, true, buffer, size);
}
HRESULT CSettingsSlots::GetStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    return ReadTextIntoA(name, false, buffer, size);
}
HRESULT CSettingsSlots::GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size)
{
    return ReadTextIntoA(name, true, buffer, size);
}
HRESULT CSettingsSlots::GetStringObject(LPCWSTR name, IUnknown** text)
{
    return ReadTextObject(name, false, text);
}
HRESULT CSettingsSlots::GetExpandedStringObject(LPCWSTR name, IUnknown** text)
{
    return ReadTextObject(name, true, text);
}

// Narrow twins: the name (and a written text) from the ANSI code page, then the wide slot.
HRESULT CSettingsSlots::GetDwordA(LPCSTR name, DWORD* value)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetDword(wide, value); });
}
HRESULT CSettingsSlots::SetDwordA(LPCSTR name, DWORD value)
{
    return WithWideName(name, [&](LPCWSTR wide) { return SetDword(wide, value); });
}
HRESULT CSettingsSlots::GetQwordA(LPCSTR name, ULONGLONG* value)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetQword(wide, value); });
}
HRESULT CSettingsSlots::SetQwordA(LPCSTR name, ULONGLONG value)
{
    return WithWideName(name, [&](LPCWSTR wide) { return SetQword(wide, value); });
}
HRESULT CSettingsSlots::SetStringA(LPCSTR name, LPCSTR text)
{
    if (text == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring wideText;
    DWORD converted = ToWide(text, wideText);
    if (!Succeeded(converted))
        return ResultHr(converted);
    return WithWideName(name, [&](LPCWSTR wide) { return SetString(wide, wideText.c_str()); });
}
HRESULT CSettingsSlots::GetBinaryA(LPCSTR name, void* buffer, DWORD* size)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetBinary(wide, buffer, size); });
}
HRESULT CSettingsSlots::SetBinaryA(LPCSTR name, const void* data, DWORD size)
{
    return WithWideName(name, [&](LPCWSTR wide) { return SetBinary(wide, data, size); });
}
HRESULT CSettingsSlots::DeleteValueA(LPCSTR name)
{
    return WithWideName(name, [&](LPCWSTR wide) { return DeleteValue(wide); });
}
HRESULT CSettingsSlots::GetStringObjectA(LPCSTR name, IUnknown** text)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetStringObject(wide, text); });
}
HRESULT CSettingsSlots::SetStringObjectA(LPCSTR name, IUnknown* text)
{
    return WithWideName(name, [&](LPCWSTR wide) { return SetStringObject(wide, text); });
}
HRESULT CSettingsSlots::GetBinaryObjectA(LPCSTR name, IUnknown** data)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetBinaryObject(wide, data); });
}
HRESULT CSettingsSlots::SetBinaryObjectA(LPCSTR name, IUnknown* data)
{
    return WithWideName(name, [&](LPCWSTR wide) { return SetBinaryObject(wide, data); });
}
HRESULT CSettingsSlots::GetExpandedStringObjectA(LPCSTR name, IUnknown** text)
{
    return WithWideName(name, [&](LPCWSTR wide) { return GetExpandedStringObject(wide, text); });
}

} // namespace qkSettings
