#pragma once
// The common library's own result codes. A result is a failure when it is negative.
#include <windows.h>

constexpr HRESULT QK_S_OK = static_cast<HRESULT>(0x00010000UL);           // success
constexpr HRESULT QK_S_FALSE = static_cast<HRESULT>(0x00010001UL);        // success, nothing done
constexpr HRESULT QK_E_NOINTERFACE = static_cast<HRESULT>(0x80010200UL);  // interface id not answered
constexpr HRESULT QK_E_OUTOFMEMORY = static_cast<HRESULT>(0x80010201UL);  // out of memory
constexpr HRESULT QK_E_NOTIMPL = static_cast<HRESULT>(0x80010202UL);      // not supported
constexpr HRESULT QK_E_INVALIDARG = static_cast<HRESULT>(0x80010203UL);   // bad argument or missing entry
constexpr HRESULT QK_E_ACCESSDENIED = static_cast<HRESULT>(0x80010204UL); // access denied
constexpr HRESULT QK_E_LOADFAILED = static_cast<HRESULT>(0x80010300UL);   // file or DLL not found / not loadable
constexpr HRESULT QK_E_NOENTRYPOINT = static_cast<HRESULT>(0x80010302UL); // a required DLL export is missing
constexpr HRESULT QK_E_UNTRUSTED = static_cast<HRESULT>(0x80010303UL);    // DLL file failed the trust check
constexpr HRESULT QK_E_FAIL = static_cast<HRESULT>(0x8001FFFFUL);         // general failure

inline bool QkSucceeded(HRESULT hr)
{
    return hr >= 0;
}
inline bool QkFailed(HRESULT hr)
{
    return hr < 0;
}
