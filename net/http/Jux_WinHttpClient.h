#pragma once
// The in-house HTTP client over WinHTTP. One client talks to one server: Initialize cracks a URL
// and opens a session and a connection to its host and port; requests then go to paths on that
// server. Synchronous use: Initialize, [SetProxy], Query/GetRequest/PostRequest, GetStatus, header
// queries, reading the data (WinHttpReadData on FindRequest's handle), CloseRequest, Close.
// Secure sessions use TLS 1.2 only. Requests to hosts on the pinning white list are checked by the
// status callback at the sending-request stage (Jux_StatusCallback, Jux_CertificateCheck).
#include "common/base/qkCriticalSection.h"
#include "net/http/Jux_CloseEvent.h"
#include "net/http/Jux_IWinHttpListener.h"
#include "net/http/Jux_PinningHook.h"
#include "net/http/Jux_WinHttpSession.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Jux {

class CWinHttpClient {
public:
    CWinHttpClient();
    virtual ~CWinHttpClient();
    CWinHttpClient(const CWinHttpClient&) = delete;
    CWinHttpClient& operator=(const CWinHttpClient&) = delete;

    // Proxy from the settings component's section "Connections\Proxy\HTTP" (Jux_ProxySettings).
    // IsProxyConfiguredInSettings reads into scratch fields and says whether a proxy would be used.
    virtual HRESULT IsProxyConfiguredInSettings(bool* configured);
    virtual HRESULT LoadProxyFromSettings();

    // userAgent null: "USERAGENT" under the product key, else "Tolk/0.0.0.0/Win", completed with
    // the system version. timeoutSeconds: connect, send, receive, resolve; 0xFFFFFFFF = infinite.
    HRESULT Initialize(const wchar_t* userAgent, const wchar_t* url, DWORD timeoutSeconds, bool asynchronous);
    HRESULT Open(const wchar_t* userAgent, const wchar_t* host, DWORD port, DWORD timeoutSeconds, bool secure,
                 bool asynchronous);
    HRESULT Close();
    bool WaitForRequests(DWORD stepMs, DWORD limitMs);

    void SetProxyEnabled(bool enabled) { m_useProxy = enabled; }
    bool IsProxyEnabled() const { return m_useProxy; }
    HRESULT SetProxy(bool autoDetect, const wchar_t* autoConfigUrl, const wchar_t* server, DWORD port,
                     const wchar_t* user, const wchar_t* password);
    HRESULT ApplyProxy(HINTERNET request);
    HRESULT SetProxyCredentials(HINTERNET request);
    // 1 = NTLM, any other value = Basic.
    void SetProxyAuthenticationType(DWORD type) { m_proxyAuthType = type; }

    // Requests. verb "GET"/"POST"/"HEAD"...; objectPath is appended to the URL path (null: the URL
    // path itself); headers: extra header lines ("Name: value\r\n"...).
    HRESULT Query(const wchar_t* verb, const wchar_t* objectPath, const wchar_t* headers, const void* body,
                  DWORD bodySize, const void* sendData, DWORD sendDataSize, RequestId* id);
    HRESULT PostRequest(const wchar_t* objectPath, const wchar_t* headers, const std::string& body, RequestId* id);
    HRESULT GetRequest(const wchar_t* headers, RequestId* id);
    HRESULT GetRequest(const std::string& body, RequestId* id);
    HRESULT GetStatus(RequestId id, DWORD* status);
    HRESULT CloseRequest(RequestId id);
    RequestId FindRequest(RequestId id);
    HINTERNET RequestHandle(RequestId id) { return reinterpret_cast<HINTERNET>(FindRequest(id)); }
    // name: plain header name ("Last-Modified"); a trailing ":" is accepted and dropped.
    HRESULT GetHeaderText(RequestId id, const wchar_t* name, std::wstring& text);
    // 64-bit: files of 4 GiB and more.
    HRESULT GetContentLength(RequestId id, std::uint64_t* length);
    HRESULT QueryHeaderBytes(RequestId id, DWORD infoLevel, const wchar_t* name, std::vector<unsigned char>& bytes);

