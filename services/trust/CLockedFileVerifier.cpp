#include "services/trust/CLockedFileVerifier.h"

#include "services/trust/Jux_TrustFactory.h"
#include "services/trust/TrustTrace.h"

HRESULT CLockedFileVerifier::VerifyFile(const wchar_t* path, bool strict)
{
    m_file.Handle().Close();
    if (!m_file.Open(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        const DWORD error = m_file.GetLastError();
        TRUST_TRACE(L"Cannot hold %ls, error %lu", path ? path : L"(null)", error);
        return HRESULT_FROM_WIN32(error);
    }
    return Jux::VerifyFileTrust(path, strict);
}
