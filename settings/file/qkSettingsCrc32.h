#pragma once
// The store's CRC-32 (zlib's: reflected 0xEDB88320, initial 0xFFFFFFFF, complemented).
#include <windows.h>

#include "common/base/qkCrc32.h"

namespace qkSettings {

inline DWORD Crc32(const void* data, DWORD length)
{
    return qkLib::Crc32(data, length);
}

} // namespace qkSettings
