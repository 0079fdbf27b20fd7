#pragma once
// Settles the launcher's proxy once, before any download or report: keeps the proxy the manifest
// gives, switches to a direct connection, or takes the default browser's settings and writes them
// into the manifest's proxy settings ("vek"."bootstrap"."options"."proxy_settings"), where every
// HTTP client of the launcher reads them. Runs on the main thread before any worker reads them.
#include <memory>

#include <nlohmann/json.hpp>

#include "net/proxy/IBrowserProxyProvider.h"

namespace vek {

class VekProxySettings {
public:
    // None: the default provider (the browsers of this machine).
    explicit VekProxySettings(std::shared_ptr<IBrowserProxyProvider> provider = {});

    // Never fails: what cannot be read is logged and the settings stay as the manifest had them
    // (or cleared, where a direct connection is chosen). Browser settings replace the manifest's
    // whole proxy settings but "allow_fallback"; the manifest's proxy user and password go.
    void determineBrowserProxySettings(nlohmann::json& manifest);

private:
    std::shared_ptr<IBrowserProxyProvider> m_provider;
};

} // namespace vek
