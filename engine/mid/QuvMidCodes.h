#pragma once
// Result codes of the machine-identifier library (stamp file, INI document, adapter list).
#include <windows.h>

constexpr HRESULT QUV_S_OOBE_IN_PROGRESS = 0x00047BFC; // success without an identifier
constexpr HRESULT QUV_E_REGISTRY_DIFFERS = static_cast<HRESULT>(0x80047600);
constexpr HRESULT QUV_E_NO_APPDATA = static_cast<HRESULT>(0x80047621);
constexpr HRESULT QUV_E_NO_SILO = static_cast<HRESULT>(0x80047726);
constexpr HRESULT QUV_E_VENDOR_FOLDER = static_cast<HRESULT>(0x8004773A);
constexpr HRESULT QUV_E_UNMAPPED = static_cast<HRESULT>(0x80047900);
constexpr HRESULT QUV_E_REG_NOT_FOUND = static_cast<HRESULT>(0x80047906);
constexpr HRESULT QUV_E_REG_ACCESS_DENIED = static_cast<HRESULT>(0x80047907);
constexpr HRESULT QUV_E_REG_MORE_DATA = static_cast<HRESULT>(0x80047909);
constexpr HRESULT QUV_E_REG_STRING_TYPE = static_cast<HRESULT>(0x8004790A);
constexpr HRESULT QUV_E_REG_ODD_SIZE = static_cast<HRESULT>(0x8004790B);
constexpr HRESULT QUV_E_REG_SIZE_OVERFLOW = static_cast<HRESULT>(0x8004790C);
constexpr HRESULT QUV_E_REG_MID_TYPE = static_cast<HRESULT>(0x8004790D);
constexpr HRESULT QUV_E_INI_TOO_LARGE = static_cast<HRESULT>(0x8004790F);
constexpr HRESULT QUV_E_INI_READ_OVERRUN = static_cast<HRESULT>(0x80047910);
constexpr HRESULT QUV_E_INI_UNSUPPORTED_ENCODING = static_cast<HRESULT>(0x80047911);
constexpr HRESULT QUV_E_INI_BOM_SHORT = static_cast<HRESULT>(0x80047912);
constexpr HRESULT QUV_E_INI_UTF16_SHORT = static_cast<HRESULT>(0x80047913);
constexpr HRESULT QUV_E_INI_ANSI_SHORT = static_cast<HRESULT>(0x80047914);
constexpr HRESULT QUV_E_INI_LINE_OVERFLOW = static_cast<HRESULT>(0x80047915);
constexpr HRESULT QUV_E_ADAPTER_SIZE_OVERFLOW = static_cast<HRESULT>(0x80047BB2);
constexpr HRESULT QUV_E_ADAPTER_ADDRESS_LENGTH = static_cast<HRESULT>(0x80047BB3);
constexpr HRESULT QUV_E_ADAPTER_BAD_LINK = static_cast<HRESULT>(0x80047BB4);
constexpr HRESULT QUV_E_STAMP_IS_FOLDER = static_cast<HRESULT>(0x80047BF9);

// A Win32 error as an HRESULT; an error that does not map to a failure gives QUV_E_UNMAPPED.
inline HRESULT QuvHResultFromWin32(DWORD error)
{
    const HRESULT hr = HRESULT_FROM_WIN32(error);
    return FAILED(hr) ? hr : QUV_E_UNMAPPED;
}
