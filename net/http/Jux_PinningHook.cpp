#include "net/http/Jux_PinningHook.h"

#include "common/base/qkTrace.h"
#include "net/http/Jux_CertificateCheck.h"

namespace Jux {

bool CPinningHook::OnCertificateCheck(HINTERNET request, const std::wstring& serverAddress, DWORD notification,
                                      DWORD argument)
{
    switch (notification) {
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        return CheckServerCertificate(request, serverAddress, kCheckOnSend, argument);
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        return CheckServerCertificate(request, serverAddress, kCheckOnSecureFailure, argument);
    default:
        QK_TRACE(L"unexpected notification 0x%lX", notification);
        return false;
    }
}

bool CPinningHook::OnRedirect(const std::wstring& url, const std::wstring& serverAddress)
{
    if (IsUrlHostWhiteListed(url))
        return true;
    QK_TRACE(L"redirect to %ls leaves the white list", url.c_str());
    SendPinningPing(kCheckOnRedirect, 7, serverAddress);
    return false;
}

} // namespace Jux
