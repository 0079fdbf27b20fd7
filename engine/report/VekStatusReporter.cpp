#include "engine/report/VekStatusReporter.h"

#include "engine/report/VekMachineIdCache.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekTokenMask.h"

#include "common/base/qkStringConvert.h"
#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/VekOwnManifest.h"
#include "net/http/Jux_TimeUtils.h"
#include "net/proxy/VekProxySettings.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekSilo.h"
#include "services/launcher/VekUtil.h"

#include <cstdarg>
#include <vector>

namespace vek {

namespace {

std::optional<std::wstring> NonEmptyText(const nlohmann::json* node)
{
    if (!node || !node->is_string() || node->get_ref<const std::string&>().empty())
        return std::nullopt;
    return FromUtf8(node->get<std::string>());
}

void WriteStyled(const nlohmann::json& value, const std::string& indent, std::string& out)
{
    if (value.is_object() && !value.empty()) {
        out += "{\n";
        size_t i = 0;
        for (auto it = value.begin(); it != value.end(); ++it, ++i) {
            out += indent + "   " + nlohmann::json(it.key()).dump() + " : ";
            WriteStyled(it.value(), indent + "   ", out);
            out += i + 1 < value.size() ? ",\n" : "\n";
        }
        out += indent + "}";
    } else if (value.is_array() && !value.empty()) {
        out += "[\n";
        for (size_t i = 0; i < value.size(); ++i) {
            out += indent + "   ";
            WriteStyled(value[i], indent + "   ", out);
            out += i + 1 < value.size() ? ",\n" : "\n";
        }
        out += indent + "]";
    } else if (value.is_null()) {
        out += "null";
    } else {
        out += value.dump();
    }
}

} // namespace

std::string StyledJson(const nlohmann::json& value)
{
    std::string out;
    WriteStyled(value, "", out);
    out += "\n";
    return out;
}

const nlohmann::json* VekStatusReporter::Manifest::Distribution() const
{
    return ManifestJson::Member(ManifestAccess::FirstJob(m_document), "distribution");
}

std::wstring VekStatusReporter::Manifest::DistributionText(const char* name) const
{
    const nlohmann::json* value = ManifestJson::Member(Distribution(), name);
    return value && value->is_string() ? FromUtf8(value->get<std::string>()) : std::wstring();
}

std::optional<std::wstring> VekStatusReporter::Manifest::ReportingUrl() const
{
    return NonEmptyText(ManifestJson::Member(ManifestJson::Member(ManifestJson::Member(ManifestJson::Member(&m_document, "vek"), "bootstrap"), "options"), "reporting_url"));
}

std::optional<std::wstring> VekStatusReporter::Manifest::ConnectionToken(bool isServer) const
{
    const nlohmann::json* distribution = Distribution();
    if (isServer) {
        if (auto token = NonEmptyText(ManifestJson::Member(distribution, "server_cc_token"))) {
            QK_LOG_INFO(L"use server token from manifest.");
            return token;
        }
    } else if (auto token = NonEmptyText(ManifestJson::Member(distribution, "desktop_cc_token"))) {
        QK_LOG_INFO(L"use client token from manifest.");
        return token;
    }
    if (auto token = NonEmptyText(ManifestJson::Member(distribution, "cc_token"))) {
        QK_LOG_INFO(L"use legacy token");
        return token;
    }
    QK_LOG_ERROR(L"No token specified in manifest");
    return std::nullopt;
}

std::wstring VekStatusReporter::Manifest::ProductUuid() const
{
    return DistributionText("product_uuid");
}
std::wstring VekStatusReporter::Manifest::CustomerId() const
{
    return DistributionText("customer_id");
}
std::wstring VekStatusReporter::Manifest::DomainId() const
{
    return DistributionText("domain_id");
}

nlohmann::json VekStatusReporter::Manifest::ProxySettings() const
{
    const nlohmann::json* settings =
        ManifestJson::Member(ManifestJson::Member(ManifestJson::Member(ManifestJson::Member(&m_document, "vek"), "bootstrap"), "options"), "proxy_settings");
    nlohmann::json copy = settings ? *settings : nlohmann::json();
    if (copy.is_object() && copy.contains("password"))
        copy["password_encrypted"] = true;
    return copy;
}

VekStatusReporter::VekStatusReporter() : m_eventNames(StatusEventNames())
{
    machineIdSource = [](std::wstring& id) { return VekMachineIdCache::Process().Get(id); };
    launcherPath = [] {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        return std::wstring(path);
    };
    isServer = [] { return qkOSInfo::IsServer() != FALSE; };
    clock = [] {
        SYSTEMTIME now;
        ::GetSystemTime(&now);
        return now;
    };
}

VekStatusReporter::~VekStatusReporter() = default;

VekStatusReporter& VekStatusReporter::Instance()
{
    static VekStatusReporter instance;
    return instance;
}

std::wstring VekStatusReporter::EventName(int code)
{
    static const std::map<int, std::wstring> names = StatusEventNames();
    auto it = names.find(code);
    return it == names.end() ? L"<unknown>" : it->second;
}

void VekStatusReporter::InitMachineId()
{
    // Unlike the data reporter, a silo failure is only logged and the identifier asked for anyway.
    const HRESULT silo = SelectLauncherSilo();
    if (silo == VEK_E_SILO_ID_NOT_SET)
        QK_LOG_ERROR(L"Failed to set the silo GUID");
    else if (FAILED(silo))
        QK_LOG_ERROR(L"Failed to set the silo GUID.");
    std::wstring id;
    const HRESULT hr = machineIdSource(id);
    if (FAILED(hr) || id.empty()) {
        QK_LOG_ERROR(L"Failed to retrive Machine ID (talqual), hr=0x%08X, machineID returned: '%s'", hr, id.c_str());
        return;
    }
    m_machineId = id;
}

std::wstring VekStatusReporter::GetMachineId()
{
    if (m_machineId.empty())
        InitMachineId();
    return m_machineId;
}

void VekStatusReporter::initFromOwnManifest()
{
    std::wstring path = launcherPath();
    if (path.size() > MAX_PATH)
        path.resize(MAX_PATH);
    std::shared_ptr<const nlohmann::json> manifest;
    if (VekOwnManifest::Load(path, manifest) == S_OK)
        init(*manifest, GetMachineId());
    else
        QK_LOG_ERROR(L"Unable to load manifest");
}

HRESULT VekStatusReporter::init(const nlohmann::json& manifest, const std::wstring& machineId)
{
    // The proxy is settled as for the downloads: the manifest's own, a direct connection, or the
    // default browser's settings written into the reporter's copy of the manifest.
    nlohmann::json settled = manifest;
    VekProxySettings(browserProxy).determineBrowserProxySettings(settled);
    m_manifest.Set(settled);
    m_disabled = true;
    if (m_machineId.empty())
        m_machineId = machineId;
    const auto url = m_manifest.ReportingUrl();
    const auto token = url ? m_manifest.ConnectionToken(isServer()) : std::nullopt;
    if (!url || !token || machineId.empty()) {
        QK_LOG_INFO(L"Status reporting switched off. No Reporting URL, Connection token or talqual ID specified in "
                    L"manifest");
        return S_OK;
    }
    const HRESULT hr = m_httpClient.Initialize(L"VEK", url->c_str(), 30, false);
    const nlohmann::json proxy = m_manifest.ProxySettings();
    m_httpClient.LoadProxySettings(proxy.is_null() ? nullptr : &proxy, *url);
    m_httpClient.ApplyProxySettings();
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"httpClient.Initialize() failed, hr=0x%08X", hr);
        return hr;
    }
    m_disabled = false;
    m_initialised = true;
    return S_OK;
}

