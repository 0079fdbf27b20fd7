#pragma once
// The launcher's HTTP client: the library's WinHTTP client with the manifest's proxy settings,
// a synchronous response loop that writes the body into a file, a cancellation flag and redirect
// reading. It never takes a proxy from the client settings store.
#include "net/http/Jux_WinHttpClient.h"
#include "net/download/HTTPDownloadData.h"
#include "net/download/IDownloadProgressSink.h"
#include "net/download/SecureWString.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>

namespace vek {

using Jux::RequestId;

class CWinHTTPClient : public Jux::CWinHttpClient {
public:
    CWinHTTPClient();
    ~CWinHTTPClient() override;

    // Reads the proxy of a `proxy_settings` node (null or absent: direct) for the address.
    void LoadProxySettings(const nlohmann::json* proxySettings, const std::wstring& address);
    // Hands the loaded proxy to the library client, or switches it to a direct connection.
    void ApplyProxySettings();

    // Reads the body of an answered request into the file, telling the sink each chunk once it is
    // written. S_OK at the end of the body; HRESULT_FROM_WIN32(ERROR_CANCELLED) after a stop.
    HRESULT GetResponse(RequestId request, HTTPDownloadData* stream, IDownloadProgressSink* sink);
    HRESULT GetRedirectLocation(HINTERNET request, std::wstring& address);

    void SetShouldExit(bool value);
    bool ShouldExit();

    // What LoadProxySettings found (tests and the engine's fallback rule read them).
    bool ProxyGiven() const { return m_proxyGiven; }
    bool HasProxyPassword() const
    {
        return m_proxyGiven && !m_user.empty() && (m_passwordEncrypted || !m_password.empty());
    }
    const std::wstring& ProxyServer() const { return m_server; }
    std::uint32_t ProxyPort() const { return m_port; }

protected:
    // The launcher never reads the proxy of the client settings store.
    HRESULT LoadProxyFromSettings() override { return S_OK; }

private:
    std::mutex m_exitLock;
    bool m_ShouldExit = false;

    std::wstring m_server;
    std::wstring m_user;
    std::wstring m_password;
    SecureWString m_decryptedPassword;
    std::wstring m_encryptedPassword;
    std::wstring m_autoConfigUrl;
    bool m_autoDetect = false;
    bool m_proxyGiven = false;
    std::uint32_t m_port = 0;
    bool m_passwordEncrypted = false;
};

} // namespace vek
