#pragma once
// The fields of one certificate as the pinning check compares and reports them, its thumbprint
// and its text dump.
#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace Jux {

struct CCertInfo {
    bool valid = false;
    std::wstring serialNumber; // hex of the serial's bytes in the order the context stores them
    DWORD version = 0;         // the certificate's 0-based version field
    std::wstring signatureAlgorithm;
    std::wstring signatureAlgorithmParams;
    std::wstring issuer; // simple name strings
    std::wstring subject;
    std::wstring notBefore; // UTC "YYYY/MM/DD hh:mm"
    std::wstring notAfter;
    std::wstring publicKey;
    std::wstring publicKeyAlgorithm;
    std::wstring publicKeyAlgorithmParams;
    std::wstring issuerUniqueId;
    std::wstring subjectUniqueId;
    DWORD extensionCount = 0;
    std::wstring thumbprint;
};

// SHA-1 of the whole encoded certificate as 40 upper-case hex digits.
HRESULT GetCertThumbprint(PCCERT_CONTEXT cert, std::wstring& thumbprint);
// E_INVALIDARG for no certificate; a failed name or thumbprint read is that read's HRESULT.
HRESULT GetCertInfo(PCCERT_CONTEXT cert, CCertInfo& info);
// "Serial Number: ...\n" ... "Extension count: n\n" then a blank line.
std::wstring CertDumpText(const CCertInfo& info);

} // namespace Jux
