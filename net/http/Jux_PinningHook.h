#pragma once
// Per-request certificate-check hook: passes the sending-request and secure-failure notifications
// to the certificate check, and decides whether a redirect stays checked.
#include <windows.h>
#include <winhttp.h>

#include <string>

namespace Jux {

class CPinningHook {
public:
    virtual ~CPinningHook() = default;
    // true: the request may go on.
    virtual bool OnCertificateCheck(HINTERNET request, const std::wstring& serverAddress, DWORD notification,
                                    DWORD argument);
    // true: keep checking the redirected request. A redirect off the white list sends a pinning
    // report (source 3, result code 7) and returns false.
    virtual bool OnRedirect(const std::wstring& url, const std::wstring& serverAddress);
};

} // namespace Jux
