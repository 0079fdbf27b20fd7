#pragma once
// The cipher of the older settings files: Blowfish in ECB mode with little-endian block halves,
// as a reference-counted object whose slots 3-5 are block size, encipher and decipher. Lengths
// that are not whole blocks, or that do not fit the target, are refused.
#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/store/CBlowfishCipher.h"

namespace qkSettings {

// {41E3B0F6-FFAF-426A-9C4B-20B200FFC374}
inline constexpr GUID IID_ILegacyCipher = {
    0x41E3B0F6, 0xFFAF, 0x426A, {0x9C, 0x4B, 0x20, 0xB2, 0x00, 0xFF, 0xC3, 0x74}};

class CLegacyBlowfishCipher : public qkTalCountedObject, public ISettingsCipher {
public:
    QK_TAL_UNKNOWN_IMPL()
    // A new cipher keyed with key, with one reference; null when memory runs out.
    static CLegacyBlowfishCipher* Create(const BYTE* key, DWORD length);

    DWORD STDMETHODCALLTYPE GetBlockSize() override { return 8; }
    BOOL STDMETHODCALLTYPE Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize) override;
    BOOL STDMETHODCALLTYPE Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    CBlowfishCipher m_cipher;
};

} // namespace qkSettings
