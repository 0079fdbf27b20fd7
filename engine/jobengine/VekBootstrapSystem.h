#pragma once
// What the job engine's bootstrap asks of the process and the system: the temporary folder,
// the account's rights, the trust system, and the start of the verified launcher copy. The default object asks Windows; tests replace single answers (an
// account without rights, a trust system that needs repair, a start that fails) by overriding
// the matching method.
//
// Verification and start belong together: VerifyAndHold verifies a file and keeps it open
// without write or delete sharing until Release (or the next VerifyAndHold), so that the file
// started by LaunchHeld is the file that was verified.
#include "services/trust/CLockedFileVerifier.h"

#include <windows.h>

#include <memory>
#include <string>

namespace vek {

class VekBootstrapSystem {
public:
    VekBootstrapSystem() = default;
    virtual ~VekBootstrapSystem() = default;
    VekBootstrapSystem(const VekBootstrapSystem&) = delete;
    VekBootstrapSystem& operator=(const VekBootstrapSystem&) = delete;

    // The current user's temporary folder (GetTempPathW into a buffer of MAX_PATH characters):
    // S_OK, or the last error as HRESULT when the answer is 0 or longer than the buffer.
    virtual HRESULT TempFolder(std::wstring& folder);

    // The Administrators group is in the token and enabled.
    virtual bool IsAdministrator();
    // The process runs with full rights (elevated token, or an administrator without UAC): the
    // folders it works in must then be safe from other users.
    virtual bool IsElevated();
    virtual bool IsUACEnabled();
    // Windows 6.0 or later.
    virtual bool IsVistaOrLater();
    // Exactly Windows 5.1.
    virtual bool IsWindowsXP();
    virtual BOOL RepairTrustSystem();

    // Strict verification of the file, which stays held (see above) whatever the result.
    virtual HRESULT VerifyAndHold(const std::wstring& path);
    // Starts the held file with the command line (which names it first, quoted); S_OK or the
    // start's failure. The file is let go once the process exists.
    virtual HRESULT LaunchHeld(const std::wstring& path, const std::wstring& commandLine);
    void Release();
    // The process that the last successful LaunchHeld started (0 before).
    DWORD LaunchedProcessId() const { return m_launchedProcessId; }
    bool IsHolding() const;

private:
    std::unique_ptr<CLockedFileVerifier> m_verifier;
    DWORD m_launchedProcessId = 0;
};

} // namespace vek
