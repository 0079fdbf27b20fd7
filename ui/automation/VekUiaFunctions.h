#pragma once
// The two UI Automation functions the providers need, bound at run time from
// uiautomationcore.dll (mingw-w64 has no import library for it, and binding late keeps the
// launcher starting where the library is missing). Tests may put their own pair in place.
#include <windows.h>
#include <ole2.h>
#include <uiautomationcore.h>

namespace vek {

struct VekUiaFunctions {
    using ReturnRawElementProviderFn = LRESULT(WINAPI*)(HWND, WPARAM, LPARAM, IRawElementProviderSimple*);
    using HostProviderFromHwndFn = HRESULT(WINAPI*)(HWND, IRawElementProviderSimple**);

    ReturnRawElementProviderFn returnRawElementProvider = nullptr;
    HostProviderFromHwndFn hostProviderFromHwnd = nullptr;
};

// The functions in use: the system's (bound on first use; null members when unavailable), or
// the ones a test set.
VekUiaFunctions GetUiaFunctions();
// Replaces the functions in use; returns the previous ones. An empty record restores the
// system's.
VekUiaFunctions SetUiaFunctions(const VekUiaFunctions& functions);

} // namespace vek
