#pragma once
// The counted UTF-16 string that every name and path of the store travels in: byte length
// (even, no terminator), byte capacity, pointer to the units. Its wire form inside records is
// a u16 byte length followed by the bytes.
#include <windows.h>

#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

struct CountedString {
    USHORT length = 0;   // bytes, without terminator
    USHORT capacity = 0; // bytes
    wchar_t* text = nullptr;

    USHORT Units() const { return static_cast<USHORT>(length / 2); }
};

// Longest text a counted string can hold, in units.
constexpr DWORD kMaxCountedUnits = 32767;

// length = units * 2, capacity = length + 2; null gives the empty string. A text longer than
// 32,767 units gives E_INVALIDARG.
HRESULT MakeCountedString(const wchar_t* text, CountedString& out);

// Case-insensitive comparison in the system locale: 0 equal, negative less, positive greater;
// names equal over the shorter length compare by their length difference in bytes.
int CompareNames(const CountedString& a, const CountedString& b);
// Name lookups require equal lengths, then a zero comparison.
bool NamesEqual(const CountedString& a, const CountedString& b);

// Appends in place: kBufferTooSmall when the target's capacity is below the sum of both lengths.
NtStatus AppendCounted(CountedString& target, const CountedString& source);

// Wire form: writes 2 + length bytes into room; *used gets the bytes written.
NtStatus WriteCounted(const CountedString& s, BYTE* target, DWORD room, DWORD* used);
// Parses the wire form; the string points into the source bytes.
NtStatus ReadCounted(const BYTE* source, DWORD room, CountedString& out, DWORD* used);

} // namespace qkSettings
