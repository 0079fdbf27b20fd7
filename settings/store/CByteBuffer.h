#pragma once
// An owned block of bytes with its size. A failed allocation leaves it empty.
#include <windows.h>

#include <memory>

namespace qkSettings {

class CByteBuffer {
public:
    CByteBuffer() = default;
    CByteBuffer(CByteBuffer&& other) noexcept;
    CByteBuffer& operator=(CByteBuffer&& other) noexcept;

    // Frees the old block first; false (and empty) when the new one cannot be had.
    bool Allocate(DWORD size);
    void Free();

    BYTE* Data() { return m_data.get(); }
    const BYTE* Data() const { return m_data.get(); }
    DWORD Size() const { return m_size; }

private:
    std::unique_ptr<BYTE[]> m_data;
    DWORD m_size = 0;
};

} // namespace qkSettings
