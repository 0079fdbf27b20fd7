#pragma once
// Small helpers of the download code over the manifest's JSON nodes: the document holds UTF-8,
// the code works in UTF-16; numbers of a download record are decimal strings.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vek {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// The member, or null when it is absent or null (no operator[] on a const node: undefined there
// for an absent member).
const nlohmann::json* JsonMember(const nlohmann::json& node, const char* name);
// The member as wide text when it is a string, else empty.
std::wstring JsonWString(const nlohmann::json& node, const char* name);
bool JsonHas(const nlohmann::json& node, const char* name);
// The member when it is a boolean (an integer), else the fallback.
bool JsonBool(const nlohmann::json& node, const char* name, bool fallback);
int JsonInt(const nlohmann::json& node, const char* name, int fallback);

// A decimal string of digits only, as an unsigned 64-bit value; anything else throws
// std::invalid_argument (a sign, blanks, an empty text, overflow).
std::uint64_t ParseDecimalU64(const std::string& text);
// The member (string of digits, or an unsigned number) through ParseDecimalU64.
std::uint64_t JsonDecimalU64(const nlohmann::json& node, const char* name);
std::string DecimalString(std::uint64_t value);

} // namespace vek
