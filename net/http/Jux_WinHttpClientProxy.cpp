// CWinHttpClient: proxy configuration applied per request.
#include "net/http/Jux_WinHttpClient.h"

#include "common/base/qkTrace.h"

#include <new>

namespace Jux {

HRESULT CWinHttpClient::SetProxy(bool autoDetect, const wchar_t* autoConfigUrl, const wchar_t* server, DWORD port,
                                 const wchar_t* user, const wchar_t* password)
{
    try {
        // Absent or empty arguments keep the previous values.
        std::wstring url = autoConfigUrl && *autoConfigUrl ? autoConfigUrl : m_autoConfigUrl;
        std::wstring host = server && *server ? server : m_proxyServer;
        std::wstring name = user && *user ? user : m_proxyUser;
        std::wstring secret = password && *password ? password : m_proxyPassword;
        m_proxyAutoDetect = autoDetect;
        if (autoConfigUrl && *autoConfigUrl) {
            m_autoConfigUrl.swap(url);
            m_proxyAutoConfig = true;
        }
        if (server && *server) {
            m_proxyServer.swap(host);
            m_proxyPort = port;
            m_manualProxy = true;
        }
        m_proxyUser.swap(name);
        m_proxyPassword.swap(secret);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_useProxy = true;
    return S_OK;
}

HRESULT CWinHttpClient::ApplyProxyFromUrl(HINTERNET request, DWORD flags, DWORD autoDetectFlags,
                                          const wchar_t* scriptUrl)
{
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = flags;
    options.dwAutoDetectFlags = autoDetectFlags;
    options.lpszAutoConfigUrl = scriptUrl;
    options.fAutoLogonIfChallenged = TRUE;
    std::wstring target;
    try {
        target = std::wstring(m_secure ? L"https" : L"http") + L"://" + m_host + m_urlPath;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!m_sessionHandle) {
        QK_TRACE(L"no session");
        return E_UNEXPECTED;
    }
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(m_sessionHandle, target.c_str(), &options, &info)) {
        QK_TRACE(L"WinHttpGetProxyForUrl(%ls) failed: %lu", target.c_str(), GetLastError());
        return S_FALSE; // the next method is tried
    }
    HRESULT hr = S_OK;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info)) {
        DWORD error = GetLastError();
        QK_TRACE(L"proxy option failed: %lu", error);
        hr = HRESULT_FROM_WIN32(error);
    }
    if (info.lpszProxy)
        GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass)
        GlobalFree(info.lpszProxyBypass);
    return hr;
}

HRESULT CWinHttpClient::ApplyProxy(HINTERNET request)
{
    if (!m_useProxy)
        return S_OK;
    if (FindRequest(reinterpret_cast<RequestId>(request)) == 0) {
        QK_TRACE(L"unknown request");
        return E_INVALIDARG;
    }
    if (m_proxyAutoDetect && !m_skipAutoDetect) {
        HRESULT hr = ApplyProxyFromUrl(request, WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DHCP, nullptr);
        if (hr != S_FALSE)
            return hr;
    }
    if (m_proxyAutoConfig && !m_autoConfigUrl.empty()) {
        HRESULT hr = ApplyProxyFromUrl(request, WINHTTP_AUTOPROXY_CONFIG_URL, 0, m_autoConfigUrl.c_str());
        if (hr != S_FALSE)
            return hr;
    }
    if (m_manualProxy) {
        if (m_proxyServer.empty()) {
            QK_TRACE(L"manual proxy without server");
            return E_FAIL;
        }
        std::wstring text;
        try {
            text = ManualProxyText();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        WINHTTP_PROXY_INFO info{};
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = text.data();
        if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info)) {
            DWORD error = GetLastError();
            QK_TRACE(L"proxy option %ls failed: %lu", text.c_str(), error);
            return HRESULT_FROM_WIN32(error);
        }
        HRESULT hr = SetProxyCredentials(request);
        if (FAILED(hr))
            QK_TRACE(L"proxy credentials failed: 0x%08lX", static_cast<unsigned long>(hr));
        return FAILED(hr) ? hr : S_OK;
    }
    return S_OK;
}

HRESULT CWinHttpClient::SetProxyCredentials(HINTERNET request)
{
    if (m_proxyUser.empty() || m_proxyPassword.empty()) {
        QK_TRACE(L"no proxy credentials");
        return S_FALSE;
    }
    DWORD scheme = m_proxyAuthType == 1 ? WINHTTP_AUTH_SCHEME_NTLM : WINHTTP_AUTH_SCHEME_BASIC;
    if (!WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, m_proxyUser.c_str(), m_proxyPassword.c_str(),
                               nullptr)) {
        DWORD error = GetLastError();
        QK_TRACE(L"WinHttpSetCredentials failed: %lu", error);
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

} // namespace Jux
