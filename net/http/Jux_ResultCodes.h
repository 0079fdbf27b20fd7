#pragma once
// Two-way mapping between the common library's result codes and HRESULTs (one table).
#include <windows.h>

#include <cstdint>

namespace Jux {

// Library result codes used by the table.
constexpr std::uint32_t kResultSuccess = 0x00010000;
constexpr std::uint32_t kResultGeneralFailure = 0x8001FFFF;
// A settings value or key that is not there.
constexpr std::uint32_t kResultNotFound = 0x80000100;

HRESULT HResultFromResultCode(std::uint32_t code);
std::uint32_t ResultCodeFromHResult(HRESULT hr);

} // namespace Jux
