#include "services/trust/CSignerSubjectCheck.h"

#include <wincrypt.h>

#include <memory>
#include <vector>

#include "common/errors/qkLog.h"
#include "common/system/qkResourceHolders.h"

namespace vek {

namespace {
HRESULT ErrorResult(DWORD error)
{
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

} // namespace

CSignerSubjectCheck::CSignerSubjectCheck(const wchar_t* path) : m_path(path ? path : L"") {}

CSignerSubjectCheck::~CSignerSubjectCheck() = default;

HRESULT CSignerSubjectCheck::Check(const wchar_t* expected)
{
    if (!m_file.IsValid()) {
        m_file.Reset(CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file.IsValid()) {
            const DWORD error = GetLastError();
            QK_LOG_ERROR(L"Unable to obtain file lock for file %s. Last error: %d", m_path.c_str(), error);
            return ErrorResult(error);
        }
    }
    qkCertStore store;
    qkCryptMsg message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, m_path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Receive(),
                          message.Receive(), nullptr)) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to load certificate store from resource. Last error: %d", error);
        return ErrorResult(error);
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.Get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to get signer information size. Last error: %d", error);
        return ErrorResult(error);
    }
    std::vector<BYTE> info;
    try {
        info.resize(size);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Failed to allocate memory for signer information. Last error: %d", ERROR_NOT_ENOUGH_MEMORY);
        return E_OUTOFMEMORY;
    }
    if (!CryptMsgGetParam(message.Get(), CMSG_SIGNER_INFO_PARAM, 0, info.data(), &size)) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to get signer information. Last error: %d", error);
        return ErrorResult(error);
    }
    auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(info.data());
    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    const qkCertContext cert(CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!cert) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to search for the signer certificate. Last error: %d", error);
        return ErrorResult(error);
    }
    const DWORD length = CertGetNameStringW(cert.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to Get Subject name size. Last error: %d", error);
        return ErrorResult(error);
    }
    std::wstring name;
    try {
        name.resize(length);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Failed to allocate memory for Subject name. Last error: %d", ERROR_NOT_ENOUGH_MEMORY);
        return E_OUTOFMEMORY;
    }
    if (CertGetNameStringW(cert.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length) == 0) {
        const DWORD error = GetLastError();
        QK_LOG_ERROR(L"Failed to Get Subject name. Last error: %d", error);
        return ErrorResult(error);
    }
    name.resize(wcslen(name.c_str()));
    if (expected != nullptr && name == expected)
        return S_OK;
    QK_LOG_ERROR(L"File signature doesn't match to expected");
    return E_FAIL;
}

} // namespace vek
