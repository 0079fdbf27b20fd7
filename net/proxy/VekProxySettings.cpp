#include "net/proxy/VekProxySettings.h"

#include "common/errors/qkLog.h"
#include "net/download/DownloadJson.h"
#include "net/proxy/ManifestProductKind.h"
#include "net/proxy/ManifestProxySettings.h"
#include "net/proxy/Tolk_CInstallEngineWinHTTPClient.h"

namespace vek {
namespace {

class CBrowserProxyProvider : public IBrowserProxyProvider {
public:
    HRESULT GetProxyFromBrowser(Tolk::BrowserProxy& proxy, bool registryOnly) override
    {
        return m_client.GetProxyFromBrowser(proxy, registryOnly);
    }

private:
    Tolk::CInstallEngineWinHTTPClient m_client;
};

// The object member of the node, created when absent; null when the node or the member is of
// another type (a hand-edited manifest), which the caller logs.
nlohmann::json* ObjectMember(nlohmann::json* node, const char* name)
{
    if (node == nullptr || !node->is_object())
        return nullptr;
    nlohmann::json& member = (*node)[name];
    if (member.is_null())
        member = nlohmann::json::object();
    return member.is_object() ? &member : nullptr;
}

} // namespace

std::shared_ptr<IBrowserProxyProvider> CreateDefaultBrowserProxyProvider()
{
    return std::make_shared<CBrowserProxyProvider>();
}

VekProxySettings::VekProxySettings(std::shared_ptr<IBrowserProxyProvider> provider)
    : m_provider(provider ? std::move(provider) : CreateDefaultBrowserProxyProvider())
{}

void VekProxySettings::determineBrowserProxySettings(nlohmann::json& manifest)
{
    const bool endpoint = IsEndpointManifest(manifest);
    const VEK_PROXY_TYPE type = GetManifestProxyType(manifest);
    nlohmann::json* options = ObjectMember(ObjectMember(ObjectMember(&manifest, "vek"), "bootstrap"), "options");
    nlohmann::json* settings = ObjectMember(options, "proxy_settings");
    if (settings == nullptr) {
        QK_LOG_ERROR(L"The manifest's proxy settings are not an object: proxy configuration skipped");
        return;
    }

    if (endpoint && type == eProxyDisabled) {
        QK_LOG_INFO(L"Proxy type is set as DISABLED: skip proxy configuration, use direct connection.");
        ClearManifestProxy(*settings);
        return;
    }
    const bool hasServer = !JsonWString(*settings, "server").empty();
    const bool hasPort = HasManifestProxyPort(manifest);
    if (!endpoint && hasServer && hasPort) {
        QK_LOG_INFO(L"Proxy settings specified in manifest, do not use browser settings");
        return;
    }
    if (endpoint && type == eProxyCustom) {
        if (hasServer && hasPort) {
            QK_LOG_INFO(L"Proxy type is set as CUSTOM: use proxy settings elicited from manifest");
        } else {
            QK_LOG_INFO(L"Proxy type is set as CUSTOM, but proxy-server or port is empty. Use direct connection");
            ClearManifestProxy(*settings);
        }
        return;
    }

    QK_LOG_INFO(L"Proxy host or port or both are empty in manifest. Use browser settings.");
    Tolk::BrowserProxy browser;
    const HRESULT hr = m_provider->GetProxyFromBrowser(browser, false);
    if (FAILED(hr)) {
        QK_LOG_WARNING(L"Failed to get proxy settings, 0x%08x", static_cast<unsigned>(hr));
        return;
    }
    if (!browser.useProxy) {
        QK_LOG_INFO(L"Not using proxy settings");
        ClearManifestProxy(*settings);
        return;
    }
    nlohmann::json fresh = nlohmann::json::object();
    const auto fallback = settings->find("allow_fallback");
    if (fallback != settings->end())
        fresh["allow_fallback"] = *fallback;
    if (!browser.server.empty()) {
        fresh["server"] = WideToUtf8(browser.server);
        fresh["port"] = browser.port;
        QK_LOG_INFO(L"Using Proxy setting, server - %s port - %u", browser.server.c_str(), browser.port);
    }
    if (browser.autoDetect) {
        fresh["autodetect"] = true;
        QK_LOG_INFO(L"Using Proxy setting, autodetect is set");
    }
    if (!browser.autoConfigUrl.empty()) {
        fresh["autoconfig_url"] = WideToUtf8(browser.autoConfigUrl);
        QK_LOG_INFO(L"Using Proxy setting, autoconfig url - %s", browser.autoConfigUrl.c_str());
    }
    (*options)["proxy_settings"] = std::move(fresh);
}

} // namespace vek
