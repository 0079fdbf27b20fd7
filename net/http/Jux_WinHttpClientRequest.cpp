// CWinHttpClient: requests, status and headers.
#include "net/http/Jux_WinHttpClient.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"
#include "net/http/Jux_LocalUserId.h"
#include "net/http/Jux_ProductKey.h"
#include "net/http/Jux_StatusCallback.h"
#include "net/http/Jux_WinHttpRequest.h"

#include <objbase.h>

#include <cwctype>
#include <new>

namespace Jux {
namespace {

HRESULT ErrorResult(DWORD error)
{
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// "%s-%s": the machine id and a fresh GUID as 32 upper-case hexadecimal digits.
HRESULT MakeRequestIdText(const std::wstring& machineId, std::wstring& text)
{
    GUID guid{};
    HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr))
        return hr;
    wchar_t digits[40];
    qkLib::FormatWide(digits, 40, L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                      static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    text = machineId + L"-" + digits;
    return S_OK;
}

constexpr DWORD kAddReplace = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;

} // namespace

HRESULT CWinHttpClient::FollowProxyInSession()
{
    // Wine honours only the session's named proxy: when the manual proxy (or its being switched
    // off) differs from the session's, reopen the session while no request is open on it.
    std::wstring wanted = (m_useProxy && m_manualProxy && !m_proxyServer.empty()) ? ManualProxyText() : L"";
    if (wanted == m_sessionProxy)
        return S_OK;
    if (m_session->Count() != 0) {
        QK_TRACE(L"requests open; the session keeps proxy '%ls'", m_sessionProxy.c_str());
        return S_FALSE;
    }
    return OpenSession();
}

HRESULT CWinHttpClient::Query(const wchar_t* verb, const wchar_t* objectPath, const wchar_t* headers, const void* body,
                              DWORD bodySize, const void* sendData, DWORD sendDataSize, RequestId* id)
{
    if (!m_initialized) {
        QK_TRACE(L"not initialized");
        return HRESULT_FROM_WIN32(ERROR_NOT_READY);
    }
    if (m_closing) {
        // The client is being destroyed: no request, and no success with a request id of 0.
        if (id)
            *id = 0;
        return E_ABORT;
    }
    if (id)
        *id = 0;
    m_lastPinRefused = false;
    if (!m_sessionHandle || !m_connection) {
        QK_TRACE(L"no session or connection");
        return E_UNEXPECTED;
    }
    HRESULT hr = FollowProxyInSession();
    if (FAILED(hr))
        return hr;

    DWORD openFlags = WINHTTP_FLAG_REFRESH | (m_secure ? WINHTTP_FLAG_SECURE : 0);
    std::wstring path, requestIdText;
    qkExceptionInfo info;
    try {
        path = m_urlPath;
        if (objectPath)
            path += objectPath;
        if (m_machineId.empty()) {
            if (!ReadProductString(nullptr, L"PRODUCTID", m_machineId) || m_machineId.empty())
                m_machineId = L"Tolk";
        }
        hr = MakeRequestIdText(m_machineId, requestIdText);
        if (FAILED(hr))
            return hr;
    }
    QK_CATCH(info)
    if (info.HasError())
        return E_OUTOFMEMORY;

    HINTERNET request = WinHttpOpenRequest(m_connection, verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, openFlags);
    if (!request) {
        DWORD error = GetLastError();
        QK_TRACE(L"WinHttpOpenRequest(%ls %ls) failed: %lu", verb, path.c_str(), error);
        return ErrorResult(error);
    }

    if (m_securityFlagBits != 0) {
        DWORD flags = (m_securityFlagBits & 2)
                          ? (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                             SECURITY_FLAG_IGNORE_CERT_CN_INVALID)
                          : 0;
        if (m_securityFlagBits & 1)
            flags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
            QK_TRACE(L"security flags failed: %lu", GetLastError());
        }
    }

