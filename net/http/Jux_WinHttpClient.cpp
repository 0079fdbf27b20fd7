// CWinHttpClient: session, connection, open and close.
#include "net/http/Jux_WinHttpClient.h"
#include "common/base/qkLastError.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/system/qkOSInfo.h"
#include "net/http/Jux_CertificateCheck.h"
#include "net/http/Jux_ProductKey.h"
#include "net/http/Jux_ProxySettings.h"
#include "net/http/Jux_UserAgentParts.h"
#include "net/http/Jux_WinHttpRequest.h"

#include <cwchar>
#include <new>

namespace Jux {
namespace {

constexpr DWORD kTls12 = 0x800; // WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2
constexpr DWORD kTls10To12 = 0xA80;
constexpr DWORD kTls10To11 = 0x280;
constexpr DWORD kTls10 = 0x80;

} // namespace

CWinHttpClient::CWinHttpClient() = default;

CWinHttpClient::~CWinHttpClient()
{
    if (m_initialized) {
        if (m_closeEvent)
            m_closeEvent->Set();
        m_closing = true;
        Close();
        if (m_lateCallbacks && !WaitForRequests(10, 30))
            QK_TRACE(L"requests still open at destruction");
    }
}

HRESULT CWinHttpClient::IsProxyConfiguredInSettings(bool* configured)
{
    // Scratch fields: the client's own stay as they are.
    ProxyFields scratch;
    const HRESULT hr = ReadProxySettings(scratch);
    if (configured)
        *configured = scratch.useProxy;
    return hr;
}

HRESULT CWinHttpClient::LoadProxyFromSettings()
{
    ProxyFields fields;
    fields.useProxy = m_useProxy;
    fields.skipAutoDetect = m_skipAutoDetect;
    fields.disableKeepAlive = m_disableKeepAlive;
    fields.autoDetect = m_proxyAutoDetect;
    fields.autoConfig = m_proxyAutoConfig;
    fields.manual = m_manualProxy;
    fields.autoConfigUrl = m_autoConfigUrl;
    fields.password = m_proxyPassword;
    fields.user = m_proxyUser;
    fields.server = m_proxyServer;
    fields.port = m_proxyPort;
    fields.authenticationType = m_proxyAuthType;
    const HRESULT hr = ReadProxySettings(fields);
    m_useProxy = fields.useProxy;
    m_proxyAutoDetect = fields.autoDetect;
    m_proxyAutoConfig = fields.autoConfig;
    m_manualProxy = fields.manual;
    m_autoConfigUrl.swap(fields.autoConfigUrl);
    m_proxyPassword.swap(fields.password);
    m_proxyUser.swap(fields.user);
    m_proxyServer.swap(fields.server);
    m_proxyPort = fields.port;
    m_proxyAuthType = fields.authenticationType;
    return hr;
}

HRESULT CWinHttpClient::Initialize(const wchar_t* userAgent, const wchar_t* url, DWORD timeoutSeconds,
                                   bool asynchronous)
{
    std::wstring host;
    URL_COMPONENTS parts{};
    qkExceptionInfo info;
    try {
        if (!url)
            return E_INVALIDARG;
        std::wstring work(url);
        std::vector<wchar_t> hostBuffer(work.size() + 1), pathBuffer(work.size() + 1);
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = hostBuffer.data();
        parts.dwHostNameLength = static_cast<DWORD>(hostBuffer.size());
        parts.lpszUrlPath = pathBuffer.data();
        parts.dwUrlPathLength = static_cast<DWORD>(pathBuffer.size());
        // Extra info is not asked for, so the URL path keeps its query text.
        if (!WinHttpCrackUrl(work.c_str(), static_cast<DWORD>(work.size()), 0, &parts)) {
            HRESULT hr = qkLib::LastErrorResult();
            QK_TRACE(L"WinHttpCrackUrl(%ls) failed: 0x%08lX", url, static_cast<unsigned long>(hr));
            return hr;
        }
        host.assign(parts.lpszHostName, parts.dwHostNameLength);
        m_urlPath.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    }
    QK_CATCH(info)
    if (info.HasError())
        return E_OUTOFMEMORY;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return Open(userAgent, host.c_str(), parts.nPort, timeoutSeconds, secure, asynchronous);
}

HRESULT CWinHttpClient::Open(const wchar_t* userAgent, const wchar_t* host, DWORD port, DWORD timeoutSeconds,
                             bool secure, bool asynchronous)
{
    m_initialized = false;
    qkScopedLock lock(m_lock);
    m_asynchronous = asynchronous;
    qkExceptionInfo info;
    try {
        if (!m_session && !m_closeEvent) {
            m_session = std::make_shared<CWinHttpSession>();
            m_closeEvent = std::make_shared<CCloseEvent>();
        }
        if (m_session->Count() != 0) {
            CloseAllRequests();
            CloseHandles();
        }
        if (m_lateCallbacks && !WaitForRequests(1000, 10000))
            QK_TRACE(L"requests of the previous open remain");
        m_lateCallbacks = asynchronous;

        // The not-pinned mark belongs to the host and scheme it was made for: a plain-HTTP request
        // or a host off the white list must not switch the checks off for another server.
        const std::wstring newHost = host ? host : L"";
        if (m_notPinned && (secure != m_secure || _wcsicmp(newHost.c_str(), m_host.c_str()) != 0))
            m_notPinned = false;
        m_host = newHost;
        if (userAgent) {
            m_userAgent = userAgent;
            if (!m_userAgentSuffix.empty())
                m_userAgent += L"//" + m_userAgentSuffix;
        } else {
            std::wstring text;
            if (!ReadProductString(nullptr, L"USERAGENT", text)) {
                QK_TRACE(L"no USERAGENT value; default user agent");
                text = L"Tolk/0.0.0.0/Win";
            }
            // The library's cached version record: the real version whatever the manifest says.
            const RTL_OSVERSIONINFOEXW& os = qkOSInfo::GetVersionInfo();
            m_userAgent = UserAgentParts(text).Complete(m_userAgentSuffix, os.dwMajorVersion, os.dwMinorVersion,
                                                        os.dwBuildNumber);
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        QK_TRACE(L"%ls", info.GetFullText());
        return E_OUTOFMEMORY;
    }
    m_port = port;
    m_timeout = timeoutSeconds;
    m_secure = secure;
    m_useProxy = false;
    m_tls12Only = true;

    HRESULT hr = OpenSession();
    if (FAILED(hr)) {
        QK_TRACE(L"OpenSession failed: 0x%08lX", static_cast<unsigned long>(hr));
        return hr;
    }
    hr = LoadProxyFromSettings();
    if (FAILED(hr)) {
        QK_TRACE(L"proxy from settings failed: 0x%08lX", static_cast<unsigned long>(hr));
        m_useProxy = false;
    }
    m_initialized = true;
    return S_OK;
}

std::wstring CWinHttpClient::ManualProxyText() const
{
    if (m_proxyPort == 0)
        return m_proxyServer;
    return m_proxyServer + L":" + std::to_wstring(m_proxyPort);
}

HRESULT CWinHttpClient::OpenSession()
{
    // The earlier connection goes first: a failure below must not leave it open.
    if (m_connection && !WinHttpCloseHandle(m_connection))
        QK_TRACE(L"closing the old connection failed");
    m_connection = nullptr;
    if (m_sessionHandle && !WinHttpCloseHandle(m_sessionHandle))
        QK_TRACE(L"closing the old session failed");
    m_sessionHandle = nullptr;

    if (!m_closeEvent->Create()) {
        HRESULT hr = qkLib::LastErrorResult();
        QK_TRACE(L"close event: 0x%08lX", static_cast<unsigned long>(hr));
        return hr;
    }
    m_closeEvent->Reset();

    // The request-level proxy option is what selects the proxy on Windows; Wine ignores it and
    // honours only a named proxy given here, so the manual proxy is given to both.
    std::wstring proxy = (m_useProxy && m_manualProxy && !m_proxyServer.empty()) ? ManualProxyText() : L"";
    m_sessionHandle = OpenInternetSession(
        m_userAgent.c_str(), proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
        proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), m_asynchronous ? WINHTTP_FLAG_ASYNC : 0);
    if (!m_sessionHandle) {
        HRESULT hr = qkLib::LastErrorResult();
        QK_TRACE(L"WinHttpOpen failed: 0x%08lX", static_cast<unsigned long>(hr));
        return hr;
    }
    m_sessionProxy = proxy;

    DWORD ms = m_timeout == 0xFFFFFFFF ? 0xFFFFFFFF : m_timeout * 1000;
    // The receive-response wait is bounded by the same value: otherwise a server that stalls
    // before its headers holds the caller for WinHTTP's own default (Wine applies only this one
    // while waiting for headers).
    for (DWORD option : {WINHTTP_OPTION_CONNECT_TIMEOUT, WINHTTP_OPTION_SEND_TIMEOUT, WINHTTP_OPTION_RECEIVE_TIMEOUT,
                         WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT}) {
        if (!WinHttpSetOption(m_sessionHandle, option, &ms, sizeof ms)) {
            QK_TRACE(L"time-out option %lu failed: %lu", option, GetLastError());
            break;
        }
    }

    DWORD protocols = m_tls12Only ? kTls12 : kTls10To12;
    for (;;) {
        if (WinHttpSetOption(m_sessionHandle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
            break;
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER && !m_tls12Only && protocols != kTls10) {
            protocols = protocols == kTls10To12 ? kTls10To11 : kTls10;
            continue;
        }
        QK_TRACE(L"secure protocols 0x%lX failed: %lu", protocols, error);
        WinHttpCloseHandle(m_sessionHandle);
        m_sessionHandle = nullptr;
        return HRESULT_FROM_WIN32(error);
    }

    if (m_setResolveTimeout && !WinHttpSetOption(m_sessionHandle, WINHTTP_OPTION_RESOLVE_TIMEOUT, &ms, sizeof ms)) {
        QK_TRACE(L"resolve time-out failed: %lu", GetLastError());
    }

    m_connection = WinHttpConnect(m_sessionHandle, m_host.c_str(), static_cast<INTERNET_PORT>(m_port & 0xFFFF), 0);
    if (!m_connection) {
        DWORD error = GetLastError();
        QK_TRACE(L"WinHttpConnect(%ls) failed: %lu", m_host.c_str(), error);
        WinHttpCloseHandle(m_sessionHandle);
        m_sessionHandle = nullptr;
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    return S_OK;
}

HINTERNET CWinHttpClient::OpenInternetSession(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxy,
                                              DWORD flags)
{
    return WinHttpOpen(userAgent, accessType, proxy, WINHTTP_NO_PROXY_BYPASS, flags);
}

void CWinHttpClient::CloseAllRequests()
{
    auto session = m_session;
    qkScopedLock lock(session->Lock());
    auto& table = session->Requests();
    for (auto it = table.begin(); it != table.end();) {
        auto current = it++; // the callback may erase the current entry while it is closed
        CloseRequestEntry(*current);
    }
    // Entries whose callback is registered stay until their handle-closing notification.
    for (auto it = table.begin(); it != table.end();) {
        if (!it->second || !it->second->callbackRegistered)
            it = table.erase(it);
        else
            ++it;
    }
}

void CWinHttpClient::CloseHandles()
{
    for (HINTERNET* handle : {&m_connection, &m_sessionHandle}) {
        if (!*handle)
            continue;
        WinHttpSetStatusCallback(*handle, nullptr, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
        if (!WinHttpCloseHandle(*handle))
            QK_TRACE(L"WinHttpCloseHandle failed: %lu", GetLastError());
        *handle = nullptr;
    }
    m_sessionProxy.clear();
}

HRESULT CWinHttpClient::Close()
{
    if (!m_initialized) {
        QK_TRACE(L"not initialized");
        return HRESULT_FROM_WIN32(ERROR_NOT_READY);
    }
    qkScopedLock lock(m_session->Lock());
    CloseAllRequests();
    CloseHandles();
    m_initialized = false;
    return S_OK;
}

bool CWinHttpClient::WaitForRequests(DWORD stepMs, DWORD limitMs)
{
    if (!m_session)
        return true;
    size_t count = m_session->Count();
    DWORD waited = stepMs;
    while (count != 0 && waited < limitMs) {
        QK_TRACE(L"waiting for %zu requests", count);
        Sleep(stepMs);
        waited += stepMs;
        count = m_session->Count();
    }
    return count == 0;
}

void CWinHttpClient::SetAsyncListener(std::shared_ptr<IWinHttpListener> listener)
{
    qkScopedLock lock(m_lock);
    m_listener = std::move(listener);
}

void CWinHttpClient::SetPinningHookOverride(std::shared_ptr<CPinningHook> hook)
{
    qkScopedLock lock(m_lock);
    m_hookOverride = std::move(hook);
}

std::shared_ptr<CPinningHook> CWinHttpClient::CreatePinningHook()
{
    try {
        return std::make_shared<CPinningHook>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<CPinningHook> CWinHttpClient::GetPinningHook(bool* refuse)
{
    if (refuse)
        *refuse = false;
    qkScopedLock lock(m_lock);
    if (m_hookOverride)
        return m_hookOverride;
    if (m_notPinned)
        return nullptr;
    if (!IsHostWhiteListed(m_host)) {
        // Not on the white list: no request of this client is checked from now on.
        m_notPinned = true;
        return nullptr;
    }
    std::shared_ptr<CPinningHook> hook = CreatePinningHook();
    if (hook)
        return hook;
    if (IsPinningEnforced()) {
        // Pins are required for this host: without its check the request does not go out.
        QK_TRACE(L"no pinning hook for %ls; request refused", m_host.c_str());
        if (refuse)
            *refuse = true;
        return nullptr;
    }
    m_notPinned = true;
    return nullptr;
}

} // namespace Jux
