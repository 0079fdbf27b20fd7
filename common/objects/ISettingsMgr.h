#pragma once
// The settings store's interfaces, slot by slot in the order callers rely on: the settings DLL
// "qkSet.dll" implements them, and the object repository and the HTTP client use its manager
// (created for object id {4F3E0BE1-...}), its sections and its name lists through them.
// Results are the store's result codes (0x10000 success; negative values are failures). Every
// named call has a narrow twin right after it that converts names and texts from the ANSI code
// page.
#include <windows.h>
#include <unknwn.h>

namespace qkSettings {

// {4F3E0BE1-5FE1-4C22-859B-A6FB7586B828}: the settings DLL's manager.
inline constexpr GUID CLSID_SettingsMgr = {
    0x4F3E0BE1, 0x5FE1, 0x4C22, {0x85, 0x9B, 0xA6, 0xFB, 0x75, 0x86, 0xB8, 0x28}};

// {B0A55002-DA4A-473B-AEBB-09795F618EDF}, aliases {99621AFD-5473-4D40-9E7A-E26718868901} and null.
inline constexpr GUID IID_ISettingsMgr = {0xB0A55002, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}};
inline constexpr GUID IID_ISettingsMgrAlias = {
    0x99621AFD, 0x5473, 0x4D40, {0x9E, 0x7A, 0xE2, 0x67, 0x18, 0x86, 0x89, 0x01}};
inline constexpr GUID IID_ISettingsTransaction = {
    0xE663123E, 0xB9C8, 0x4413, {0x87, 0x1A, 0x57, 0x17, 0x54, 0x66, 0x48, 0x63}};
inline constexpr GUID IID_ISettingsStoreAccess = {
    0xF3CC9FD5, 0xF9E0, 0x4AFA, {0xB5, 0xA1, 0xF2, 0x0C, 0xBD, 0x70, 0xBE, 0xD3}};
inline constexpr GUID IID_ISettings = {0xB0A55003, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}};
inline constexpr GUID IID_ISettingsAliases[] = {
    {0xAAD2C5FE, 0x1678, 0x4A71, {0x93, 0xB1, 0x4A, 0x92, 0x44, 0x11, 0xD7, 0x6A}},
    {0x95FC3B98, 0x0BFB, 0x45EA, {0xA1, 0xCF, 0x6E, 0x6B, 0xE1, 0x44, 0x4F, 0x20}},
    {0x75FC3B98, 0x0BFB, 0x45EA, {0xA1, 0xCF, 0x6E, 0x6B, 0xE1, 0x44, 0x4F, 0x20}},
    {0x98563D74, 0x9E49, 0x4F7E, {0x9E, 0x07, 0xFA, 0x0E, 0x41, 0xF6, 0xCC, 0x38}},
};
// The settings object's internal interface.
inline constexpr GUID IID_ISettingsInternal = {
    0x3464B197, 0x69BB, 0x4F85, {0x9F, 0xCD, 0x4E, 0x11, 0xAB, 0x20, 0xF7, 0xEB}};
inline constexpr GUID IID_ISettingsBatch = {
    0x1052B83C, 0xDAEB, 0x4DAC, {0xBA, 0x00, 0x1B, 0xDC, 0x8B, 0x3D, 0x48, 0x98}};
inline constexpr GUID IID_IEnumSettingsNames[] = {
    {0xB0A55501, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}},
    {0xB0A54350, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}},
    {0x1009D874, 0x87D9, 0x4621, {0xBB, 0x2D, 0xE2, 0xBE, 0x1D, 0x7E, 0x05, 0x04}},
    {0xCD139B7F, 0x8252, 0x44C2, {0x8E, 0x1A, 0x0E, 0x69, 0x16, 0xBF, 0x75, 0x9D}},
};
inline constexpr GUID IID_IEnumValues = {0xB0A55500, 0xDA4A, 0x473B, {0xAE, 0xBB, 0x09, 0x79, 0x5F, 0x61, 0x8E, 0xDF}};
inline constexpr GUID IID_IEnumValuesAlias = {
    0xC1889E85, 0xA8AD, 0x43C0, {0xB5, 0xBD, 0xF1, 0xB9, 0x17, 0x06, 0x95, 0xE1}};

