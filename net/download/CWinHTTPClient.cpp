#include "net/download/CWinHTTPClient.h"

#include "common/errors/qkLog.h"
#include "net/download/DownloadJson.h"
#include "net/download/ManifestProxy.h"

#include <cwchar>
#include <vector>

namespace vek {

namespace {

// The answer's Last-Modified text, read each round of the response loop: one header query into a
// buffer of its own (a date is 29 characters), no allocation. Empty when the answer has none.
class LastModified {
public:
    void Read(HINTERNET request)
    {
        DWORD size = sizeof(m_text) - sizeof(wchar_t);
        if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_LAST_MODIFIED, WINHTTP_HEADER_NAME_BY_INDEX, m_text, &size,
                                  WINHTTP_NO_HEADER_INDEX)) {
            m_length = size / sizeof(wchar_t);
            m_long.clear();
        } else if (::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            ReadLong(request, size);
        } else {
            m_length = 0;
            m_long.clear();
        }
    }
    bool Empty() const { return m_length == 0; }
    bool operator!=(const LastModified& other) const
    {
        return m_length != other.m_length || std::wmemcmp(Text(), other.Text(), m_length) != 0;
    }

private:
    void ReadLong(HINTERNET request, DWORD size)
    {
        m_long.assign(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(m_long.size() * sizeof(wchar_t));
        m_length = ::WinHttpQueryHeaders(request, WINHTTP_QUERY_LAST_MODIFIED, WINHTTP_HEADER_NAME_BY_INDEX,
                                         m_long.data(), &size, WINHTTP_NO_HEADER_INDEX)
                       ? size / sizeof(wchar_t)
                       : 0;
    }
    const wchar_t* Text() const { return m_long.empty() ? m_text : m_long.data(); }

    wchar_t m_text[64] = {};
    std::wstring m_long;
    DWORD m_length = 0;
};

} // namespace

CWinHTTPClient::CWinHTTPClient() = default;
CWinHTTPClient::~CWinHTTPClient() = default;

void CWinHTTPClient::SetShouldExit(bool value)
{
    std::lock_guard<std::mutex> lock(m_exitLock);
    m_ShouldExit = value;
}

bool CWinHTTPClient::ShouldExit()
{
    std::lock_guard<std::mutex> lock(m_exitLock);
    return m_ShouldExit;
}

void CWinHTTPClient::LoadProxySettings(const nlohmann::json* node, const std::wstring& address)
{
    bool given = false;
    m_server.clear();
    m_autoConfigUrl.clear();
    m_user.clear();
    m_password.clear();
    m_encryptedPassword.clear();
    m_autoDetect = false;
    m_port = 0;
    m_passwordEncrypted = false;
    if (node != nullptr && node->is_object()) {
        std::wstring server = JsonWString(*node, "server");
        if (!server.empty()) {
            m_server = server;
            m_port = GetProxyPort(*node, address);
            given = true;
        }
        std::wstring autoConfig = JsonWString(*node, "autoconfig_url");
        if (!autoConfig.empty()) {
            m_autoConfigUrl = autoConfig;
            given = true;
        }
        const nlohmann::json* autoDetect = JsonMember(*node, "autodetect");
        if (autoDetect != nullptr && autoDetect->is_boolean()) {
            m_autoDetect = autoDetect->get<bool>();
            given = given || m_autoDetect;
        }
        if (JsonHas(*node, "user")) {
            m_user = JsonWString(*node, "user");
            if (JsonHas(*node, "password")) {
                const nlohmann::json* encrypted = JsonMember(*node, "password_encrypted");
                if (encrypted != nullptr && encrypted->is_boolean() && encrypted->get<bool>()) {
                    m_encryptedPassword = JsonWString(*node, "password");
                    m_passwordEncrypted = true;
                } else {
                    m_password = JsonWString(*node, "password");
                }
            }
        }
    }
    m_proxyGiven = given;
}

