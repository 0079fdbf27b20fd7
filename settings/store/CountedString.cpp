#include "settings/store/CountedString.h"

#include <cstring>
#include <cwchar>

namespace qkSettings {

HRESULT MakeCountedString(const wchar_t* text, CountedString& out)
{
    out = CountedString{};
    if (text == nullptr)
        return S_OK;
    size_t units = std::wcslen(text);
    if (units > kMaxCountedUnits)
        return E_INVALIDARG;
    out.length = static_cast<USHORT>(units * 2);
    out.capacity = static_cast<USHORT>(out.length + 2);
    out.text = const_cast<wchar_t*>(text);
    return S_OK;
}

int CompareNames(const CountedString& a, const CountedString& b)
{
    int units = (a.length < b.length ? a.length : b.length) / 2;
    if (units > 0) {
        int cmp = ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.text, units, b.text, units);
        if (cmp != 0 && cmp != CSTR_EQUAL)
            return cmp - CSTR_EQUAL;
    }
    return static_cast<int>(a.length) - static_cast<int>(b.length);
}

bool NamesEqual(const CountedString& a, const CountedString& b)
{
    return a.length == b.length && CompareNames(a, b) == 0;
}

NtStatus AppendCounted(CountedString& target, const CountedString& source)
{
    DWORD sum = static_cast<DWORD>(target.length) + source.length;
    if (sum > target.capacity)
        return status::kBufferTooSmall;
    if (source.length > 0)
        std::memmove(reinterpret_cast<BYTE*>(target.text) + target.length, source.text, source.length);
    target.length = static_cast<USHORT>(sum);
    return status::kSuccess;
}

NtStatus WriteCounted(const CountedString& s, BYTE* target, DWORD room, DWORD* used)
{
    if (target == nullptr)
        return status::kInvalidParameter;
    DWORD need = 2u + s.length;
    if (room < need)
        return status::kBufferTooSmall;
    std::memcpy(target, &s.length, 2);
    if (s.length > 0)
        std::memcpy(target + 2, s.text, s.length);
    if (used != nullptr)
        *used = need;
    return status::kSuccess;
}

NtStatus ReadCounted(const BYTE* source, DWORD room, CountedString& out, DWORD* used)
{
    if (source == nullptr || room < 2)
        return status::kInvalidParameter;
    USHORT length;
    std::memcpy(&length, source, 2);
    if (length > room - 2 || (length & 1) != 0)
        return status::kInvalidParameter;
    out.length = length;
    out.capacity = length;
    out.text = reinterpret_cast<wchar_t*>(const_cast<BYTE*>(source + 2));
    if (used != nullptr)
        *used = 2u + length;
    return status::kSuccess;
}

} // namespace qkSettings
