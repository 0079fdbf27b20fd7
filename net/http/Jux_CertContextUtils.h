#pragma once
// Names of certificates as the pinning reports show them.
#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace Jux {

// The simple display name (CertGetNameStringW, CERT_NAME_SIMPLE_DISPLAY_TYPE). E_INVALIDARG for
// no certificate, 0x8007000D when the certificate has no name to show.
HRESULT GetCertDisplayName(PCCERT_CONTEXT cert, std::wstring& name);

} // namespace Jux
