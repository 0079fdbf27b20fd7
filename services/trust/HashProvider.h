#pragma once
// The external hash provider that the trust object may consult before its own verification.
// It lies outside the system: given an open file it answers the "vtresult" bit set of its record,
// or nothing when it has no record. The production provider DLL is loaded through the common
// library's trusted DLL loader; until a provider is installed the trust object works on the
// system's verification alone. Tests install a provider of their own.
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>

namespace qkVerifyTrust {

struct HashProvider {
  // The "vtresult" bits of the file's record; std::nullopt when the provider cannot answer.
  std::function<std::optional<DWORD>(HANDLE file)> query;

  // Bit 18: the provider gives no verdict on this file.
  static constexpr DWORD kNoVerdict = 0x40000;

  // Makes the provider that trust objects load from now on (null: none).
  static void Install(std::function<std::shared_ptr<HashProvider>()> loader);
  // Loads a provider through the installed loader; null when there is none.
  static std::shared_ptr<HashProvider> Load();
};

} // namespace qkVerifyTrust
