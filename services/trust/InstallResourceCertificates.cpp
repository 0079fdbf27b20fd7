#include "services/trust/InstallResourceCertificates.h"
#include "common/base/qkLastError.h"

#include <wincrypt.h>

#include "common/errors/qkLog.h"
#include "common/system/qkResourceHolders.h"

namespace vek {

HRESULT InstallResourceCertificates(HMODULE module, WORD resourceId, const wchar_t* storeName)
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"ROOTC");
    if (resource == nullptr) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Could not find certificate store resource. Last error: %d", error);
        SetLastError(error);
        return qkLib::LastErrorResult();
    }
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Could not load certificate store resource. Last error: %d", error);
        SetLastError(error);
        return qkLib::LastErrorResult();
    }
    const void* bytes = LockResource(loaded);
    const DWORD size = SizeofResource(module, resource);
    if (bytes == nullptr || size == 0) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Could not lock certificate store resource. Last error: %d", error);
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
        return qkLib::LastErrorResult();
    }

    CERT_BLOB blob = {size, static_cast<BYTE*>(const_cast<void*>(bytes))};
    qkCertStore source;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL, CERT_QUERY_FORMAT_FLAG_ALL, 0,
                          nullptr, nullptr, nullptr, source.Receive(), nullptr, nullptr)) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to load certificate store from resource. Last error: %d", error);
        SetLastError(error);
        return qkLib::LastErrorResult();
    }
    if (!source)
        return S_OK;

    const qkCertStore target(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                           CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, storeName));
    if (!target) {
        const DWORD error = GetLastError();
        QK_LOG_INFO(L"Failed to open system certificate store. Last error: %d", error);
        SetLastError(error);
        return qkLib::LastErrorResult();
    }

    // The enumeration frees each certificate when it gives the next one; leaving early frees it here.
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(source.Get(), nullptr); cert != nullptr;
         cert = CertEnumCertificatesInStore(source.Get(), cert)) {
        // A certificate already present is skipped without asking the store to add it: Wine's
        // registry store forgets earlier additions of the same open when an addition is refused.
        const qkCertContext present(
            CertFindCertificateInStore(target.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr));
        if (present)
            continue;
        if (CertAddCertificateContextToStore(target.Get(), cert, CERT_STORE_ADD_NEW, nullptr))
            continue;
        const DWORD error = GetLastError();
        if (static_cast<HRESULT>(error) == CRYPT_E_EXISTS)
            continue; // present already
        QK_LOG_INFO(L"Failed to add certificate to the store. Last error: %d", error);
        CertFreeCertificateContext(cert);
        SetLastError(error);
        return qkLib::LastErrorResult();
    }
    return S_OK;
}

} // namespace vek
