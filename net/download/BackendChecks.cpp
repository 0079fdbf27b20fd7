#include "net/download/BackendChecks.h"

#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "net/download/CWinHTTPClient.h"
#include "net/download/DownloadJson.h"
#include "services/launcher/VekJobKeys.h"

#include <algorithm>

namespace vek {

namespace {

std::wstring Description(HRESULT hr, DWORD status, const std::wstring& url)
{
    wchar_t text[64];
    qkLib::FormatWide(text, 64, L"hr=0x%08x, status=%d, url=", static_cast<unsigned>(hr), static_cast<int>(status));
    return text + url;
}

} // namespace

HRESULT ProbeUrl(const std::wstring& address, const std::wstring& verb, const std::vector<DWORD>& accepted,
                 const nlohmann::json& proxySettings, DWORD& status)
{
    if (accepted.empty()) {
        qkLib::LogText(qkLib::LogLevel::Information, L"Http status or url not specified skip check");
        return S_OK;
    }
    const bool allowFallback = JsonBool(proxySettings, "allow_fallback", true);
    bool direct = false;
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 3; ++attempt) {
        CWinHTTPClient client;
        client.LoadProxySettings(proxySettings.is_object() ? &proxySettings : nullptr, address);
        hr = client.Initialize(L"VEK", address.c_str(), 30, false);
        if (FAILED(hr)) {
            qkLib::LogText(qkLib::LogLevel::Error, L"Unable to connect %s, hr 0x%08X", address.c_str(), hr);
            continue;
        }
        client.ApplyProxySettings();
        if (direct)
            client.SetProxyEnabled(false);
        const bool usedProxy = client.IsProxyEnabled();
        RequestId request = 0;
        hr = client.Query(verb.c_str(), nullptr, nullptr, nullptr, 0, nullptr, 0, &request);
        if (FAILED(hr)) {
            qkLib::LogText(qkLib::LogLevel::Error, L"Unable to connect %s, hr 0x%08X", address.c_str(), hr);
            if (usedProxy && allowFallback)
                direct = true;
            continue;
        }
        hr = client.GetStatus(request, &status);
        client.CloseRequest(request);
        if (FAILED(hr)) {
            if (usedProxy && allowFallback)
                direct = true;
            continue;
        }
        if (std::find(accepted.begin(), accepted.end(), status) != accepted.end()) {
            qkLib::LogText(qkLib::LogLevel::Information, L"url validated %s, http response %d", address.c_str(),
                           static_cast<int>(status));
            return S_OK;
        }
        if (usedProxy && allowFallback) {
            direct = true;
        } else {
            qkLib::LogText(qkLib::LogLevel::Error, L"Validate for url %s failed, http response %d", address.c_str(),
                           static_cast<int>(status));
        }
        hr = S_FALSE;
    }
    return hr;
}

HRESULT ValidateBackendUrl(const nlohmann::json& entry, const nlohmann::json& proxySettings, DWORD& status)
{
    const std::wstring address = JsonWString(entry, "url");
    std::wstring verb = JsonWString(entry, "type");
    if (!JsonHas(entry, "type"))
        verb = L"HEAD";
    std::vector<DWORD> accepted;
    const nlohmann::json* codes = JsonMember(entry, "codes");
    if (codes != nullptr && codes->is_array()) {
        for (const nlohmann::json& code : *codes) {
            if (code.is_number_integer())
                accepted.push_back(static_cast<DWORD>(code.get<std::int64_t>()));
            else
                qkLib::LogText(qkLib::LogLevel::Error, L"Http code is not int, ignore it");
        }
    }
    if (address.empty()) {
        qkLib::LogText(qkLib::LogLevel::Information, L"Http status or url not specified skip check");
        return S_OK;
    }
    return ProbeUrl(address, verb, accepted, proxySettings, status);
}

bool ValidateBackendUrls(nlohmann::json& job, const nlohmann::json& options)
{
    if (JsonWString(job, "create_msi") == L"true") {
        qkLib::LogText(qkLib::LogLevel::Information, L"Redistributable package - backend validation skipped");
        return true;
    }
    if (!JsonHas(job, "backend_urls")) {
        qkLib::LogText(qkLib::LogLevel::Information, L"No backend_urls in manifest - backend validation skipped");
        return true;
    }
    const nlohmann::json& urls = *JsonMember(job, "backend_urls");
    if (!urls.is_array() || urls.empty()) {
        qkLib::LogText(qkLib::LogLevel::Information,
                       L"backend_urls node in manifest is empty - backend validation skipped");
        return true;
    }
    const nlohmann::json* proxySettings = JsonMember(options, "proxy_settings");
    const nlohmann::json proxy = proxySettings != nullptr ? *proxySettings : nlohmann::json();
    for (const nlohmann::json& entry : urls) {
        DWORD status = 0;
        HRESULT hr = ValidateBackendUrl(entry, proxy, status);
        if (hr != S_OK) {
            job[jobkeys::kJobErrorDescription] = WideToUtf8(Description(hr, status, JsonWString(entry, "url")));
            return false;
        }
    }
    qkLib::LogText(qkLib::LogLevel::Information, L"All backend URLs have been validated.");

    std::wstring reporting = JsonWString(options, "reporting_url");
    if (reporting.empty()) {
        qkLib::LogText(qkLib::LogLevel::Information, L"Reporting URL not defined - skip ZAVO service validation");
        return true;
    }
    std::wstring address = reporting;
    size_t marker = reporting.find(L"r3_zavo_i");
    if (marker != std::wstring::npos && marker > 0)
        address = reporting.substr(0, std::min(reporting.size(), marker + 10)) + L"status";
    HRESULT hr = S_OK;
    DWORD status = 0;
    if (address.empty())
        qkLib::LogText(qkLib::LogLevel::Information, L"Http status or url not specified skip check");
    else
        hr = ProbeUrl(address, L"HEAD", {200}, proxy, status);
    if (hr == S_OK) {
        qkLib::LogText(qkLib::LogLevel::Information, L"Avaiability of backend resources validated.");
        return true;
    }
    job[jobkeys::kJobErrorDescription] = WideToUtf8(Description(hr, status, address));
    qkLib::LogText(qkLib::LogLevel::Error, L"ZAVO service not available");
    return false;
}

} // namespace vek
