#pragma once
// The library's checksum: the standard CRC-32 of ISO-HDLC (zlib, PNG, Ethernet): reflected
// polynomial 0xEDB88320, initial value 0xFFFFFFFF, final complement.
#include <windows.h>

class qkFile;

namespace qkLib {

// CRC-32 of a memory block; 0 for length 0.
DWORD Crc32(const void* data, DWORD length);
// Folds bytes into a running value (start with 0xFFFFFFFF, complement at the end).
DWORD Crc32Update(DWORD crc, const void* data, DWORD length);
// CRC-32 of a range of an open file, read in 8192-byte pieces with positioned reads. FALSE
// when a read fails (crc then holds an unfinished value); a length of 0 gives 0 and TRUE.
BOOL Crc32File(qkFile& file, DWORD* crc, ULONGLONG offset, ULONGLONG length);
// The check value of a header that carries its own CRC field at crcOffset: the CRC-32 of its
// first `size` bytes with the four bytes of the field counted as zero. A field that lies at or
// past `size` is not covered at all (a header whose CRC covers only the bytes before it).
DWORD HeaderCrc(const void* header, DWORD size, DWORD crcOffset);

} // namespace qkLib
