#pragma once
// A DLL loader that has each DLL file checked by the trust object of the trust DLL
// "qkVrTrst.dll" before loading it. The trust DLL is loaded (unverified) on the first check and
// kept until the loader is destroyed.
#include <wrl/client.h>

#include "common/objects/IVerifyTrust.h"
#include "common/objects/qkTalDllLoader.h"

// The trust object's id, and the interface id under which the loaders create it.
inline constexpr GUID CLSID_VerifyTrustObject = IID_IVerifyTrustCache;

class qkTalTrustedDllLoader : public qkTalDllLoader {
public:
    qkTalTrustedDllLoader() = default;
    ~qkTalTrustedDllLoader() override;

    // QK_E_LOADFAILED for a file that does not exist; QK_E_UNTRUSTED unless the trust object
    // answers "trusted". Without any trust DLL installed the file is accepted (and logged).
    HRESULT VerifyModule(LPCWSTR path) override;

private:
    static constexpr DWORD kTrustLevel = 3; // the level the loaders verify at
    void SetUpTrust();

    qkTalDllLoader m_trustDll;
    Microsoft::WRL::ComPtr<IUnknown> m_trustObject;
    Microsoft::WRL::ComPtr<IVerifyTrust> m_verifyTrust;
};
