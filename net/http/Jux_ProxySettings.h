#pragma once
// The settings side of the HTTP client's proxy: the section "Connections\Proxy\HTTP" of the
// settings component's own store (the DLL "qkSet.dll" in the library root), read into the
// client's proxy fields. The client settings file uses the same object creation from a DLL.
#include "settings/ISettingsStore.h"

#include <windows.h>

#include <string>

struct IModuleLifetimeMgr;

namespace Jux {

// The proxy fields that the settings fill (the client keeps the same fields).
struct ProxyFields {
    bool useProxy = false;
    bool skipAutoDetect = false;
    bool disableKeepAlive = false;
    bool autoDetect = false;
    bool autoConfig = false;
    bool manual = false;
    std::wstring autoConfigUrl;
    std::wstring password;
    std::wstring user;
    std::wstring server;
    DWORD port = 80;
    DWORD authenticationType = 0; // 1 = NTLM, any other value = Basic
};

inline constexpr wchar_t kProxySection[] = L"Connections\\Proxy\\HTTP";
inline constexpr wchar_t kSettingsDllName[] = L"qkSet.dll";
// The settings component's manager of the proxy store and the interface asked of it.
inline constexpr GUID CLSID_ProxySettingsMgr = {
    0x4F3E0BE1, 0x5FE1, 0x4C22, {0x85, 0x9B, 0xA6, 0xFB, 0x75, 0x86, 0xB8, 0x28}};
inline constexpr GUID IID_ProxySettingsMgr = {
    0xAAB487C2, 0x7199, 0x4D92, {0xB6, 0xDC, 0xC5, 0x7A, 0x44, 0x54, 0xFA, 0xDB}};
// The reader interface asked of a section object.
inline constexpr GUID IID_ProxySectionReader = {
    0xAAD2C5FE, 0x1678, 0x4A71, {0x93, 0xB1, 0x4A, 0x92, 0x44, 0x11, 0xD7, 0x6A}};

// The process-wide module lifetime manager of the HTTP client library, made on first use (null
// when out of memory). Borrowed: the library keeps its reference.
IModuleLifetimeMgr* GetClientModuleLifetimeManager();

// Object classId from the DLL at path through the owner (DLL verified at trust level, flags 3).
// Library result codes: 0x80010203 for a null path or out pointer. What *object held is released.
HRESULT CreateObjectFromModule(const wchar_t* path, REFGUID classId, REFIID iid, IModuleLifetimeMgr* owner,
                               void** object);

// The settings component's manager: "<library root>\qkSet.dll". 0x80010300 when the root cannot
// be read, 0x80010303 when the path is too long, else CreateObjectFromModule's result.
HRESULT OpenProxySettingsStore(IModuleLifetimeMgr* owner, qkSettings::ISettingsMgr** manager);

// The source of the proxy store's manager; tests and other programs may put another in place.
// Returns a library result code; the default is OpenProxySettingsStore.
using ProxyStoreOpener = HRESULT (*)(IModuleLifetimeMgr* owner, qkSettings::ISettingsMgr** manager);
void SetProxyStoreOpener(ProxyStoreOpener opener);

// The whole settings load: S_OK and fields untouched when no manager can be made; E_FAIL when
// the section cannot be opened; else ReadProxySection's result.
HRESULT ReadProxySettings(ProxyFields& fields);
// Resets the fields (authentication type and the two skip/disable flags stay) and reads the
// section's values into them.
HRESULT ReadProxySection(IUnknown* section, ProxyFields& fields);

} // namespace Jux
