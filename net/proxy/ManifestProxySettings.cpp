#include "net/proxy/ManifestProxySettings.h"

#include "net/download/DownloadJson.h"
#include "net/download/ManifestProxy.h"
#include "common/base/qkTextCompare.h"

namespace vek {
namespace {

std::wstring SettingsText(const nlohmann::json& manifest, const char* key)
{
    const nlohmann::json* settings = ManifestProxySettingsOf(manifest);
    return settings != nullptr ? JsonWString(*settings, key) : std::wstring();
}

} // namespace

const nlohmann::json* ManifestProxySettingsOf(const nlohmann::json& manifest)
{
    const nlohmann::json* node = &manifest;
    for (const char* name : {"vek", "bootstrap", "options", "proxy_settings"}) {
        node = JsonMember(*node, name);
        if (node == nullptr)
            return nullptr;
    }
    return node;
}

VEK_PROXY_TYPE GetManifestProxyType(const nlohmann::json& manifest)
{
    const nlohmann::json* settings = ManifestProxySettingsOf(manifest);
    const nlohmann::json* type = settings != nullptr ? JsonMember(*settings, "type") : nullptr;
    if (type == nullptr || !type->is_string())
        return eProxyDefault;
    const std::string& name = type->get_ref<const std::string&>();
    if (qkLib::EqualsAsciiNoCase(name, "CUSTOM"))
        return eProxyCustom;
    if (qkLib::EqualsAsciiNoCase(name, "AUTODETECT"))
        return eProxyAutodetect;
    if (qkLib::EqualsAsciiNoCase(name, "DISABLED"))
        return eProxyDisabled;
    return eProxyDefault;
}

std::wstring ManifestProxyServer(const nlohmann::json& manifest)
{
    return SettingsText(manifest, "server");
}

std::wstring ManifestProxyPassword(const nlohmann::json& manifest)
{
    return SettingsText(manifest, "password");
}

bool HasManifestProxyPort(const nlohmann::json& manifest)
{
    const nlohmann::json* settings = ManifestProxySettingsOf(manifest);
    // The http port, or the https port when that is 0.
    return settings != nullptr && GetProxyPort(*settings, L"http://") != 0;
}

void ClearManifestProxy(nlohmann::json& proxySettings)
{
    proxySettings["port"] = 0;
    proxySettings["https_port"] = 0;
    proxySettings["server"] = "";
    // No automatic proxy either: detection or a configuration script would find one again.
    proxySettings["autodetect"] = false;
    proxySettings["autoconfig_url"] = "";
}

} // namespace vek
