#pragma once
// The customer token (switch or manifest value "CC_TOKEN") is a secret: it never reaches a
// URL, a log line or the URL file in clear. These helpers replace it by a mask in text that is
// about to leave the process.
#include <string>

namespace vek {

constexpr wchar_t kTokenMask[] = L"********";

// Every occurrence of the secret in the text (nothing for an empty secret).
std::wstring MaskSecret(std::wstring text, const std::wstring& secret);

// The value that follows the switch CC_TOKEN (given as "/CC_TOKEN value", "-CC_TOKEN value",
// "/CC_TOKEN=value" or "/CC_TOKEN:value", any letter case, quoted or not).
// Every command line that is logged goes through it.
std::wstring MaskCommandLineToken(const std::wstring& commandLine);

// The value of one switch as it may be logged: masked when it is the token's.
std::wstring MaskSwitchValue(const wchar_t* name, const std::wstring& value);

} // namespace vek