    std::shared_ptr<CPinningHook> hook;
    bool refuse = false;
    if (m_secure)
        hook = GetPinningHook(&refuse);
    else
        m_notPinned = true;
    if (refuse) {
        WinHttpCloseHandle(request);
        m_lastPinRefused = true;
        return HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED);
    }

    std::shared_ptr<CWinHttpRequest> state;
    qkExceptionInfo stateInfo;
    try {
        state = std::make_shared<CWinHttpRequest>();
        state->session = m_session;
        state->closeEvent = m_closeEvent;
        state->notPinned = m_notPinned;
        state->requestIdText = requestIdText;
        state->handle = request;
    }
    QK_CATCH(stateInfo)
    if (stateInfo.HasError()) {
        WinHttpCloseHandle(request);
        return E_OUTOFMEMORY;
    }
    // The context is there from the start, so that a handle-closing notification of a request
    // closed before its send still finds its state.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state.get());
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        QK_TRACE(L"context option failed: %lu", GetLastError());
    }

    bool registerCallback = false;
    DWORD callbackFlags = 0;
    {
        qkScopedLock lock(m_lock);
        if (m_asynchronous) {
            if (!m_listener) {
                QK_TRACE(L"asynchronous client without a listener");
                WinHttpCloseHandle(request);
                return E_INVALIDARG;
            }
            state->listener = m_listener;
            state->hook = hook;
            registerCallback = true;
            callbackFlags = WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS;
        } else {
            state->hook = hook;
            // Unpinned requests too: a redirect may take them to a white-listed host.
            registerCallback = true;
            callbackFlags = kSyncCallbackFlags;
        }
    }
    if (registerCallback) {
        if (WinHttpSetStatusCallback(request, StatusCallback, callbackFlags, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            DWORD error = GetLastError();
            QK_TRACE(L"WinHttpSetStatusCallback failed: %lu", error);
            WinHttpCloseHandle(request);
            return ErrorResult(error);
        }
        state->callbackRegistered = true;
        m_lateCallbacks = true;
    }

    const RequestId requestId = reinterpret_cast<RequestId>(request);
    qkExceptionInfo tableInfo;
    try {
        if (sendDataSize != 0) {
            auto bytes = static_cast<const unsigned char*>(sendData);
            state->sendData.assign(bytes, bytes + sendDataSize);
        }
        qkScopedLock lock(m_session->Lock());
        m_session->Requests()[requestId] = state;
    }
    QK_CATCH(tableInfo)
    if (tableInfo.HasError()) {
        QK_TRACE(L"%ls", tableInfo.GetFullText());
        state->closing = true;
        WinHttpCloseHandle(request);
        return E_OUTOFMEMORY;
    }

    ApplyProxy(request); // its failure leaves the request as it is

    if (m_disableKeepAlive && m_proxyAuthType == 1) {
        DWORD feature = WINHTTP_DISABLE_KEEP_ALIVE;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature)) {
            QK_TRACE(L"keep-alive option failed: %lu", GetLastError());
        }
    }

    if (headers) {
        if (!WinHttpAddRequestHeaders(request, headers, static_cast<DWORD>(-1L), kAddReplace)) {
            DWORD error = GetLastError();
            QK_TRACE(L"WinHttpAddRequestHeaders failed: %lu", error);
            CloseRequest(requestId);
            return ErrorResult(error);
        }
    }

    if (m_sendIdentityHeaders && m_secure)
        AddIdentityHeaders(request, requestIdText);
    else
        QK_TRACE(L"identity headers not sent");

    const DWORD total = bodySize + sendDataSize;
    const BOOL sent = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                         state->sendData.empty() ? WINHTTP_NO_REQUEST_DATA : state->sendData.data(),
                                         sendDataSize, total, context);
    const DWORD sendError = sent ? ERROR_SUCCESS : GetLastError();
    if (state->pinRefused) {
        // The check closed the handle inside the send; whatever the send reported (Windows fails
        // it, Wine may not), the request did not go out to a trusted server. The mark stays on the
        // client so that the caller can tell a refused certificate from a network failure.
        QK_TRACE(L"certificate refused for %ls", m_host.c_str());
        m_lastPinRefused = true;
        CloseRequest(requestId);
        return HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED);
    }
    if (!sent) {
        QK_TRACE(L"WinHttpSendRequest failed: %lu", sendError);
        CloseRequest(requestId);
        return ErrorResult(sendError);
    }

    hr = S_OK;
    if (bodySize != 0) {
        DWORD written = 0;
        if (!WinHttpWriteData(request, body, bodySize, m_asynchronous ? nullptr : &written)) {
            DWORD error = GetLastError();
            QK_TRACE(L"WinHttpWriteData failed: %lu", error);
            hr = ErrorResult(error);
            CloseRequest(requestId);
        }
    }
    if (id)
        *id = requestId;
    return hr;
}

void CWinHttpClient::AddIdentityHeaders(HINTERNET request, const std::wstring& requestIdText)
{
    std::wstring mid, userId;
    if (!ReadProductString(L"Identifiers", L"MID", mid)) {
        QK_TRACE(L"no MID; identity headers skipped");
        return;
    }
    if (!GetLocalUserId(userId)) {
        QK_TRACE(L"no local user id; identity headers skipped");
        return;
    }
    std::wstring text = L"X-Talv-Local-User-Id: " + userId + L"\r\nX-Talv-Machine-Id: " + mid +
                        L"\r\nX-Talv-Request-Id: " + requestIdText + L"\r\n";
    if (!WinHttpAddRequestHeaders(request, text.c_str(), static_cast<DWORD>(text.size()), kAddReplace)) {
        QK_TRACE(L"identity headers failed: %lu", GetLastError());
    }
}

HRESULT CWinHttpClient::PostRequest(const wchar_t* objectPath, const wchar_t* headers, const std::string& body,
                                    RequestId* id)
{
    return Query(L"POST", objectPath, headers, body.data(), static_cast<DWORD>(body.size()), nullptr, 0, id);
}

HRESULT CWinHttpClient::GetRequest(const wchar_t* headers, RequestId* id)
{
    return Query(L"GET", nullptr, headers, nullptr, 0, nullptr, 0, id);
}

