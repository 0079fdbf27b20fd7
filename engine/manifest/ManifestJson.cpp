#include "engine/manifest/ManifestJson.h"

#include "common/errors/qkLog.h"
#include "services/launcher/VekUtil.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace vek {

namespace {

std::wstring KeyText(std::string_view key)
{
    return FromUtf8(std::string(key));
}

} // namespace

const ManifestJson::json* ManifestJson::Member(const json* object, std::string_view key)
{
    if (object == nullptr || !object->is_object()) {
        return nullptr;
    }
    const auto it = object->find(std::string(key));
    return it == object->end() ? nullptr : &*it;
}

ManifestJson::json* ManifestJson::Member(json* object, std::string_view key)
{
    if (object == nullptr || !object->is_object()) {
        return nullptr;
    }
    const auto it = object->find(std::string(key));
    return it == object->end() ? nullptr : &*it;
}

const ManifestJson::json* ManifestJson::Path(const json* root, std::initializer_list<std::string_view> keys)
{
    const json* node = root;
    for (std::string_view key : keys) {
        node = Member(node, key);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

ManifestJson::json* ManifestJson::Path(json* root, std::initializer_list<std::string_view> keys)
{
    json* node = root;
    for (std::string_view key : keys) {
        node = Member(node, key);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

const ManifestJson::json* ManifestJson::Element(const json* array, size_t index)
{
    if (array == nullptr || !array->is_array() || index >= array->size()) {
        return nullptr;
    }
    return &array->at(index);
}

ManifestJson::json* ManifestJson::Element(json* array, size_t index)
{
    if (array == nullptr || !array->is_array() || index >= array->size()) {
        return nullptr;
    }
    return &array->at(index);
}

std::string ManifestJson::Text(const json* value, std::string_view key)
{
    if (value == nullptr || value->is_null()) {
        return {};
    }
    if (!value->is_string()) {
        QK_LOG_WARNING(L"Manifest value %s is of type %s, not text: read as empty text", KeyText(key).c_str(),
                       TypeName(*value).c_str());
        return {};
    }
    return value->get_ref<const std::string&>();
}

std::wstring ManifestJson::WideText(const json* value, std::string_view key)
{
    return FromUtf8(Text(value, key));
}

int64_t ManifestJson::Integer(const json* value, std::string_view key, int64_t defaultValue)
{
    if (value == nullptr || value->is_null()) {
        return defaultValue;
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<int64_t>();
    }
    if (value->is_number_unsigned()) {
        const uint64_t number = value->get<uint64_t>();
        if (number <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return static_cast<int64_t>(number);
        }
    }
    QK_LOG_WARNING(L"Manifest value %s is of type %s, not an integer: read as %lld", KeyText(key).c_str(),
                   TypeName(*value).c_str(), static_cast<long long>(defaultValue));
    return defaultValue;
}

bool ManifestJson::Boolean(const json* value, std::string_view key, bool defaultValue)
{
    if (value == nullptr || value->is_null()) {
        return defaultValue;
    }
    if (!value->is_boolean()) {
        QK_LOG_WARNING(L"Manifest value %s is of type %s, not a Boolean: read as %s", KeyText(key).c_str(),
                       TypeName(*value).c_str(), defaultValue ? L"true" : L"false");
        return defaultValue;
    }
    return value->get<bool>();
}

bool ManifestJson::TextIsTrue(const json* value, std::string_view key)
{
    return Text(value, key) == "true";
}

size_t ManifestJson::ArraySize(const json* value)
{
    return value != nullptr && value->is_array() ? value->size() : 0;
}

ManifestJson::json* ManifestJson::ObjectMember(json* parent, std::string_view key)
{
    if (parent == nullptr || !parent->is_object()) {
        QK_LOG_WARNING(L"Cannot make %s: its parent is not an object", KeyText(key).c_str());
        return nullptr;
    }
    json& member = (*parent)[std::string(key)];
    if (member.is_null()) {
        member = json::object();
    }
    if (!member.is_object()) {
        QK_LOG_WARNING(L"Manifest value %s is of type %s, not an object: left as it is", KeyText(key).c_str(),
                       TypeName(member).c_str());
        return nullptr;
    }
    return &member;
}

ManifestJson::json* ManifestJson::ArrayMember(json* parent, std::string_view key)
{
    if (parent == nullptr || !parent->is_object()) {
        QK_LOG_WARNING(L"Cannot make %s: its parent is not an object", KeyText(key).c_str());
        return nullptr;
    }
    json& member = (*parent)[std::string(key)];
    if (member.is_null()) {
        member = json::array();
    }
    if (!member.is_array()) {
        QK_LOG_WARNING(L"Manifest value %s is of type %s, not an array: left as it is", KeyText(key).c_str(),
                       TypeName(member).c_str());
        return nullptr;
    }
    return &member;
}

bool ManifestJson::Set(json* object, std::string_view key, json value)
{
    if (object == nullptr || !object->is_object()) {
        QK_LOG_WARNING(L"Cannot set %s: its parent is not an object", KeyText(key).c_str());
        return false;
    }
    (*object)[std::string(key)] = std::move(value);
    return true;
}

bool ManifestJson::Remove(json* object, std::string_view key)
{
    if (object == nullptr || !object->is_object()) {
        return false;
    }
    return object->erase(std::string(key)) != 0;
}

bool ManifestJson::EqualNoCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&lower](char x, char y) { return lower(x) == lower(y); });
}

std::wstring ManifestJson::TypeName(const json& value)
{
    return FromUtf8(value.type_name());
}

std::string ManifestJson::AsText(const json& value)
{
    if (value.is_string()) {
        return value.get_ref<const std::string&>();
    }
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string ManifestJson::WriteCompact(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

size_t ManifestJson::Depth(const json& value)
{
    // Depth-first walk with an explicit stack, so that a hostile nesting cannot exhaust the
    // thread's stack while it is measured.
    size_t deepest = 0;
    std::vector<std::pair<const json*, size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) {
            continue;
        }
        if (depth + 1 > deepest) {
            deepest = depth + 1;
        }
        for (const json& child : *node) {
            pending.emplace_back(&child, depth + 1);
        }
    }
    return deepest;
}

} // namespace vek
