#pragma once
// The one way into the HTTP client's settings file "%DATADIR%\http\client.dat". A helper lives
// for one operation: open the file, make sections current, read or write values, and at its end
// write the changed sections back and close the store. Results are HRESULTs mapped from the
// store's result codes; the last store code stays readable for traces and tests.
#include "common/objects/qkTalObjectLoader.h"
#include "settings/ISettingsStore.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Jux {

// The file below the data folder token; the path expansion supplies the folder.
inline constexpr wchar_t kClientSettingsPath[] = L"%DATADIR%\\http\\client.dat";

class CSettingsHelper {
public:
    CSettingsHelper() = default;
    ~CSettingsHelper();
    CSettingsHelper(const CSettingsHelper&) = delete;
    CSettingsHelper& operator=(const CSettingsHelper&) = delete;

    // Closes what is open, then opens the client settings file. writable = false opens it
    // read-only; a caller that must persist values (the report limiter) opens it writable.
    // 0x800700A1 when the path cannot be expanded, 0x800705B4 when the store will not open it,
    // else the failure of the last source of settings managers.
    HRESULT OpenClientSettings(bool writable = false);
    // Makes the section current. Without create a missing section is a failure (0x80070490).
    HRESULT OpenSection(const wchar_t* path, bool create);

    HRESULT GetDword(const wchar_t* name, DWORD& value);
    HRESULT GetQword(const wchar_t* name, std::uint64_t& value);
    HRESULT GetString(const wchar_t* name, std::wstring& text);
    HRESULT EnumValueNames(std::vector<std::wstring>& names);
    HRESULT SetDword(const wchar_t* name, DWORD value);
    HRESULT SetQword(const wchar_t* name, std::uint64_t value);

    // Asks the manager to close the store and lets go of it.
    HRESULT Close();

    // The store's code of the last operation (0x00010000 = success).
    std::uint32_t LastResult() const { return m_lastResult; }

private:
    struct SectionEntry {
        Microsoft::WRL::ComPtr<qkSettings::ISettings> settings;
        bool marked = false;  // to be written back
        bool deleted = false; // written back as a deletion
    };

    HRESULT CreateManager(Microsoft::WRL::ComPtr<qkSettings::ISettingsMgr>& manager);
    HRESULT Store(HRESULT storeCode);
    void MarkForWriteBack();
    void WriteBack();

    qkTalObjectLoader m_loader;
    Microsoft::WRL::ComPtr<qkSettings::ISettingsMgr> m_manager;
    Microsoft::WRL::ComPtr<qkSettings::ISettingsStoreAccess> m_storeAccess;
    Microsoft::WRL::ComPtr<qkSettings::ISettings> m_current;
    // Sections opened so far, by path as given (the store compares paths without regard to case).
    std::map<std::wstring, SectionEntry> m_sections;
    std::wstring m_currentPath;
    std::uint32_t m_lastResult = 0x00010000;
};

} // namespace Jux
