#include "net/download/DownloadJson.h"

#include "common/base/qkMultiByte.h"

#include <windows.h>

#include <limits>
#include <stdexcept>

namespace vek {

std::wstring Utf8ToWide(const std::string& text)
{
    return qkLib::FromUtf8(text);
}

std::string WideToUtf8(const std::wstring& text)
{
    return qkLib::ToUtf8(text);
}

const nlohmann::json* JsonMember(const nlohmann::json& node, const char* name)
{
    if (!node.is_object())
        return nullptr;
    auto it = node.find(name);
    return it == node.end() || it->is_null() ? nullptr : &*it;
}

bool JsonHas(const nlohmann::json& node, const char* name)
{
    return JsonMember(node, name) != nullptr;
}

bool JsonBool(const nlohmann::json& node, const char* name, bool fallback)
{
    const nlohmann::json* member = JsonMember(node, name);
    return member != nullptr && member->is_boolean() ? member->get<bool>() : fallback;
}

int JsonInt(const nlohmann::json& node, const char* name, int fallback)
{
    const nlohmann::json* member = JsonMember(node, name);
    return member != nullptr && member->is_number_integer() ? member->get<int>() : fallback;
}

std::wstring JsonWString(const nlohmann::json& node, const char* name)
{
    const nlohmann::json* member = JsonMember(node, name);
    if (member == nullptr || !member->is_string())
        return {};
    return Utf8ToWide(member->get<std::string>());
}

std::uint64_t ParseDecimalU64(const std::string& text)
{
    if (text.empty())
        throw std::invalid_argument("empty decimal number");
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            throw std::invalid_argument("not a decimal number: " + text);
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            throw std::invalid_argument("decimal number too large: " + text);
        value = value * 10 + digit;
    }
    return value;
}

std::uint64_t JsonDecimalU64(const nlohmann::json& node, const char* name)
{
    const nlohmann::json* member = JsonMember(node, name);
    if (member == nullptr)
        throw std::invalid_argument(std::string("missing member ") + name);
    const nlohmann::json& v = *member;
    if (v.is_number_unsigned())
        return v.get<std::uint64_t>();
    if (v.is_string())
        return ParseDecimalU64(v.get<std::string>());
    throw std::invalid_argument(std::string("member is not a decimal number: ") + name);
}

std::string DecimalString(std::uint64_t value)
{
    return std::to_string(value);
}

} // namespace vek
