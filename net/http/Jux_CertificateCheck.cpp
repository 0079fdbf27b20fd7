#include "net/http/Jux_CertificateCheck.h"

#include "common/base/qkTrace.h"
#include "net/http/Jux_HTTPCertPinning.h"

#include <mutex>
#include <vector>

namespace Jux {
namespace {

std::mutex g_checkLock;
std::shared_ptr<ICertificateCheck> g_check;

} // namespace

void RegisterCertificateCheck(std::shared_ptr<ICertificateCheck> check)
{
    std::lock_guard<std::mutex> lock(g_checkLock);
    g_check = std::move(check);
}

std::shared_ptr<ICertificateCheck> GetCertificateCheck()
{
    std::lock_guard<std::mutex> lock(g_checkLock);
    if (!g_check) {
        // The pinning policy of the client settings file, made once and kept until a caller
        // registers another check.
        static const std::shared_ptr<ICertificateCheck> policy = std::make_shared<CHTTPCertPinning>();
        return policy;
    }
    return g_check;
}

bool IsHostWhiteListed(const std::wstring& host)
{
    return GetCertificateCheck()->IsHostWhiteListed(host);
}

bool IsPinningEnforced()
{
    return GetCertificateCheck()->IsPinningEnforced();
}

bool IsUrlHostWhiteListed(const std::wstring& url)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    std::vector<wchar_t> host(url.size() + 1);
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        QK_TRACE(L"cannot crack %ls: %lu", url.c_str(), GetLastError());
        return false;
    }
    return IsHostWhiteListed(std::wstring(parts.lpszHostName, parts.dwHostNameLength));
}

bool CheckServerCertificate(HINTERNET request, const std::wstring& serverAddress, int source, DWORD argument)
{
    return GetCertificateCheck()->CheckServerCertificate(request, serverAddress, source, argument);
}

void SendPinningPing(int source, int resultCode, const std::wstring& serverAddress)
{
    GetCertificateCheck()->SendPinningPing(source, resultCode, serverAddress);
}

} // namespace Jux
