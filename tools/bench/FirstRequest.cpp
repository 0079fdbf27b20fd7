// The yardstick of the launcher's start benchmark: the least a program of the launcher's bitness
// does to reach the server under Wine. It starts, opens a WinHTTP session as the launcher's client
// does (TLS 1.2), makes one GET to the URL it is given, reads the answer and ends.
//   FirstRequest <https-url>   exit code 0 when the server answered, else the WinHTTP error
#include <windows.h>
#include <winhttp.h>

#include <string>

namespace {

struct Internet {
    HINTERNET handle;
    explicit Internet(HINTERNET h) : handle(h) {}
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
    ~Internet()
    {
        if (handle)
            WinHttpCloseHandle(handle);
    }
};

DWORD Fetch(const wchar_t* url)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = static_cast<DWORD>(std::size(host));
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = static_cast<DWORD>(std::size(path));
    if (!WinHttpCrackUrl(url, 0, 0, &parts))
        return GetLastError();
    Internet session(WinHttpOpen(L"FirstRequest", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.handle)
        return GetLastError();
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session.handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    Internet connection(WinHttpConnect(session.handle, host, parts.nPort, 0));
    if (!connection.handle)
        return GetLastError();
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    Internet request(WinHttpOpenRequest(connection.handle, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request.handle)
        return GetLastError();
    if (!WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.handle, nullptr))
        return GetLastError();
    char buffer[4096];
    DWORD read = 0;
    while (WinHttpReadData(request.handle, buffer, sizeof(buffer), &read) && read != 0) {
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 87; // ERROR_INVALID_PARAMETER
    return static_cast<int>(Fetch(argv[1]));
}
