#pragma once
// One key of an older settings file, served through the settings interface: its values live in
// memory (LegacyKeyValues) until the legacy manager saves the object. The typed slots and
// narrow twins are CSettingsSlots'; this class keeps the key's values (a text with its
// terminator, a deleted value of another type still answering "another type") and has no
// 64-bit values.
#include <mutex>
#include <string>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/legacy/LegacyKeyValues.h"
#include "settings/objects/CSettingsSlots.h"

namespace qkSettings {

// {4C4A0453-62FC-41E9-83DF-3B5168C9F269}: the object behind the interface.
inline constexpr GUID IID_ILegacySettingsAccess = {
    0x4C4A0453, 0x62FC, 0x41E9, {0x83, 0xDF, 0x3B, 0x51, 0x68, 0xC9, 0xF2, 0x69}};

class LegacySettings : public qkTalCountedObject, public CSettingsSlots {
public:
    QK_TAL_UNKNOWN_IMPL()
    explicit LegacySettings(std::wstring path)
        : CSettingsSlots(Rules{.buffersCheckedFirst = false, .textOutMustBeEmpty = true}), m_path(std::move(path))
    {}

    const std::wstring& Path() const { return m_path; }
    std::unique_lock<std::recursive_mutex> Lock() { return LockValues(); }
    LegacyKeyValues& Values() { return m_values; }

    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE EnumValues(IEnumValues** values) override;
    HRESULT STDMETHODCALLTYPE GetInfo(DWORD* longestName, DWORD* largestValue) override;
    HRESULT STDMETHODCALLTYPE DeleteAllValues() override;
    // The older format has no 64-bit values: these slots are not part of its interface.
    HRESULT STDMETHODCALLTYPE GetQword(LPCWSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE GetQwordA(LPCSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE SetQword(LPCWSTR name, ULONGLONG value) override;
    HRESULT STDMETHODCALLTYPE SetQwordA(LPCSTR name, ULONGLONG value) override;

protected:
    void* GetInterface(REFIID iid) override;
    HRESULT PutValue(LPCWSTR name, Kind kind, const void* data, DWORD size) override;
    HRESULT FindValue(LPCWSTR name, Kind kind, const BYTE*& data, DWORD& size) override;

private:
    LegacyKeyValues m_values;
    std::wstring m_path;
};

} // namespace qkSettings
