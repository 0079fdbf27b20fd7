#include "settings/store/CBlowfishCipher.h"

#include <cstring>

#include "common/base/qkTrace.h"

namespace qkSettings {

CBlowfishCipher::CBlowfishCipher() : m_keyed(false)
{
    std::memcpy(m_state.p, kInitialP, sizeof(kInitialP));
    std::memcpy(m_state.s, kInitialS, sizeof(kInitialS));
}

DWORD CBlowfishCipher::F(const State& st, DWORD x)
{
    return ((st.s[0][x >> 24] + st.s[1][(x >> 16) & 0xFF]) ^ st.s[2][(x >> 8) & 0xFF]) + st.s[3][x & 0xFF];
}

void CBlowfishCipher::EncipherBlock(const State& st, DWORD& left, DWORD& right)
{
    DWORD l = left, r = right;
    for (int i = 0; i < 16; ++i) {
        l ^= st.p[i];
        r ^= F(st, l);
        DWORD t = l;
        l = r;
        r = t;
    }
    DWORD t = l;
    l = r;
    r = t;
    r ^= st.p[16];
    l ^= st.p[17];
    left = l;
    right = r;
}

void CBlowfishCipher::DecipherBlock(const State& st, DWORD& left, DWORD& right)
{
    DWORD l = left, r = right;
    for (int i = 17; i > 1; --i) {
        l ^= st.p[i];
        r ^= F(st, l);
        DWORD t = l;
        l = r;
        r = t;
    }
    DWORD t = l;
    l = r;
    r = t;
    r ^= st.p[1];
    l ^= st.p[0];
    left = l;
    right = r;
}

void CBlowfishCipher::SetKey(const BYTE* key, DWORD length)
{
    if (m_keyed)
        return;
    std::memcpy(m_state.p, kInitialP, sizeof(kInitialP));
    std::memcpy(m_state.s, kInitialS, sizeof(kInitialS));
    if (key != nullptr && length > 0) {
        DWORD pos = 0;
        for (DWORD& word : m_state.p) {
            DWORD data = 0;
            for (int k = 0; k < 4; ++k) {
                data = (data << 8) | key[pos];
                pos = (pos + 1) % length;
            }
            word ^= data;
        }
    }
    DWORD l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        EncipherBlock(m_state, l, r);
        m_state.p[i] = l;
        m_state.p[i + 1] = r;
    }
    for (auto& box : m_state.s) {
        for (int j = 0; j < 256; j += 2) {
            EncipherBlock(m_state, l, r);
            box[j] = l;
            box[j + 1] = r;
        }
    }
    m_keyed = true;
}

bool CBlowfishCipher::Transform(const void* source, DWORD size, void* target, DWORD* targetSize, bool encipher) const
{
    if (source == nullptr || target == nullptr || targetSize == nullptr || size % 8 != 0 || *targetSize < size) {
        QK_TRACE(L"refused: size %lu, room %lu", size, targetSize ? *targetSize : 0);
        return false;
    }
    // The keyed state is only read here, so one object serves several threads at once.
    const State& st = m_state;
    BYTE* out = static_cast<BYTE*>(target);
    if (out != source)
        std::memmove(out, source, size);
    for (DWORD off = 0; off < size; off += 8) {
        DWORD l, r;
        std::memcpy(&l, out + off, 4);
        std::memcpy(&r, out + off + 4, 4);
        if (encipher)
            EncipherBlock(st, l, r);
        else
            DecipherBlock(st, l, r);
        std::memcpy(out + off, &l, 4);
        std::memcpy(out + off + 4, &r, 4);
    }
    *targetSize = size;
    return true;
}

bool CBlowfishCipher::Encrypt(const void* source, DWORD size, void* target, DWORD* targetSize) const
{
    return Transform(source, size, target, targetSize, true);
}

bool CBlowfishCipher::Decrypt(const void* source, DWORD size, void* target, DWORD* targetSize) const
{
    return Transform(source, size, target, targetSize, false);
}

} // namespace qkSettings
