#pragma once
// Tolerant access to members of the Manifest document. The manifest is hand-edited text: a
// member may be missing, null or of another JSON type than the launcher expects. The readers
// answer the caller's default for all three (a member of the wrong type also logs a warning that
// names the key and the type found), the writers refuse to write through a member that is not an
// object, and none of them throws. Nothing here uses operator[] on a const value.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vek {

class ManifestJson {
public:
    using json = nlohmann::json;

    // The member `key` of `object`; null when `object` is null, no object, or has no such member.
    static const json* Member(const json* object, std::string_view key);
    static json* Member(json* object, std::string_view key);
    // Member after member from `root`; null as soon as one step is missing.
    static const json* Path(const json* root, std::initializer_list<std::string_view> keys);
    static json* Path(json* root, std::initializer_list<std::string_view> keys);
    // Element `index` of an array; null when `array` is no array or too short.
    static const json* Element(const json* array, size_t index);
    static json* Element(json* array, size_t index);

    // Readers. `key` names the value in the warning only.
    static std::string Text(const json* value, std::string_view key);
    static std::wstring WideText(const json* value, std::string_view key);
    static int64_t Integer(const json* value, std::string_view key, int64_t defaultValue);
    static bool Boolean(const json* value, std::string_view key, bool defaultValue);
    // True when the value is the text "true" exactly: the manifest keeps most flags as text.
    static bool TextIsTrue(const json* value, std::string_view key);
    // The number of elements of an array; 0 for anything else.
    static size_t ArraySize(const json* value);

    // The object member `key` of `parent`, made an empty object when absent or null. Null, with a
    // warning, when `parent` is no object or the member holds another type.
    static json* ObjectMember(json* parent, std::string_view key);
    // The array member `key` of `parent`, made an empty array when absent or null; null likewise.
    static json* ArrayMember(json* parent, std::string_view key);
    // Sets or removes a member; false (with a warning for Set) when `object` is no object.
    static bool Set(json* object, std::string_view key, json value);
    static bool Remove(json* object, std::string_view key);

    // ASCII letters compared without regard to case: the manifest's names and modes.
    static bool EqualNoCase(std::string_view a, std::string_view b);
    // The JSON type's name for log lines: "string", "number", "object", ...
    static std::wstring TypeName(const json& value);
    // The value as text: a string as it is, anything else as compact JSON.
    static std::string AsText(const json& value);
    // The compact writer: one line and a line feed, keys in sorted order; text that is not valid
    // UTF-8 is written with replacement characters instead of failing.
    static std::string WriteCompact(const json& value);
    // Nesting depth of a value (0 for a scalar), measured without recursion.
    static size_t Depth(const json& value);
};

} // namespace vek
