#pragma once
// The manifest's proxy settings node ("vek"."bootstrap"."options"."proxy_settings"): its type,
// its server and password, whether it names a port, and clearing it to a direct connection. The
// proxy selection, the engine's manifest view, the reporters and the user interface read these
// keys through here.
#include <nlohmann/json.hpp>

#include <string>

namespace vek {

// "type" of the manifest's proxy settings, by name without regard to case.
enum VEK_PROXY_TYPE : int {
    eProxyDefault = 0,
    eProxyDisabled = 1,
    eProxyAutodetect = 2,
    eProxyCustom = 3,
};

// The manifest's proxy settings node; null when a step is missing or null.
const nlohmann::json* ManifestProxySettingsOf(const nlohmann::json& manifest);
// "CUSTOM" 3, "AUTODETECT" 2, "DISABLED" 1; 0 for any other text, a missing "type" or one that
// is not text.
VEK_PROXY_TYPE GetManifestProxyType(const nlohmann::json& manifest);
// "server" and "password" of the manifest's proxy settings; empty when absent or not text.
std::wstring ManifestProxyServer(const nlohmann::json& manifest);
std::wstring ManifestProxyPassword(const nlohmann::json& manifest);
// "port" or "https_port" of the manifest's proxy settings is non-zero (a number or a decimal
// string).
bool HasManifestProxyPort(const nlohmann::json& manifest);
// "port" = 0, "https_port" = 0, "server" = "", "autodetect" = false, "autoconfig_url" = "": a
// direct connection.
void ClearManifestProxy(nlohmann::json& proxySettings);

} // namespace vek
