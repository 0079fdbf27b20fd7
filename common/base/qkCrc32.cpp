#include "common/base/qkCrc32.h"

#include "common/base/qkTrace.h"
#include "common/system/qkFile.h"

#include <array>

namespace {

// Entry n is n run through eight shift-and-conditional-xor steps; built at compile time.
constexpr std::array<DWORD, 256> MakeTable()
{
    std::array<DWORD, 256> table{};
    for (DWORD n = 0; n < 256; ++n) {
        DWORD c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<DWORD, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du, "standard CRC-32 table");

} // namespace

namespace qkLib {

// Folds bytes into a running (uncomplemented) value.
DWORD Crc32Update(DWORD crc, const void* data, DWORD length)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    for (DWORD i = 0; i < length; ++i) {
        crc = (crc >> 8) ^ kTable[(crc ^ p[i]) & 0xFF];
    }
    return crc;
}

DWORD Crc32(const void* data, DWORD length)
{
    if (length == 0 || data == nullptr) {
        return 0;
    }
    return Crc32Update(0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}

DWORD HeaderCrc(const void* header, DWORD size, DWORD crcOffset)
{
    if (crcOffset >= size)
        return Crc32(header, size);
    static const BYTE kZero[4] = {};
    const BYTE* bytes = static_cast<const BYTE*>(header);
    const DWORD fieldEnd = crcOffset + 4 < size ? crcOffset + 4 : size;
    DWORD crc = Crc32Update(0xFFFFFFFFu, bytes, crcOffset);
    crc = Crc32Update(crc, kZero, fieldEnd - crcOffset);
    crc = Crc32Update(crc, bytes + fieldEnd, size - fieldEnd);
    return crc ^ 0xFFFFFFFFu;
}

BOOL Crc32File(qkFile& file, DWORD* crc, ULONGLONG offset, ULONGLONG length)
{
    if (crc == nullptr) {
        return FALSE;
    }
    if (length == 0) {
        *crc = 0;
        return TRUE;
    }
    *crc = 0xFFFFFFFFu;
    BYTE buffer[8192];
    while (length != 0) {
        const DWORD piece = static_cast<DWORD>(length < sizeof(buffer) ? length : sizeof(buffer));
        if (!file.ReadAt(static_cast<DWORD>(offset & 0xFFFFFFFFu), static_cast<LONG>(offset >> 32), buffer, piece)) {
            QK_TRACE(L"read of %lu bytes at %I64u failed : %lu", piece, offset, file.GetLastError());
            return FALSE;
        }
        *crc = Crc32Update(*crc, buffer, piece);
        offset += piece;
        length -= piece;
    }
    *crc ^= 0xFFFFFFFFu;
    return TRUE;
}

} // namespace qkLib