void CWinHTTPClient::ApplyProxySettings()
{
    if (!m_proxyGiven) {
        SetProxyEnabled(false);
        return;
    }
    auto text = [](const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); };
    if (m_passwordEncrypted) {
        DecryptProxyPassword(m_decryptedPassword, m_encryptedPassword);
        SetProxy(m_autoDetect, text(m_autoConfigUrl), text(m_server), m_port, text(m_user), m_decryptedPassword.Get());
        m_decryptedPassword.Wipe();
    } else {
        SetProxy(m_autoDetect, text(m_autoConfigUrl), text(m_server), m_port, text(m_user), text(m_password));
    }
}

HRESULT CWinHTTPClient::GetRedirectLocation(HINTERNET request, std::wstring& address)
{
    DWORD length = 0;
    if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &length,
                              WINHTTP_NO_HEADER_INDEX) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) {
        DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Unable to get length for WINHTTP_QUERY_LOCATION with error %d", error);
        return HRESULT_FROM_WIN32(error);
    }
    std::vector<wchar_t> buffer(length / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Unable to read WINHTTP_QUERY_LOCATION with error %d", error);
        return HRESULT_FROM_WIN32(error);
    }
    address.assign(buffer.data());
    return S_OK;
}

HRESULT CWinHTTPClient::GetResponse(RequestId request, HTTPDownloadData* stream, IDownloadProgressSink* sink)
{
    // The launcher's clients are always opened synchronously (Initialize with false).
    if (stream == nullptr) {
        QK_LOG_ERROR(L"Invalid stream");
        return E_INVALIDARG;
    }
    HINTERNET handle = RequestHandle(request);
    if (handle == nullptr) {
        QK_LOG_ERROR(L"Invalid handle");
        return E_UNEXPECTED;
    }
    try {
        std::vector<unsigned char> buffer;
        LastModified first, current;
        first.Read(handle);
        for (;;) {
            if (ShouldExit()) {
                QK_LOG_INFO(L"m_ShouldExit == true, leaving GetRepsonse()");
                return HRESULT_FROM_WIN32(ERROR_CANCELLED);
            }
            // Without a first text the comparison can never fail: no query then.
            if (!first.Empty())
                current.Read(handle);
            if (!first.Empty() && !current.Empty() && first != current) {
                stream->SetSize(0);
                return HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR);
            }
            DWORD available = 0;
            if (!::WinHttpQueryDataAvailable(handle, &available)) {
                DWORD error = ::GetLastError();
                QK_LOG_ERROR(L"WinHttpQueryDataAvailable failed: %lu", error);
                return HRESULT_FROM_WIN32(error);
            }
            if (available == 0) {
                QK_LOG_INFO(L"WinHttpQueryDataAvailable returns that 0 bytes available");
                return S_OK;
            }
            if (available > buffer.size()) {
                try {
                    buffer.resize(available);
                } catch (const std::bad_alloc&) {
                    QK_LOG_ERROR(L"out of memory in GetRepsonse()");
                    return E_OUTOFMEMORY;
                }
            }
            if (ShouldExit()) {
                QK_LOG_INFO(L"m_ShouldExit == true, leaving GetRepsonse(), hr=0x%08X",
                            HRESULT_FROM_WIN32(ERROR_CANCELLED));
                return HRESULT_FROM_WIN32(ERROR_CANCELLED);
            }
            DWORD read = 0;
            if (!::WinHttpReadData(handle, buffer.data(), available, &read)) {
                DWORD error = ::GetLastError();
                QK_LOG_ERROR(L"WinHttpReadData failed: %lu", error);
                return HRESULT_FROM_WIN32(error);
            }
            if (read == 0) {
                QK_LOG_INFO(L"WinHttpReadData returned 0 bytes");
                return S_OK;
            }
            // Progress counts only bytes that reached the disk.
            if (!stream->Write(buffer.data(), read)) {
                DWORD error = ::GetLastError();
                HRESULT hr = error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
                QK_LOG_ERROR(L"Unable to write data on disk, hr=0x%08X", hr);
                return hr;
            }
            if (sink != nullptr)
                sink->OnBytesWritten(read);
        }
    } catch (...) {
        QK_LOG_ERROR(L"Exception is caught in GetResponse");
        return E_UNEXPECTED;
    }
}

} // namespace vek
