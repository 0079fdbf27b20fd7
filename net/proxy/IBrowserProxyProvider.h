#pragma once
// Where the proxy selection asks for the default browser's proxy: the install toolbox's browser
// reader in the launcher, a stand-in in tests.
#include <windows.h>

#include <memory>

#include "net/proxy/BrowserProxy.h"

namespace vek {

class IBrowserProxyProvider {
public:
    virtual ~IBrowserProxyProvider() = default;
    virtual HRESULT GetProxyFromBrowser(Tolk::BrowserProxy& proxy, bool registryOnly) = 0;
};

// The provider over Tolk::CInstallEngineWinHTTPClient with the system's registry and folders.
std::shared_ptr<IBrowserProxyProvider> CreateDefaultBrowserProxyProvider();

} // namespace vek
