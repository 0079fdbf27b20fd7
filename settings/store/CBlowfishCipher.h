#pragma once
// The 8-byte block cipher with which the data root enciphers store records: Blowfish (16 rounds)
// used block by block without chaining. Each block is read as two little-endian 32-bit words
// (left word = first four bytes), unlike the big-endian reading of the published cipher.
#include <windows.h>

namespace qkSettings {

class CBlowfishCipher {
public:
    CBlowfishCipher();

    // Only the first call has an effect: a keyed cipher keeps its key.
    void SetKey(const BYTE* key, DWORD length);
    DWORD GetBlockSize() const { return 8; }
    // size must be a multiple of 8 and *targetSize at least size; otherwise false and the
    // target is untouched. Source and target may be the same buffer.
    bool Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize) const;
    bool Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize) const;
    bool IsKeyed() const { return m_keyed; }

private:
    struct State {
        DWORD p[18];
        DWORD s[4][256];
    };
    static const DWORD kInitialP[18];
    static const DWORD kInitialS[4][256];

    static DWORD F(const State& st, DWORD x);
    static void EncipherBlock(const State& st, DWORD& left, DWORD& right);
    static void DecipherBlock(const State& st, DWORD& left, DWORD& right);
    bool Transform(const void* source, DWORD size, void* target, DWORD* targetSize, bool encipher) const;

    State m_state;
    bool m_keyed;
};

} // namespace qkSettings
