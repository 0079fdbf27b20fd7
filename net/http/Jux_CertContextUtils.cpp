#include "net/http/Jux_CertContextUtils.h"

#include <vector>

namespace Jux {

HRESULT GetCertDisplayName(PCCERT_CONTEXT cert, std::wstring& name)
{
    if (!cert)
        return E_INVALIDARG;
    const DWORD size = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (size <= 1)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    std::vector<wchar_t> buffer(size);
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer.data(), size);
    name.assign(buffer.data());
    return name.empty() ? HRESULT_FROM_WIN32(ERROR_INVALID_DATA) : S_OK;
}

} // namespace Jux
