#pragma once
// Receiver of an asynchronous client's request events (called on WinHTTP's threads).
#include <windows.h>
#include <winhttp.h>

namespace Jux {

class IWinHttpListener {
public:
    virtual ~IWinHttpListener() = default;
    // Secure failure (data = 4-byte failure flags) and request error (data = WINHTTP_ASYNC_RESULT).
    virtual void OnStatus(HINTERNET request, DWORD notification, const void* data, DWORD size) = 0;
    virtual void OnDataComplete(HINTERNET request) = 0;
    virtual void OnHeaders(HINTERNET request, DWORD status, const wchar_t* rawHeaders) = 0;
    virtual void OnSendComplete(HINTERNET request) = 0;
    virtual void OnReadComplete(HINTERNET request) = 0;
};

} // namespace Jux
