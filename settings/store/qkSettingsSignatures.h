#pragma once
// First words of the store files this library meets. A file of the older settings format is a
// record store of the common library; its first word tells the manager which format to open
// and tells the current format's reader that the file is not one of its own.
#include <windows.h>

namespace qkSettings {

constexpr DWORD kLegacyStoreSignature = 0x8B871E6D;
constexpr DWORD kLegacyRecordSignature = 0x8B871E6E;

} // namespace qkSettings
