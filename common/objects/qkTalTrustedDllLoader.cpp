#include "common/objects/qkTalTrustedDllLoader.h"

#include "common/base/qkTrace.h"
#include "common/objects/qkTalResult.h"
#include "common/errors/qkLog.h"
#include "common/objects/LoadVerifyTrustDll.h"

qkTalTrustedDllLoader::~qkTalTrustedDllLoader()
{
    // The trust object's code lives in the trust DLL: release it before freeing that DLL.
    m_verifyTrust.Reset();
    m_trustObject.Reset();
    m_trustDll.Unload();
    Unload();
}

void qkTalTrustedDllLoader::SetUpTrust()
{
    if (!m_trustDll.IsBound()) {
        const HRESULT hr = Jux::LoadVerifyTrustDll(&m_trustDll);
        if (hr < 0) {
            QK_TRACE(L"trust DLL not loaded, 0x%08lX", static_cast<unsigned long>(hr));
            return;
        }
    }
    m_trustObject.Reset();
    HRESULT hr = m_trustDll.CreateObject(CLSID_VerifyTrustObject, CLSID_VerifyTrustObject,
                                         reinterpret_cast<void**>(m_trustObject.GetAddressOf()));
    if (hr < 0 || !m_trustObject) {
        QK_TRACE(L"trust object not created, 0x%08lX", static_cast<unsigned long>(hr));
        m_trustObject.Reset();
        return;
    }
    hr = m_trustObject->QueryInterface(IID_IVerifyTrust,
                                       reinterpret_cast<void**>(m_verifyTrust.ReleaseAndGetAddressOf()));
    if (hr < 0 || !m_verifyTrust) {
        QK_TRACE(L"trust object lacks IVerifyTrust, 0x%08lX", static_cast<unsigned long>(hr));
        m_verifyTrust.Reset();
        m_trustObject.Reset();
        return;
    }
    const DWORD ready = m_verifyTrust->Create(TRUE);
    if (ready == VT_TRUSTED) {
        // The trust object's one-byte option, set through its options interface.
        Microsoft::WRL::ComPtr<IVerifyTrustOptions> options;
        if (m_trustObject->QueryInterface(IID_IVerifyTrustOptions, reinterpret_cast<void**>(options.GetAddressOf())) >=
                0 &&
            options)
            options->SetOption(1);
    } else {
        QK_TRACE(L"trust object not ready, Create answered %lu", ready);
        m_trustObject.Reset();
        m_verifyTrust.Reset();
    }
}

HRESULT qkTalTrustedDllLoader::VerifyModule(LPCWSTR path)
{
    if (!path)
        return QK_E_INVALIDARG;
    if (!m_trustObject || !m_verifyTrust)
        SetUpTrust();
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return QK_E_LOADFAILED;
    if (!m_verifyTrust) {
        QK_LOG_WARNING(L"no trust verifier, %s loaded without a trust check", path);
        return QK_S_OK;
    }
    // Only an explicit "trusted" accepts: a failed time stamp, a revoked certificate or an
    // error inside the verifier must not let the file load unverified.
    const DWORD trust = m_verifyTrust->VerifyFile(path, kTrustLevel);
    if (trust != VT_TRUSTED) {
        QK_TRACE(L"%s not trusted, answer %lu", path, trust);
        return QK_E_UNTRUSTED;
    }
    return QK_S_OK;
}
