#pragma once
// The certificate check that the pinning hook calls, behind an interface. Unless a caller
// registers another one, it is the pinning policy of the client settings file (CHTTPCertPinning);
// registering null puts that policy back.
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>

namespace Jux {

// Sources of a certificate check: 1 at the sending-request notification, 2 at a secure failure
// (argument = WinHTTP's failure flags), 3 at a redirect.
enum CertificateCheckSource : int { kCheckOnSend = 1, kCheckOnSecureFailure = 2, kCheckOnRedirect = 3 };

class ICertificateCheck {
public:
    virtual ~ICertificateCheck() = default;
    virtual bool IsHostWhiteListed(const std::wstring& host) = 0;
    // true: the request may go on. The request's server certificate is readable through
    // WINHTTP_OPTION_SERVER_CERT_CONTEXT on the handle.
    virtual bool CheckServerCertificate(HINTERNET request, const std::wstring& serverAddress, int source,
                                        DWORD argument) = 0;
    virtual void SendPinningPing(int source, int resultCode, const std::wstring& serverAddress) = 0;
    // Pins are required (a request to a white-listed host that cannot be checked must not go out).
    virtual bool IsPinningEnforced() { return false; }
};

void RegisterCertificateCheck(std::shared_ptr<ICertificateCheck> check);
std::shared_ptr<ICertificateCheck> GetCertificateCheck();

bool IsHostWhiteListed(const std::wstring& host);
bool IsPinningEnforced();
// The host part of an http/https URL, then as IsHostWhiteListed; false for an unreadable URL.
bool IsUrlHostWhiteListed(const std::wstring& url);
bool CheckServerCertificate(HINTERNET request, const std::wstring& serverAddress, int source, DWORD argument);
void SendPinningPing(int source, int resultCode, const std::wstring& serverAddress);

} // namespace Jux