std::string VekStatusReporter::BuildRecord(int code, const std::wstring& data)
{
    const std::wstring token = m_manifest.ConnectionToken(isServer()).value_or(L"");
    // The start data carries the command line: the token never travels in it in clear.
    std::wstring stateData = MaskSecret(MaskCommandLineToken(data), token);
    if (code == VEK_STARTED)
        stateData = L"connect_token: " + token + L"; " + stateData;
    std::wstring stamp;
    Jux::FormatIso8601Time(clock(), stamp);
    nlohmann::json record = {
        {"connect_token", ToUtf8(token)},
        {"state_code", ToUtf8(EventName(code))},
        {"state_data", ToUtf8(stateData)},
        {"talqual_machine_id", ToUtf8(m_machineId)},
        {"product_uuid", ToUtf8(m_manifest.ProductUuid())},
        {"time_stamp", ToUtf8(stamp)},
    };
    return StyledJson(record);
}

HRESULT VekStatusReporter::LogStatusInternal(int code, const std::wstring& data, DWORD& status)
{
    if (!m_initialised)
        initFromOwnManifest();
    if (m_disabled)
        return S_OK;

    std::string body;
    try {
        body = BuildRecord(code, data);
    } catch (const std::exception&) {
        const HRESULT hr = E_FAIL;
        QK_LOG_ERROR(L"status data convertion into UTF-8 failed, hr=0x%08X", hr);
        return hr;
    }
    const std::wstring headers = L"Content-Type: application/json\r\nx-zavo-customer-id:" + m_manifest.CustomerId() +
                                 L"\r\nx-zavo-domain-id:" + m_manifest.DomainId() + L"\r\n";

    RequestId request = 0;
    HRESULT hr = m_httpClient.PostRequest(nullptr, headers.c_str(), body, &request);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"httpClient.PostRequest() failed, hr=0x%08X", hr);
        m_disabled = true;
        return hr;
    }
    hr = m_httpClient.GetStatus(request, &status);
    m_httpClient.CloseRequest(request);
    if (SUCCEEDED(hr) && status < 300)
        return hr;
    QK_LOG_ERROR(L"httpClient.PostRequest() failed, hr=0x%08X, status=%lu", hr, status);
    m_disabled = true;
    return FAILED(hr) ? hr : E_FAIL;
}

