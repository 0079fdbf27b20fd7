#pragma once
// Hexadecimal text of bytes: two upper-case digits per byte, no separators.
#include <cstddef>
#include <string>

namespace Jux {

std::wstring HexText(const unsigned char* bytes, std::size_t count);

} // namespace Jux
