#pragma once
// The telemetry object that receives pinning reports. It lies outside the HTTP client library and
// is created through the process-wide instance factory; when it is missing, reports are dropped.
#include <windows.h>
#include <unknwn.h>

namespace Jux {

// {26394572-A7A7-4B7C-AEE3-D4887A362675}
inline constexpr GUID CLSID_PinningTelemetry = {
    0x26394572, 0xA7A7, 0x4B7C, {0xAE, 0xE3, 0xD4, 0x88, 0x7A, 0x36, 0x26, 0x75}};
// {A2A781FF-689D-484E-A6D6-636D296F86FA}
inline constexpr GUID IID_IPinningTelemetry = {
    0xA2A781FF, 0x689D, 0x484E, {0xA6, 0xD6, 0x63, 0x6D, 0x29, 0x6F, 0x86, 0xFA}};

// The event id of pinning reports.
inline constexpr DWORD kPinningEventId = 24300;

struct IPinningTelemetry : public IUnknown {
    // One event with count name/value text pairs. The pinning code passes 1 and 0 as the two
    // constant arguments, whose meaning belongs to the telemetry object.
    virtual HRESULT STDMETHODCALLTYPE SubmitEvent(DWORD eventId, DWORD resultCode, DWORD constant1, DWORD constant2,
                                                  DWORD count, const wchar_t* const* names,
                                                  const wchar_t* const* values) = 0;
};

} // namespace Jux