HRESULT CWinHttpClient::GetRequest(const std::string& body, RequestId* id)
{
    return Query(L"GET", nullptr, nullptr, body.data(), static_cast<DWORD>(body.size()), nullptr, 0, id);
}

HRESULT CWinHttpClient::GetStatus(RequestId id, DWORD* status)
{
    if (m_asynchronous) {
        QK_TRACE(L"asynchronous client");
        return E_UNEXPECTED;
    }
    HINTERNET request = RequestHandle(id);
    if (!request || !status)
        return E_INVALIDARG;
    if (!WinHttpReceiveResponse(request, nullptr)) {
        DWORD error = GetLastError();
        QK_TRACE(L"WinHttpReceiveResponse failed: %lu", error);
        return ErrorResult(error);
    }
    DWORD size = sizeof *status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX)) {
        DWORD error = GetLastError();
        QK_TRACE(L"status query failed: %lu", error);
        return ErrorResult(error);
    }
    return S_OK;
}

RequestId CWinHttpClient::FindRequest(RequestId id)
{
    if (!m_initialized || !m_session) {
        QK_TRACE(L"not initialized");
        return 0;
    }
    qkScopedLock lock(m_session->Lock());
    auto& table = m_session->Requests();
    if (table.find(id) == table.end()) {
        QK_TRACE(L"unknown request %zu", static_cast<size_t>(id));
        return 0;
    }
    return id;
}

HRESULT CWinHttpClient::CloseRequest(RequestId id)
{
    if (!m_initialized) {
        QK_TRACE(L"not initialized");
        return HRESULT_FROM_WIN32(ERROR_NOT_READY);
    }
    auto session = m_session;
    qkScopedLock lock(session->Lock());
    auto& table = session->Requests();
    auto it = table.find(id);
    if (it == table.end())
        return S_FALSE;
    auto entry = *it; // the callback may erase the table's entry while the handle closes
    HRESULT hr = CloseRequestEntry(entry);
    if (!entry.second || !entry.second->callbackRegistered)
        table.erase(id);
    return hr;
}

HRESULT CWinHttpClient::CloseRequestEntry(CWinHttpSession::Table::value_type& entry)
{
    auto state = entry.second;
    if (entry.first == 0 || !state) {
        QK_TRACE(L"empty entry");
        return S_FALSE;
    }
    if (state->closing.exchange(true)) {
        QK_TRACE(L"request already closing");
        return S_FALSE;
    }
    if (!WinHttpCloseHandle(reinterpret_cast<HINTERNET>(entry.first))) {
        QK_TRACE(L"WinHttpCloseHandle failed: %lu", GetLastError());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CWinHttpClient::QueryHeaderBytes(RequestId id, DWORD infoLevel, const wchar_t* name,
                                         std::vector<unsigned char>& bytes)
{
    HINTERNET request = RequestHandle(id);
    if (!request)
        return E_INVALIDARG;
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, infoLevel, name, WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        DWORD error = GetLastError();
        QK_TRACE(L"header %ls size query: %lu", name ? name : L"", error);
        return ErrorResult(error);
    }
    try {
        bytes.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!WinHttpQueryHeaders(request, infoLevel, name, bytes.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
        DWORD error = GetLastError();
        QK_TRACE(L"header %ls query: %lu", name ? name : L"", error);
        bytes.clear();
        return ErrorResult(error);
    }
    bytes.resize(size);
    return S_OK;
}

HRESULT CWinHttpClient::GetHeaderText(RequestId id, const wchar_t* name, std::wstring& text)
{
    if (!name)
        return E_INVALIDARG;
    // Wine fails WINHTTP_QUERY_CUSTOM for a name with a trailing colon: query the plain name.
    std::wstring plain(name);
    while (!plain.empty() && plain.back() == L':')
        plain.pop_back();
    std::vector<unsigned char> bytes;
    HRESULT hr = QueryHeaderBytes(id, WINHTTP_QUERY_CUSTOM, plain.c_str(), bytes);
    if (FAILED(hr))
        return hr;
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        QK_TRACE(L"header %ls has %zu bytes", plain.c_str(), bytes.size());
        return HRESULT_FROM_WIN32(ERROR_INCORRECT_SIZE);
    }
    try {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CWinHttpClient::GetContentLength(RequestId id, std::uint64_t* length)
{
    if (!length)
        return E_INVALIDARG;
    std::wstring text;
    HRESULT hr = GetHeaderText(id, L"Content-Length", text);
    if (hr == HRESULT_FROM_WIN32(ERROR_INCORRECT_SIZE))
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (FAILED(hr))
        return hr;
    // Decimal digits only, and no overflow of 64 bits.
    std::uint64_t value = 0;
    size_t digits = 0;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t') {
            if (digits)
                break;
            continue;
        }
        if (c < L'0' || c > L'9')
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        std::uint64_t d = static_cast<std::uint64_t>(c - L'0');
        if (value > (UINT64_MAX - d) / 10)
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        value = value * 10 + d;
        ++digits;
    }
    if (digits == 0)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    *length = value;
    return S_OK;
}

} // namespace Jux
