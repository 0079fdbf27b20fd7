#pragma once
// The settings DLL "qkSet.dll" as the object repository uses it: a settings manager created for
// object id {4F3E0BE1-...}, its sections (ISettings) and the enumeration of a section's
// subsections. Only the slots up to the last one the repository calls are declared.
#include <windows.h>
#include <unknwn.h>

namespace qkSettings {

// {4F3E0BE1-5FE1-4C22-859B-A6FB7586B828}
inline constexpr GUID CLSID_SettingsMgr = {
    0x4F3E0BE1, 0x5FE1, 0x4C22, {0x85, 0x9B, 0xA6, 0xFB, 0x75, 0x86, 0xB8, 0x28}};
// {B0A55002-DA4A-473B-AEBB-09795F618EDF}
inline constexpr GUID IID_ISettingsMgr = {0xB0A55002, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}};
// {B0A55003-DA4A-473B-AEBB-09795F618EDF}
inline constexpr GUID IID_ISettings = {0xB0A55003, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}};

// One section of the store. A negative result is a failure.
struct ISettings : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDword(LPCWSTR name, DWORD* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDwordA(LPCSTR name, DWORD* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDword(LPCWSTR name, DWORD value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDwordA(LPCSTR name, DWORD value) = 0;
    // size: in characters, in and out.
    virtual HRESULT STDMETHODCALLTYPE GetString(LPCWSTR name, LPWSTR buffer, DWORD* size) = 0;
};

// The names listed under a section path.
struct IEnumSettings : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) = 0;
    // size: in characters, in and out.
    virtual HRESULT STDMETHODCALLTYPE GetName(DWORD index, LPWSTR buffer, DWORD* size) = 0;
};

struct ISettingsMgr : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSettingsA(LPCSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSettings(LPCWSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSettingsA(LPCSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumSettings(LPCWSTR path, IEnumSettings** names) = 0;
};

} // namespace qkSettings
