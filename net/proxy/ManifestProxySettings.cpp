#include "net/proxy/ManifestProxySettings.h"

#include "net/download/ManifestProxy.h"

namespace vek {
namespace {

const nlohmann::json* Member(const nlohmann::json& node, const char* name)
{
    if (!node.is_object())
        return nullptr;
    const auto found = node.find(name);
    return found == node.end() ? nullptr : &*found;
}

} // namespace

bool HasManifestProxyPort(const nlohmann::json& manifest)
{
    const nlohmann::json* node = &manifest;
    for (const char* name : {"vek", "bootstrap", "options", "proxy_settings"}) {
        node = Member(*node, name);
        if (node == nullptr)
            return false;
    }
    // The http port, or the https port when that is 0.
    return GetProxyPort(*node, L"http://") != 0;
}

void ClearManifestProxy(nlohmann::json& proxySettings)
{
    proxySettings["port"] = 0;
    proxySettings["https_port"] = 0;
    proxySettings["server"] = "";
}

} // namespace vek
