#pragma once
// The manifest's proxy settings: which port applies to an address, and the decryption of an
// encrypted proxy password.
#include "net/download/SecureWString.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vek {

// `port` for "http://" addresses, `https_port` for "https://" ones, each falling back to the other
// when 0; a number or a decimal string; absent or unreadable gives 0.
std::uint32_t GetProxyPort(const nlohmann::json& proxySettings, const std::wstring& address);

// Base64 of a 16-byte IV and the AES-256-CBC ciphertext of the zero-padded UTF-16LE password.
// Leaves the plain password in the holder, or none when the text cannot be decrypted.
void DecryptProxyPassword(SecureWString& holder, const std::wstring& encrypted);

} // namespace vek
