#include "settings/legacy/CLegacyBlowfishCipher.h"

#include <new>

namespace qkSettings {

CLegacyBlowfishCipher* CLegacyBlowfishCipher::Create(const BYTE* key, DWORD length)
{
    auto* c = new (std::nothrow) CLegacyBlowfishCipher();
    if (c == nullptr)
        return nullptr;
    c->m_cipher.SetKey(key, length);
    c->AddRef();
    return c;
}

void* CLegacyBlowfishCipher::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_ILegacyCipher))
        return static_cast<ISettingsCipher*>(this);
    return nullptr;
}

// Lengths that are not whole blocks, or larger than the target, would read or write past
// the caller's buffers: they are refused.
BOOL CLegacyBlowfishCipher::Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize)
{
    return m_cipher.Encrypt(source, size, target, targetSize) ? TRUE : FALSE;
}

BOOL CLegacyBlowfishCipher::Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize)
{
    return m_cipher.Decrypt(source, size, target, targetSize) ? TRUE : FALSE;
}

} // namespace qkSettings