    // Switches that nothing in the launcher sets; the tests and other programs of the library may.
    void SetSendIdentityHeaders(bool send) { m_sendIdentityHeaders = send; }
    void SetAsyncListener(std::shared_ptr<IWinHttpListener> listener);
    void SetPinningHookOverride(std::shared_ptr<CPinningHook> hook);

    // For the status callback and the tests.
    // refuse (optional): set when the host is white-listed, pins are required and no hook can be
    // made; the request must not go out.
    std::shared_ptr<CPinningHook> GetPinningHook(bool* refuse = nullptr);
    bool IsSecure() const { return m_secure; }
    bool IsNotPinned() const { return m_notPinned; }
    // The last Query failed because the certificate check refused the server (its WinHTTP failure
    // is then 12017, operation cancelled); cleared by the next Query.
    bool LastRequestPinRefused() const { return m_lastPinRefused; }
    const std::wstring& UserAgent() const { return m_userAgent; }
    const std::wstring& Host() const { return m_host; }
    const std::wstring& UrlPath() const { return m_urlPath; }
    DWORD Port() const { return m_port; }
    bool IsInitialized() const { return m_initialized; }
    size_t OpenRequestCount() { return m_session ? m_session->Count() : 0; }
    // The named proxy the WinHTTP session was opened with ("" = none).
    const std::wstring& SessionProxy() const { return m_sessionProxy; }
    HINTERNET ConnectionHandle() const { return m_connection; }

protected:
    HRESULT OpenSession();
    // WinHttpOpen without a bypass list; null with the last error set on failure.
    virtual HINTERNET OpenInternetSession(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxy,
                                          DWORD flags);
    // A new hook for one request; null when it cannot be made.
    virtual std::shared_ptr<CPinningHook> CreatePinningHook();

private:
    HRESULT CloseRequestEntry(CWinHttpSession::Table::value_type& entry);
    void CloseAllRequests();
    void CloseHandles();
    std::wstring ManualProxyText() const;
    HRESULT FollowProxyInSession();
    HRESULT ApplyProxyFromUrl(HINTERNET request, DWORD flags, DWORD autoDetectFlags, const wchar_t* scriptUrl);
    void AddIdentityHeaders(HINTERNET request, const std::wstring& requestIdText);

    bool m_asynchronous = false;
    bool m_lateCallbacks = false;
    bool m_useProxy = false;
    bool m_skipAutoDetect = false;
    bool m_disableKeepAlive = false;
    bool m_proxyAutoDetect = false;
    bool m_proxyAutoConfig = false;
    bool m_manualProxy = false;
    bool m_setResolveTimeout = true;
    bool m_sendIdentityHeaders = false;
    bool m_notPinned = false;
    bool m_lastPinRefused = false;
    std::wstring m_host;
    std::wstring m_userAgent;
    std::wstring m_urlPath;
    std::wstring m_autoConfigUrl;
    std::wstring m_proxyPassword;
    std::wstring m_proxyUser;
    std::wstring m_proxyServer;
    std::wstring m_userAgentSuffix;
    DWORD m_proxyPort = 0;
    DWORD m_proxyAuthType = 0;
    DWORD m_port = 80;
    DWORD m_timeout = 2;
    std::wstring m_machineId;
    bool m_closing = false;
    HINTERNET m_sessionHandle = nullptr;
    HINTERNET m_connection = nullptr;
    bool m_secure = false;
    bool m_tls12Only = true;
    std::shared_ptr<IWinHttpListener> m_listener;
    std::shared_ptr<CPinningHook> m_hookOverride;
    qkCriticalSection m_lock;
    std::shared_ptr<CWinHttpSession> m_session;
    std::shared_ptr<CCloseEvent> m_closeEvent;
    bool m_initialized = false;
    DWORD m_securityFlagBits = 0;
    std::wstring m_sessionProxy;
};

} // namespace Jux
