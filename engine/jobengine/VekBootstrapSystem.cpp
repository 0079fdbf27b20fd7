#include "engine/jobengine/VekBootstrapSystem.h"

#include "common/errors/qkLog.h"
#include "common/system/qkHandle.h"
#include "common/system/qkOSInfo.h"
#include "services/launcher/VekRepairTrustSystem.h"
#include "services/launcher/VekUtil.h"
#include "services/session/ProcessLauncher.h"

namespace vek {

HRESULT VekBootstrapSystem::TempFolder(std::wstring& folder)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    if (length == 0 || length > MAX_PATH) {
        const DWORD error = ::GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    folder.assign(buffer, length);
    return S_OK;
}

bool VekBootstrapSystem::IsAdministrator()
{
    qkOSInfo info;
    BOOL notEnabled = FALSE;
    return info.GetAdminGroupState(&notEnabled) && !notEnabled;
}

bool VekBootstrapSystem::IsElevated()
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return IsAdministrator();
    qkHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size))
        return IsAdministrator();
    return elevation.TokenIsElevated != 0 || IsAdministrator();
}

bool VekBootstrapSystem::IsUACEnabled()
{
    return vek::IsUACEnabled();
}

bool VekBootstrapSystem::IsVistaOrLater()
{
    return qkOSInfo::IsWindowsVista(TRUE) != FALSE;
}

bool VekBootstrapSystem::IsWindowsXP()
{
    return qkOSInfo::IsWindowsXP(FALSE) != FALSE;
}

BOOL VekBootstrapSystem::RepairTrustSystem()
{
    return vek::RepairTrustSystem();
}

HRESULT VekBootstrapSystem::VerifyAndHold(const std::wstring& path)
{
    // The file held so far stays held until the new verifier holds it again: no gap between.
    auto next = std::make_unique<CLockedFileVerifier>();
    const HRESULT hr = next->VerifyFile(path.c_str(), true);
    m_verifier = std::move(next);
    return hr;
}

HRESULT VekBootstrapSystem::LaunchHeld(const std::wstring& path, const std::wstring& commandLine)
{
    ProcessLauncher launcher;
    const HRESULT hr = launcher.Launch(path.c_str(), commandLine.c_str(), true);
    if (SUCCEEDED(hr))
        m_launchedProcessId = launcher.GetProcessId();
    // The started process maps its image: from now on the file cannot change under it.
    Release();
    return hr;
}

void VekBootstrapSystem::Release()
{
    m_verifier.reset();
}

bool VekBootstrapSystem::IsHolding() const
{
    return m_verifier && m_verifier->IsHoldingFile();
}

} // namespace vek
