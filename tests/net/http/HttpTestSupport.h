#pragma once
// Shared helpers of the HTTP client tests.
#include "net/VekTestServer.h"
#include "net/http/Jux_WinHttpClient.h"

#include <string>

namespace httptest {

// Reads a request's body to its end through WinHttpReadData, as the launcher's client does.
inline std::string ReadAll(Jux::CWinHttpClient& client, Jux::RequestId id)
{
    std::string body;
    HINTERNET handle = client.RequestHandle(id);
    for (;;) {
        char buffer[16384];
        DWORD read = 0;
        if (!handle || !WinHttpReadData(handle, buffer, sizeof buffer, &read) || read == 0)
            break;
        body.append(buffer, read);
    }
    return body;
}

inline std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}
inline std::string Narrow(const std::wstring& s)
{
    std::string out;
    for (wchar_t c : s)
        out.push_back(static_cast<char>(c));
    return out;
}

// Both socket-level and WinHTTP codes of one failure kind (Wine gives the raw socket error).
inline bool IsTimeout(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_WINHTTP_TIMEOUT) || hr == HRESULT_FROM_WIN32(WSAETIMEDOUT);
}

} // namespace httptest
