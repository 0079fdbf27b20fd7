#include "ui/controls/VekLinkOpener.h"

#include "common/errors/qkLog.h"
#include "common/system/qkHandle.h"

#include <shellapi.h>

#include <mutex>
#include <vector>

namespace vek {

namespace {

std::mutex g_sessionLock;
VekLinkOpener::SessionOpener g_sessionOpener;

int ShellOpen(const std::wstring& url)
{
    const auto result =
        reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return static_cast<int>(result);
}

} // namespace

VekLinkOpener& VekLinkOpener::Default()
{
    static VekLinkOpener opener;
    return opener;
}

void VekLinkOpener::SetSessionOpener(SessionOpener opener)
{
    std::lock_guard<std::mutex> lock(g_sessionLock);
    g_sessionOpener = std::move(opener);
}

VekLinkOpener::VekLinkOpener(SystemCheck isSystem, ShellOpener shell)
    : m_isSystem(isSystem ? std::move(isSystem) : SystemCheck(&VekLinkOpener::IsRunningAsSystem)),
      m_shell(shell ? std::move(shell) : ShellOpener(&ShellOpen))
{}

int VekLinkOpener::OpenLink(const std::wstring& url)
{
    if (!m_isSystem())
        return m_shell(url);

    SessionOpener session;
    {
        std::lock_guard<std::mutex> lock(g_sessionLock);
        session = g_sessionOpener;
    }
    if (!session) {
        QK_LOG_WARNING(L"Running as SYSTEM without a way to open links as the session user; %s not opened",
                       url.c_str());
        return SE_ERR_ACCESSDENIED;
    }
    if (!session(url)) {
        QK_LOG_ERROR(L"Opening %s as the session user failed", url.c_str());
        return SE_ERR_ACCESSDENIED;
    }
    return 33; // opened: above the shell's error range
}

bool VekLinkOpener::IsRunningAsSystem()
{
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        QK_LOG_ERROR(L"OpenProcessToken failed, error %lu", ::GetLastError());
        return true; // unknown: refuse rather than risk opening as SYSTEM
    }
    qkHandle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
        QK_LOG_ERROR(L"GetTokenInformation(TokenUser) failed, error %lu", ::GetLastError());
        return true;
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    return ::IsWellKnownSid(user->User.Sid, WinLocalSystemSid) != FALSE;
}

} // namespace vek
