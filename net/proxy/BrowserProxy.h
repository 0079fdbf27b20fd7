#pragma once
// What a browser's proxy configuration says, as the launcher takes it over into the manifest's
// proxy settings. Every reader clears it first.
#include <cstdint>
#include <string>

namespace Tolk {

struct BrowserProxy {
    bool autoDetect = false;
    std::wstring autoConfigUrl;
    bool autoConfig = false; // autoConfigUrl holds an address to use
    std::wstring server;
    std::uint32_t port = 0;
    bool manualServer = false; // server (and port) hold a manual proxy
    bool useProxy = false;     // anything above is to be used

    void Clear() { *this = BrowserProxy{}; }
};

} // namespace Tolk
