#pragma once
// One key of an older settings file, served through the settings interface: its values live in
// memory (LegacyKeyValues) until the legacy manager saves the object. It has no 64-bit values.
#include <mutex>
#include <string>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/legacy/LegacyKeyValues.h"

namespace qkSettings {

// {4C4A0453-62FC-41E9-83DF-3B5168C9F269}: the object behind the interface.
inline constexpr GUID IID_ILegacySettingsAccess = {
    0x4C4A0453, 0x62FC, 0x41E9, {0x83, 0xDF, 0x3B, 0x51, 0x68, 0xC9, 0xF2, 0x69}};

class LegacySettings : public qkTalCountedObject, public ISettings {
public:
    QK_TAL_UNKNOWN_IMPL()
    explicit LegacySettings(std::wstring path) : m_path(std::move(path)) {}

    const std::wstring& Path() const { return m_path; }
    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(m_lock); }
    LegacyKeyValues& Values() { return m_values; }

    HRESULT STDMETHODCALLTYPE GetDword(LPCWSTR name, DWORD* value) override;
    HRESULT STDMETHODCALLTYPE GetDwordA(LPCSTR name, DWORD* value) override;
    HRESULT STDMETHODCALLTYPE SetDword(LPCWSTR name, DWORD value) override;
    HRESULT STDMETHODCALLTYPE SetDwordA(LPCSTR name, DWORD value) override;
    HRESULT STDMETHODCALLTYPE GetString(LPCWSTR name, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetStringA(LPCSTR name, LPSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE SetString(LPCWSTR name, LPCWSTR text) override;
    HRESULT STDMETHODCALLTYPE SetStringA(LPCSTR name, LPCSTR text) override;
    HRESULT STDMETHODCALLTYPE GetBinary(LPCWSTR name, void* buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetBinaryA(LPCSTR name, void* buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE SetBinary(LPCWSTR name, const void* data, DWORD size) override;
    HRESULT STDMETHODCALLTYPE SetBinaryA(LPCSTR name, const void* data, DWORD size) override;
    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE DeleteValueA(LPCSTR name) override;
    HRESULT STDMETHODCALLTYPE EnumValues(IEnumValues** values) override;
    HRESULT STDMETHODCALLTYPE GetInfo(DWORD* longestName, DWORD* largestValue) override;
    HRESULT STDMETHODCALLTYPE GetStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE SetStringObject(LPCWSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE SetStringObjectA(LPCSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObject(LPCWSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObjectA(LPCSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObject(LPCWSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObjectA(LPCSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE DeleteAllValues() override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size) override;
    // The older format has no 64-bit values.
    HRESULT STDMETHODCALLTYPE GetQword(LPCWSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE GetQwordA(LPCSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE SetQword(LPCWSTR name, ULONGLONG value) override;
    HRESULT STDMETHODCALLTYPE SetQwordA(LPCSTR name, ULONGLONG value) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    HRESULT Read(LPCWSTR name, DWORD type, const LegacyKeyValues::Value** value);
    HRESULT Text(LPCWSTR name, bool expand, std::wstring& text);
    HRESULT TextObject(LPCWSTR name, bool expand, IUnknown** text);
    HRESULT CopyText(const std::wstring& text, LPWSTR buffer, DWORD* size);
    HRESULT CopyTextA(const std::wstring& text, LPSTR buffer, DWORD* size);

    std::recursive_mutex m_lock;
    LegacyKeyValues m_values;
    std::wstring m_path;
};

} // namespace qkSettings
