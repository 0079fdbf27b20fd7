#include "services/digest/CSHA.h"
#include "common/base/qkLastError.h"

#include "common/errors/qkLog.h"

#include <versionhelpers.h>

namespace vek {

namespace {

// The AES provider carries SHA-256; before Vista it was the "(Prototype)" one.
const wchar_t* ProviderName()
{
    return ::IsWindowsVistaOrGreater() ? L"Microsoft Enhanced RSA and AES Cryptographic Provider"
                                       : L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";
}

} // namespace

template <typename Traits>
HRESULT CSHA<Traits>::Initialize()
{
    Destroy();
    if (!::CryptAcquireContextW(&m_provider, nullptr, ProviderName(), PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        const DWORD error = ::GetLastError();
        if (static_cast<HRESULT>(error) != NTE_BAD_KEYSET) {
            m_provider = 0;
            return error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
        }
        QK_LOG_WARNING(L"CryptAcquireContext failed, %lu", error);
        if (!::CryptAcquireContextW(&m_provider, nullptr, ProviderName(), PROV_RSA_AES, CRYPT_NEWKEYSET)) {
            const DWORD again = ::GetLastError();
            m_provider = 0;
            QK_LOG_ERROR(L"CryptAcquireContext failed with CRYPT_NEWKEYSET, %lu", again);
            return again != 0 ? HRESULT_FROM_WIN32(again) : E_UNEXPECTED;
        }
    }
    if (!::CryptCreateHash(m_provider, Traits::Algorithm, 0, 0, &m_hash)) {
        const HRESULT hr = qkLib::LastErrorResult(E_UNEXPECTED);
        QK_LOG_ERROR(L"CryptCreateHash failed, %lu", ::GetLastError());
        m_hash = 0;
        return hr;
    }
    return S_OK;
}

template <typename Traits>
HRESULT CSHA<Traits>::Compute(const void* bytes, DWORD count)
{
    if (!::CryptHashData(m_hash, static_cast<const BYTE*>(bytes), count, 0)) {
        const HRESULT hr = qkLib::LastErrorResult(E_UNEXPECTED);
        QK_LOG_ERROR(L"CryptHashData failed, %lu", ::GetLastError());
        return hr;
    }
    return S_OK;
}

template <typename Traits>
HRESULT CSHA<Traits>::GetDigest(std::vector<uint8_t>& digest)
{
    digest.resize(Traits::DigestSize);
    DWORD size = Traits::DigestSize;
    if (!::CryptGetHashParam(m_hash, HP_HASHVAL, digest.data(), &size, 0)) {
        const HRESULT hr = qkLib::LastErrorResult(E_UNEXPECTED);
        QK_LOG_ERROR(L"CryptGetHashParam failed, %lu", ::GetLastError());
        return hr;
    }
    return S_OK;
}

template <typename Traits>
HRESULT CSHA<Traits>::Destroy()
{
    HRESULT hr = S_OK;
    if (m_hash != 0) {
        if (!::CryptDestroyHash(m_hash)) {
            hr = qkLib::LastErrorResult(E_UNEXPECTED);
            QK_LOG_ERROR(L"CryptDestroyHash failed, %lu", ::GetLastError());
        }
        m_hash = 0;
    }
    if (m_provider != 0) {
        if (!::CryptReleaseContext(m_provider, 0)) {
            hr = qkLib::LastErrorResult(E_UNEXPECTED);
            QK_LOG_ERROR(L"CryptReleaseContext failed, %lu", ::GetLastError());
        }
        m_provider = 0;
    }
    return hr;
}

template class CSHA<SHA256Traits>;

} // namespace vek
