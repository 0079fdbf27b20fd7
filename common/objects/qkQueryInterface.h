#pragma once
// COM pointer helpers for the library's own objects. QueryInterface into a ComPtr: the
// library's interfaces carry no compiler-known uuid (ComPtr::As cannot find their ids).
#include <windows.h>
#include <unknwn.h>

#include <wrl/client.h>

template <typename T>
HRESULT qkQueryInterface(IUnknown* from, REFIID iid, Microsoft::WRL::ComPtr<T>& to)
{
    if (!from)
        return E_POINTER;
    return from->QueryInterface(iid, reinterpret_cast<void**>(to.ReleaseAndGetAddressOf()));
}

// Takes over a pointer that already carries its reference (a Create result). mingw-w64's
// ComPtr::Attach adds a reference of its own, which would leak the object.
template <typename T, typename U>
void qkAdopt(Microsoft::WRL::ComPtr<T>& to, U* object)
{
    to.Reset();
    *to.GetAddressOf() = object;
}
