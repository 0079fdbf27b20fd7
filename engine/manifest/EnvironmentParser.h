#pragma once
// The token walker of the path expansion: replaces %NAME% tokens in every text value of a JSON
// tree with the members of an environment object, in place.
//
// A token begins with "%", ends with the next "%" and holds at least one character that is not
// "%" right after the opening sign; its name (between the signs) is matched exactly against the
// environment's member names. "%%" outside a token is literal text. A value that is one token
// alone becomes a copy of the environment value, whatever its JSON type (a number stays a
// number); a token inside longer text is replaced by the value's text. Unknown names stay as
// written. When a replacement brings in new tokens the text is expanded again, up to
// kMaxExpansionDepth rounds and kMaxExpandedLength bytes: tokens that refer to each other in a
// cycle (A is %B%, B is %A%; A is %A%%A%) stop there, leave the value as it was written, and log
// a warning.
//
// The walk reaches kMaxNestingDepth levels of objects and arrays; deeper members are left alone
// (with a warning) so that a hostile document cannot exhaust the stack.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vek {

class EnvironmentParser {
public:
    using json = nlohmann::json;

    static constexpr int kMaxExpansionDepth = 16;
    static constexpr int kMaxNestingDepth = 64;
    // A text that grows beyond this while it is expanded again counts as a cycle as well
    // (A defined as %A%%A% doubles each round).
    static constexpr size_t kMaxExpandedLength = 1024 * 1024;

    // `flag` is passed on unchanged to nested walks and not otherwise used.
    EnvironmentParser(json* node, uint32_t flag, const json& environment);

    // Expands every text value below `node` with `environment`. E_POINTER for a null node, else
    // S_OK (a value with an unknown token is no failure of the walk). Give an environment that
    // is not inside `node` (a copy): one inside is changed while it is being looked up.
    static HRESULT RecursiveProcess(json* node, uint32_t flag, const json& environment);

    // Expands one text into `target`. S_OK; E_FAIL when a token's name was not found (the
    // token stays) or a cycle was cut (the text stays as written).
    HRESULT expandString(const std::string& text, json& target) const;

    // The splitter's pieces: literal text, or one whole token with both percent signs. An
    // unclosed "%" makes a last piece that begins with "%" and does not end with one.
    static std::vector<std::string> split(const std::string& text);
    static std::string join(const std::vector<std::string>& pieces);
    // Whether a piece is a token: "%", a character that is not "%", ..., "%".
    static bool isToken(const std::string& piece);

private:
    HRESULT walk(int nesting) const;
    HRESULT expandOnce(const std::string& text, json& target, int round) const;

    json* m_node;
    uint32_t m_flag;
    const json& m_environment;
};

} // namespace vek
