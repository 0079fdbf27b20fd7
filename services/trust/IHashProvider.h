#pragma once
// The interface of the external hash provider's object, as the trust object calls it. The
// provider answers with property objects: its property "qkHashProvider" is the record of the file
// whose handle is given (of the provider itself without one), and a record's value "vtresult" is
// its bit set (type 1: an unsigned 32-bit number).
#include <windows.h>
#include <unknwn.h>

// {7D583EDC-2726-42B9-B064-6BBC25E5B79C}: the provider object in "RavelCli.dll".
inline constexpr GUID CLSID_HashProvider = {
    0x7D583EDC, 0x2726, 0x42B9, {0xB0, 0x64, 0x6B, 0xBC, 0x25, 0xE5, 0xB7, 0x9C}};
// {1AC5683D-0733-460C-8F56-96ADD58CCCAA}
inline constexpr GUID IID_IHashProvider = {
    0x1AC5683D, 0x0733, 0x460C, {0x8F, 0x56, 0x96, 0xAD, 0xD5, 0x8C, 0xCC, 0xAA}};

struct IHashProvider : public IUnknown {
    // The property object of the given name, about the open file (null: about the provider itself).
    virtual HRESULT STDMETHODCALLTYPE GetProperty(const wchar_t* name, HANDLE file, IHashProvider** property) = 0;
    // A value of this object: its type (1: unsigned 32-bit number) and the value.
    virtual HRESULT STDMETHODCALLTYPE GetValue(const wchar_t* name, DWORD* type, DWORD* value) = 0;
};

// The value type of "vtresult".
inline constexpr DWORD kHashProviderNumber = 1;