HRESULT VekStatusReporter::LogStatus(int code, const std::wstring& data)
{
    DWORD status = 200;
    HRESULT hr = LogStatusInternal(code, data, status);
    if (!m_httpClient.IsProxyEnabled())
        return hr;
    // A proxy that answered 300 is not retried directly.
    if ((SUCCEEDED(hr) && status < 300) || status == 300)
        return hr;
    QK_LOG_INFO(L"Fallback to direct connection");
    const DWORD proxyStatus = status;
    m_httpClient.SetProxyEnabled(false);
    m_disabled = false;
    status = 200;
    hr = LogStatusInternal(code, data, status);
    if (SUCCEEDED(hr) && status < 300) {
        // Runs without the proxy now, so it never falls back again.
        wchar_t text[128] = {};
        qkLib::FormatWide(text, 128, L"Reporter fell back to direct connection. Proxy returned HTTP_STATUS: %d",
                          static_cast<int>(proxyStatus));
        LogStatus(DOWNLOAD_FAILED_PROXY_ISSUE, text);
    }
    return hr;
}

HRESULT LogStatusEvent(int code)
{
    return LogStatusEventF(code, L"");
}

HRESULT LogStatusEventF(int code, const wchar_t* format, ...)
{
    std::vector<wchar_t> buffer(2048);
    va_list args;
    va_start(args, format);
    const int written = qkLib::FormatWideV(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (written < 0)
        buffer[0] = L'\0';
    return VekStatusReporter::Instance().LogStatus(code, buffer.data());
}

} // namespace vek
