#pragma once
// SHA-256 of a file as 64 lower-case hexadecimal characters.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vek {

namespace security {
// buffer must hold exactly 64 characters (no terminator is written); it is written only when
// the whole digest succeeded.
HRESULT CalculateSHA256ForFile(const wchar_t* fileName, char* buffer, size_t bufferSize);
} // namespace security

// Each byte as two lower-case hexadecimal digits; E_INVALIDARG for null bytes or count 0.
HRESULT StringToHexString(const uint8_t* bytes, size_t count, std::string& text);

} // namespace vek
