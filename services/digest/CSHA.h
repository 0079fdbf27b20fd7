#pragma once
// SHA digests through CryptoAPI: one provider and one hash object, released on every way out.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <vector>

namespace vek {

struct SHA256Traits {
    static constexpr ALG_ID Algorithm = CALG_SHA_256;
    static constexpr DWORD DigestSize = 32;
};

template <typename Traits>
class CSHA {
public:
    CSHA() = default;
    ~CSHA() { Destroy(); }
    CSHA(const CSHA&) = delete;
    CSHA& operator=(const CSHA&) = delete;

    HRESULT Initialize();
    HRESULT Compute(const void* bytes, DWORD count);
    HRESULT GetDigest(std::vector<uint8_t>& digest);
    HRESULT Destroy();

private:
    HCRYPTPROV m_provider = 0;
    HCRYPTHASH m_hash = 0;
};

extern template class CSHA<SHA256Traits>;

} // namespace vek
