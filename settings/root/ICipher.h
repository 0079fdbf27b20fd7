#pragma once
// What the data root needs of a block cipher: the store's own (Blowfish keyed with the store
// key) or one a caller of Open supplies.
#include <windows.h>

namespace qkSettings {

class ICipher {
public:
    virtual ~ICipher() = default;
    virtual DWORD GetBlockSize() = 0;
    virtual bool Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize) = 0;
    virtual bool Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize) = 0;
};

} // namespace qkSettings
