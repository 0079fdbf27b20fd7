#pragma once
// The signer policy: once the system accepted a signature, is its signer one that the requested
// trust level accepts? Looks at the certificate's enhanced key usage and its subject attributes.
#include <windows.h>
#include <wincrypt.h>

#include "services/trust/SignerNames.h"

namespace qkVerifyTrust {

// Status bits that the check fills (shared with the file verification).
enum : DWORD {
    VT_STATUS_SIGNATURE_READ = 0x0001,
    VT_STATUS_KEY_USAGE = 0x0002,
    VT_STATUS_KEY_USAGE2 = 0x0004,
    VT_STATUS_LEVEL3 = 0x0008,
    VT_STATUS_LEVEL4 = 0x0010,
    VT_STATUS_SYSTEM_COMPONENT = 0x0020,
    VT_STATUS_HARDWARE_QUALITY = 0x0040,
    VT_STATUS_FROM_CATALOG = 0x1000,
    VT_STATUS_SIGNER_FOUND = 0x4000,
};

class SignerPolicy {
public:
    explicit SignerPolicy(SignerNames names = SignerNames::Current()) : m_names(std::move(names)) {}

    // 1 trusted, 3 not trusted, 4 a certificate query failed, 5 invalid argument, 6 no memory.
    DWORD CheckSigner(PCCERT_CONTEXT cert, DWORD level, DWORD mode, BYTE* systemComponent, BYTE* hardwareQuality,
                      DWORD* status) const;

private:
    DWORD KeyUsageTest(PCCERT_CONTEXT cert, BYTE* systemComponent, BYTE* hardwareQuality) const;
    DWORD AlternativeSignerTest(PCCERT_CONTEXT cert) const;
    DWORD Level3Test(PCCERT_CONTEXT cert) const;
    DWORD Level4Test(PCCERT_CONTEXT cert) const;
    DWORD Level5Test(PCCERT_CONTEXT cert) const;

    SignerNames m_names;
};

} // namespace qkVerifyTrust