// Names listed under a section path.
struct IEnumSettings : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) = 0;
    // size in characters, terminator included, in and out.
    virtual HRESULT STDMETHODCALLTYPE GetName(DWORD index, LPWSTR buffer, DWORD* size) = 0;
    // size in bytes of the narrow text, terminator included.
    virtual HRESULT STDMETHODCALLTYPE GetNameA(DWORD index, LPSTR buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNameObject(DWORD index, IUnknown** text) = 0;
};

// Value names of a section with their public types (0 text, 1 u32, 2 binary, 3 u64).
struct IEnumValues : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetName(DWORD index, LPWSTR buffer, DWORD* size, DWORD* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNameA(DWORD index, LPSTR buffer, DWORD* size, DWORD* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNameObject(DWORD index, IUnknown** text, DWORD* type) = 0;
};

// One section of the store: typed named values, changed in the object until PutSettings.
struct ISettings : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDword(LPCWSTR name, DWORD* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDwordA(LPCSTR name, DWORD* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDword(LPCWSTR name, DWORD value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDwordA(LPCSTR name, DWORD value) = 0;
    // size in units with room for a terminator, in and out.
    virtual HRESULT STDMETHODCALLTYPE GetString(LPCWSTR name, LPWSTR buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStringA(LPCSTR name, LPSTR buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetString(LPCWSTR name, LPCWSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStringA(LPCSTR name, LPCSTR text) = 0;
    // size in bytes, in and out.
    virtual HRESULT STDMETHODCALLTYPE GetBinary(LPCWSTR name, void* buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBinaryA(LPCSTR name, void* buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBinary(LPCWSTR name, const void* data, DWORD size) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBinaryA(LPCSTR name, const void* data, DWORD size) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteValueA(LPCSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumValues(IEnumValues** values) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInfo(DWORD* longestName, DWORD* largestValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStringObject(LPCWSTR name, IUnknown** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStringObjectA(LPCSTR name, IUnknown** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStringObject(LPCWSTR name, IUnknown* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStringObjectA(LPCSTR name, IUnknown* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBinaryObject(LPCWSTR name, IUnknown** data) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBinaryObjectA(LPCSTR name, IUnknown** data) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBinaryObject(LPCWSTR name, IUnknown* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBinaryObjectA(LPCSTR name, IUnknown* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteAllValues() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExpandedStringObject(LPCWSTR name, IUnknown** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExpandedStringObjectA(LPCSTR name, IUnknown** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetQword(LPCWSTR name, ULONGLONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetQwordA(LPCSTR name, ULONGLONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetQword(LPCWSTR name, ULONGLONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetQwordA(LPCSTR name, ULONGLONG value) = 0;
};

// Optional cipher a caller may hand to Open: slots 3-5 are block size, encipher, decipher.
struct ISettingsCipher : public IUnknown {
    virtual DWORD STDMETHODCALLTYPE GetBlockSize() = 0;
    virtual BOOL STDMETHODCALLTYPE Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize) = 0;
    virtual BOOL STDMETHODCALLTYPE Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize) = 0;
};

// Flags of Open.
namespace openflag {
constexpr DWORD kCreate = 0x2;    // create the file when it does not exist
constexpr DWORD kCreateNew = 0x4; // create a new file, replacing an existing one
constexpr DWORD kReadOnly = 0x8;
constexpr DWORD kPreferLegacy = 0x10; // the older format for a new file
} // namespace openflag

struct ISettingsMgr : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSettingsA(LPCSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSettings(LPCWSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSettingsA(LPCSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumSettings(LPCWSTR path, IEnumSettings** names) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumSettingsA(LPCSTR path, IEnumSettings** names) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSettingsA(LPCSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct ISettingsTransaction : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE BeginTransaction() = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitTransaction() = 0;
    virtual HRESULT STDMETHODCALLTYPE RollbackTransaction() = 0;
};

struct ISettingsBatch : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings, DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path, DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
    virtual HRESULT STDMETHODCALLTYPE Discard() = 0;
};

struct ISettingsStoreAccess : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateSettingsBatch(ISettingsBatch** batch) = 0;
};

} // namespace qkSettings
