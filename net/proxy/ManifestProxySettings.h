#pragma once
// The manifest's proxy settings node ("vek"."bootstrap"."options"."proxy_settings"): whether it
// names a port, and clearing it to a direct connection.
#include <nlohmann/json.hpp>

namespace vek {

// "port" or "https_port" of the manifest's proxy settings is non-zero (a number or a decimal
// string).
bool HasManifestProxyPort(const nlohmann::json& manifest);
// "port" = 0, "https_port" = 0, "server" = "": a direct connection.
void ClearManifestProxy(nlohmann::json& proxySettings);

} // namespace vek
