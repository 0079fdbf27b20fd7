#include "services/trust/CatalogFileHash.h"

namespace qkVerifyTrust {

HRESULT CatalogFileHash::Compute(const CatalogContext& context, const wchar_t* path, BYTE keepRedirection)
{
    m_hash.clear();
    m_memberTag.clear();
    if (!m_file.Open(path, keepRedirection))
        return HRESULT_FROM_WIN32(GetLastError());

    auto calc2 = context.IsSha256() ? CatalogContext::CalcHashFromFileHandle2() : nullptr;
    auto calc = [&](DWORD* size, BYTE* bytes) -> BOOL {
        if (calc2)
            return calc2(context.Get(), m_file.Get(), size, bytes, 0);
        return CryptCATAdminCalcHashFromFileHandle(m_file.Get(), size, bytes, 0);
    };
    DWORD size = 0;
    BOOL ok = calc(&size, nullptr);
    if (ok || GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        if (size == 0) {
            ok = FALSE;
            SetLastError(ERROR_INVALID_DATA);
        } else {
            m_hash.resize(size); // bad_alloc is the caller's internal failure
            ok = calc(&size, m_hash.data());
            m_hash.resize(ok ? size : 0);
        }
    }
    if (!ok) {
        const DWORD error = GetLastError();
        m_hash.clear();
        return error == ERROR_INVALID_PARAMETER ? TRUST_E_SUBJECT_NOT_TRUSTED : TRUST_E_SUBJECT_FORM_UNKNOWN;
    }
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    m_memberTag.reserve(m_hash.size() * 2);
    for (BYTE b : m_hash) {
        m_memberTag.push_back(kHex[b >> 4]);
        m_memberTag.push_back(kHex[b & 0xF]);
    }
    return S_OK;
}

} // namespace qkVerifyTrust
