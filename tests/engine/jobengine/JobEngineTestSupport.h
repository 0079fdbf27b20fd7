#pragma once
// Helpers of the job-engine tests: a reporter that records what the engine reports instead of
// sending it, the registry values of a test manifest (HKCU, under the launcher's own base key and
// a manifest id of the test's own), and a temporary folder.
#include "common/system/qkRegistry.h"
#include "engine/report/VekDataReporter.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace jobenginetest {

using json = nlohmann::json;

// Records events (with the "send" flag) and error codes; sends nothing.
class RecordingReporter : public vek::VekDataReporter {
public:
    RecordingReporter() : vek::VekDataReporter(nullptr) {}

    HRESULT logEvent(int event, const json&, bool send) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.emplace_back(event, send);
        return S_OK;
    }
    HRESULT logError(HRESULT code, bool, json& record) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_errors.push_back(code);
        m_extras.push_back(record.is_object() && record.contains("extra_data") ? record["extra_data"].dump() : "");
        return S_OK;
    }

    std::vector<std::pair<int, bool>> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    std::vector<HRESULT> Errors() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_errors;
    }
    std::vector<std::string> Extras() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_extras;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<int, bool>> m_events;
    std::vector<HRESULT> m_errors;
    std::vector<std::string> m_extras;
};

inline std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The manifest key of a test manifest id, and a job key under it.
inline std::wstring ManifestKey(const std::string& manifestId)
{
    return L"Software\\Vallor\\Vek\\" + Widen(manifestId);
}

inline std::wstring JobKey(const std::string& manifestId, const std::string& jobId)
{
    return ManifestKey(manifestId) + L"\\" + Widen(jobId);
}

inline std::optional<DWORD> ReadValue(const std::wstring& key, const wchar_t* name)
{
    qkRegistry registry;
    DWORD value = 0;
    if (registry.Open(HKEY_CURRENT_USER, key.c_str(), KEY_READ) && registry.GetDWORDValue(name, value)) {
        return value;
    }
    return std::nullopt;
}

inline bool WriteValue(const std::wstring& key, const wchar_t* name, DWORD value)
{
    qkRegistry registry;
    return registry.Create(HKEY_CURRENT_USER, key.c_str(), KEY_READ | KEY_WRITE) &&
           registry.SetDWORDValue(name, value);
}

inline void RemoveManifestKey(const std::string& manifestId)
{
    qkRegistry base;
    if (base.Open(HKEY_CURRENT_USER, L"Software\\Vallor\\Vek", KEY_READ | KEY_WRITE)) {
        base.DeleteKeyTree(Widen(manifestId).c_str());
    }
}

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
public:
    explicit TempFolder(const std::wstring& name)
    {
        wchar_t base[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, base);
        m_path = std::filesystem::path(base) / (name + L"-" + std::to_wstring(::GetCurrentProcessId()));
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::wstring Text() const { return m_path.wstring(); }

private:
    std::filesystem::path m_path;
};

} // namespace jobenginetest
