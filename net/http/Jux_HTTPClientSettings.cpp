#include "net/http/Jux_HTTPClientSettings.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

namespace Jux {
namespace {

constexpr wchar_t kPolicies[] = L"Policies";
constexpr wchar_t kTelemetry[] = L"Telemetry";
constexpr wchar_t kCounters[] = L"Dynamic\\JuxClient\\HTTPClient";

} // namespace

HRESULT CHTTPClientSettings::GetDataVersion(DWORD& version)
{
    HRESULT hr = m_helper.OpenSection(kTelemetry, false);
    return FAILED(hr) ? hr : m_helper.GetDword(L"DataVersion", version);
}

HRESULT CHTTPClientSettings::GetPinningModes(DWORD& mode, DWORD& rootCheckMode)
{
    HRESULT hr = m_helper.OpenSection(kPolicies, false);
    if (FAILED(hr))
        return hr;
    DWORD readMode = 0, readRootCheck = 0;
    if (FAILED(hr = m_helper.GetDword(L"Mode", readMode)) || FAILED(hr = m_helper.GetDword(L"RootCheckMode", readRootCheck)))
        return hr;
    mode = readMode;
    rootCheckMode = readRootCheck;
    return S_OK;
}

HRESULT CHTTPClientSettings::ReadList(const wchar_t* section,
                                      std::vector<std::pair<std::wstring, std::wstring>>& entries)
{
    HRESULT hr = m_helper.OpenSection(section, false);
    if (FAILED(hr))
        return hr;
    std::vector<std::wstring> names;
    if (FAILED(hr = m_helper.EnumValueNames(names)))
        return hr;
    qkExceptionInfo info;
    try {
        std::vector<std::pair<std::wstring, std::wstring>> read;
        for (const std::wstring& name : names) {
            std::wstring data;
            if (FAILED(hr = m_helper.GetString(name.c_str(), data)))
                return hr;
            read.emplace_back(name, data);
        }
        entries.swap(read);
        return S_OK;
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

HRESULT CHTTPClientSettings::GetPins(std::map<std::wstring, std::wstring>& pins)
{
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    HRESULT hr = ReadList(L"Pins", entries);
    if (SUCCEEDED(hr))
        pins = std::map<std::wstring, std::wstring>(entries.begin(), entries.end());
    return hr;
}

HRESULT CHTTPClientSettings::GetWellKnownRoots(std::map<std::wstring, std::wstring>& roots)
{
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    HRESULT hr = ReadList(L"WellKnownRoots", entries);
    if (SUCCEEDED(hr))
        roots = std::map<std::wstring, std::wstring>(entries.begin(), entries.end());
    return hr;
}

HRESULT CHTTPClientSettings::GetWhiteList(std::vector<std::wstring>& domains)
{
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    HRESULT hr = ReadList(L"WhiteList", entries);
    if (SUCCEEDED(hr)) {
        domains.clear();
        for (auto& entry : entries)
            domains.push_back(std::move(entry.second));
    }
    return hr;
}

HRESULT CHTTPClientSettings::GetMaxPingsForDailyPeriod(DWORD& count)
{
    HRESULT hr = m_helper.OpenSection(kTelemetry, false);
    return FAILED(hr) ? hr : m_helper.GetDword(L"MaxPingsForDailyPeriod", count);
}

HRESULT CHTTPClientSettings::GetCurrentDailyPingCount(DWORD& count)
{
    HRESULT hr = m_helper.OpenSection(kCounters, false);
    return FAILED(hr) ? hr : m_helper.GetDword(L"CurrentDailyPingCount", count);
}

HRESULT CHTTPClientSettings::SetCurrentDailyPingCount(DWORD count)
{
    HRESULT hr = m_helper.OpenSection(kCounters, true);
    return FAILED(hr) ? hr : m_helper.SetDword(L"CurrentDailyPingCount", count);
}

HRESULT CHTTPClientSettings::GetLastInitPingTime(std::uint64_t& fileTime)
{
    HRESULT hr = m_helper.OpenSection(kCounters, false);
    return FAILED(hr) ? hr : m_helper.GetQword(L"LastInitPingTime", fileTime);
}

HRESULT CHTTPClientSettings::SetLastInitPingTime(std::uint64_t fileTime)
{
    HRESULT hr = m_helper.OpenSection(kCounters, true);
    return FAILED(hr) ? hr : m_helper.SetQword(L"LastInitPingTime", fileTime);
}

} // namespace Jux
