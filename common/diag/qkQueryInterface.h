#pragma once
// QueryInterface into a ComPtr for the library's own interfaces, which carry no compiler-known
// uuid (ComPtr::As cannot find their ids).
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
