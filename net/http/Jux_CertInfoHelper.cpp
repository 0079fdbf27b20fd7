#include "net/http/Jux_CertInfoHelper.h"

#include "common/base/qkWideFormat.h"
#include "net/http/Jux_StringUtils.h"

#include <cwchar>
#include <vector>

namespace Jux {
namespace {

std::wstring Hex(const CRYPT_DATA_BLOB& blob)
{
    return HexText(blob.pbData, blob.cbData);
}

std::wstring Hex(const CRYPT_BIT_BLOB& blob)
{
    return HexText(blob.pbData, blob.cbData);
}

std::wstring Wide(const char* text)
{
    std::wstring out;
    for (; text && *text; ++text)
        out.push_back(static_cast<unsigned char>(*text));
    return out;
}

HRESULT NameText(CERT_NAME_BLOB* name, std::wstring& out)
{
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, name, CERT_SIMPLE_NAME_STR, nullptr, 0);
    if (size == 0)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    std::vector<wchar_t> buffer(size);
    CertNameToStrW(X509_ASN_ENCODING, name, CERT_SIMPLE_NAME_STR, buffer.data(), size);
    out.assign(buffer.data());
    return S_OK;
}

std::wstring TimeText(const FILETIME& time)
{
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&time, &st))
        return L"";
    wchar_t text[32];
    qkLib::FormatWide(text, 32, L"%04d/%02d/%02d %02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    return text;
}

} // namespace

HRESULT GetCertThumbprint(PCCERT_CONTEXT cert, std::wstring& thumbprint)
{
    if (!cert)
        return E_INVALIDARG;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate(0, 0, 0, cert->pbCertEncoded, cert->cbCertEncoded, hash, &size)) {
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    thumbprint = HexText(hash, size);
    return S_OK;
}

HRESULT GetCertInfo(PCCERT_CONTEXT cert, CCertInfo& info)
{
    if (!cert || !cert->pCertInfo)
        return E_INVALIDARG;
    CERT_INFO* ci = cert->pCertInfo;
    CCertInfo read;
    read.serialNumber = HexText(ci->SerialNumber.pbData, ci->SerialNumber.cbData);
    read.version = ci->dwVersion;
    read.signatureAlgorithm = Wide(ci->SignatureAlgorithm.pszObjId);
    read.signatureAlgorithmParams = Hex(ci->SignatureAlgorithm.Parameters);
    HRESULT hr = NameText(&ci->Issuer, read.issuer);
    if (SUCCEEDED(hr))
        hr = NameText(&ci->Subject, read.subject);
    if (FAILED(hr))
        return hr;
    read.notBefore = TimeText(ci->NotBefore);
    read.notAfter = TimeText(ci->NotAfter);
    read.publicKey = Hex(ci->SubjectPublicKeyInfo.PublicKey);
    read.publicKeyAlgorithm = Wide(ci->SubjectPublicKeyInfo.Algorithm.pszObjId);
    read.publicKeyAlgorithmParams = Hex(ci->SubjectPublicKeyInfo.Algorithm.Parameters);
    read.issuerUniqueId = Hex(ci->IssuerUniqueId);
    read.subjectUniqueId = Hex(ci->SubjectUniqueId);
    read.extensionCount = ci->cExtension;
    if (FAILED(hr = GetCertThumbprint(cert, read.thumbprint)))
        return hr;
    read.valid = true;
    info = std::move(read);
    return S_OK;
}

std::wstring CertDumpText(const CCertInfo& info)
{
    std::wstring text;
    auto line = [&text](const wchar_t* label, const std::wstring& value) {
        text += label;
        text += value;
        text += L'\n';
    };
    line(L"Serial Number: ", info.serialNumber);
    line(L"Version: ", std::to_wstring(info.version));
    line(L"Signature Algorithm: ", info.signatureAlgorithm);
    line(L"Signature Algorithm Params: ", info.signatureAlgorithmParams);
    line(L"Issuer: ", info.issuer);
    line(L"Not Before: ", info.notBefore);
    line(L"Not After: ", info.notAfter);
    line(L"Subject: ", info.subject);
    line(L"PublicKey: ", info.publicKey);
    line(L"PublicKey Algorithm ID: ", info.publicKeyAlgorithm);
    line(L"PublicKey Algorithm Params: ", info.publicKeyAlgorithmParams);
    line(L"Issuer Unique ID: ", info.issuerUniqueId);
    line(L"Subject Unique ID: ", info.subjectUniqueId);
    line(L"Thumbprint: ", info.thumbprint);
    line(L"Extension count: ", std::to_wstring(info.extensionCount));
    text += L"\n\n";
    return text;
}

} // namespace Jux
