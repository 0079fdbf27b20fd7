#include "net/http/Jux_StatusCallback.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "net/http/Jux_CertificateCheck.h"
#include "net/http/Jux_WinHttpRequest.h"

#include <new>
#include <vector>

namespace Jux {
namespace {

void OnHeadersAvailable(HINTERNET handle, CWinHttpRequest& request, const std::shared_ptr<IWinHttpListener>& listener)
{
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        QK_TRACE(L"status query failed: %lu", GetLastError());
        return;
    }
    size = 0;
    if (WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_TRACE(L"raw headers size query failed: %lu", GetLastError());
        return;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        QK_TRACE(L"raw headers query failed: %lu", GetLastError());
        return;
    }
    if (listener)
        listener->OnHeaders(handle, status, text.data());
    (void)request;
    if (!WinHttpQueryDataAvailable(handle, nullptr))
        QK_TRACE(L"WinHttpQueryDataAvailable failed: %lu", GetLastError());
}

void OnDataAvailable(HINTERNET handle, CWinHttpRequest& request, const std::shared_ptr<IWinHttpListener>& listener,
                     const void* info)
{
    if (!info) {
        QK_TRACE(L"no count");
        return;
    }
    DWORD available = *static_cast<const DWORD*>(info);
    if (available == 0) {
        if (listener)
            listener->OnDataComplete(handle);
        return;
    }
    if (available > kMaxAsyncRead) {
        QK_TRACE(L"%lu bytes available, more than one read takes", available);
        return;
    }
    size_t old = request.responseData.size();
    try {
        request.responseData.resize(old + available, 0);
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"out of memory");
        return;
    }
    // The buffer stays put until the read completes: it grows only at the next data-available.
    if (!WinHttpReadData(handle, request.responseData.data() + old, available, nullptr)) {
        QK_TRACE(L"WinHttpReadData failed: %lu", GetLastError());
    }
}

// Pinning is decided again for the host that the redirect reaches: a checked request that leaves
// the white list is reported once and no longer checked; a request that starts unchecked (plain
// HTTP, a host off the list) and reaches a white-listed host is checked there.
void OnRedirect(HINTERNET handle, CWinHttpRequest& request, const wchar_t* url)
{
    if (!request.notPinned) {
        if (request.hook && !request.hook->OnRedirect(url, request.serverAddress)) {
            QK_TRACE(L"redirect leaves the white list; checks off for this request");
            request.notPinned = true;
        }
        return;
    }
    if (request.pinRefused || !IsUrlHostWhiteListed(url))
        return;
    if (!request.hook) {
        try {
            request.hook = std::make_shared<CPinningHook>();
        } catch (const std::bad_alloc&) {
            QK_TRACE(L"no pinning hook for the redirect to %ls", url);
        }
    }
    if (request.hook) {
        QK_TRACE(L"redirect to the white-listed %ls; checks on for this request", url);
        request.notPinned = false;
    } else if (IsPinningEnforced() && !request.closing.exchange(true)) {
        // Pins are required and the check cannot be made: the request does not go on.
        if (!WinHttpCloseHandle(handle))
            QK_TRACE(L"WinHttpCloseHandle failed: %lu", GetLastError());
        request.pinRefused = true;
    }
}

void HandleNotification(HINTERNET handle, DWORD_PTR context, DWORD notification, LPVOID info, DWORD infoLength)
{
    auto* raw = reinterpret_cast<CWinHttpRequest*>(context);
    if (!raw) {
        QK_TRACE(L"notification 0x%lX without context", notification);
        return;
    }
    // Alive here: the state leaves the table only at the handle-closing notification, the last.
    std::shared_ptr<CWinHttpRequest> request = raw->shared_from_this();
    const bool closing = request->closeEvent && request->closeEvent->IsSet();
    std::shared_ptr<IWinHttpListener> listener = request->listener;
    std::shared_ptr<CPinningHook> hook = request->hook;

    switch (notification) {
    case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
        if (info)
            request->serverAddress.assign(static_cast<const wchar_t*>(info));
        break;
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        if (request->notPinned || request->pinRefused) {
            QK_TRACE(L"request not checked");
            break;
        }
        if (hook && !hook->OnCertificateCheck(handle, request->serverAddress, notification, 0)) {
            QK_TRACE(L"certificate refused for %ls; closing the request", request->serverAddress.c_str());
            // Once only: a stop may have closed it meanwhile, and its handle value may by now
            // belong to another object.
            if (request->closing.exchange(true))
                QK_TRACE(L"request already closed");
            else if (!WinHttpCloseHandle(handle))
                QK_TRACE(L"WinHttpCloseHandle failed: %lu", GetLastError());
            request->pinRefused = true;
        }
        break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        if (request->session) {
            qkScopedLock lock(request->session->Lock());
            request->session->Requests().erase(reinterpret_cast<RequestId>(handle));
        }
        break;
    case WINHTTP_CALLBACK_STATUS_REDIRECT:
        if (info)
            OnRedirect(handle, *request, static_cast<const wchar_t*>(info));
        break;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
        if (closing)
            break;
        DWORD flags = info && infoLength >= sizeof(DWORD) ? *static_cast<const DWORD*>(info) : 0;
        QK_TRACE(L"secure failure 0x%lX", flags);
        if (listener)
            listener->OnStatus(handle, notification, &flags, sizeof flags);
        if (hook && !request->notPinned &&
            !hook->OnCertificateCheck(handle, request->serverAddress, notification, flags)) {
            QK_TRACE(L"certificate check refused after a secure failure");
        }
        break;
    }
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        if (!closing)
            OnHeadersAvailable(handle, *request, listener);
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        if (!closing)
            OnDataAvailable(handle, *request, listener, info);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        if (closing)
            break;
        if (listener)
            listener->OnReadComplete(handle);
        if (!WinHttpQueryDataAvailable(handle, nullptr))
            QK_TRACE(L"WinHttpQueryDataAvailable failed: %lu", GetLastError());
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        if (closing)
            break;
        WINHTTP_ASYNC_RESULT result{};
        if (info && infoLength >= sizeof result)
            result = *static_cast<const WINHTTP_ASYNC_RESULT*>(info);
        QK_TRACE(L"request error %lu in %zu", result.dwError, static_cast<size_t>(result.dwResult));
        if (listener)
            listener->OnStatus(handle, notification, &result, sizeof result);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (closing)
            break;
        if (listener)
            listener->OnSendComplete(handle);
        if (!WinHttpReceiveResponse(handle, nullptr))
            QK_TRACE(L"WinHttpReceiveResponse failed: %lu", GetLastError());
        break;
    default:
        break;
    }
}

} // namespace

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD notification, LPVOID info, DWORD infoLength)
{
    // Nothing may be thrown back into WinHTTP.
    qkExceptionInfo caught;
    try {
        HandleNotification(handle, context, notification, info, infoLength);
    }
    QK_CATCH(caught)
    if (caught.HasError())
        QK_TRACE(L"notification 0x%lX: %ls", notification, caught.GetFullText());
}

} // namespace Jux
