#include "engine/manifest/EnvironmentParser.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekUtil.h"

#include <algorithm>

namespace vek {

EnvironmentParser::EnvironmentParser(json* node, uint32_t flag, const json& environment)
    : m_node(node), m_flag(flag), m_environment(environment)
{}

HRESULT EnvironmentParser::RecursiveProcess(json* node, uint32_t flag, const json& environment)
{
    if (node == nullptr) {
        return E_POINTER;
    }
    return EnvironmentParser(node, flag, environment).walk(0);
}

HRESULT EnvironmentParser::walk(int nesting) const
{
    if (nesting >= kMaxNestingDepth) {
        QK_LOG_WARNING(L"Members nested deeper than %d levels are not expanded", kMaxNestingDepth);
        return S_OK;
    }
    if (!m_node->is_structured()) {
        return S_OK;
    }
    // Texts first, then objects, then arrays: the order in which the values are expanded is
    // visible when the environment being used is itself among them.
    for (json& member : *m_node) {
        if (member.is_string()) {
            const std::string text = member.get<std::string>();
            expandString(text, member);
        }
    }
    for (json& member : *m_node) {
        if (member.is_object()) {
            EnvironmentParser(&member, m_flag, m_environment).walk(nesting + 1);
        }
    }
    for (json& member : *m_node) {
        if (member.is_array()) {
            EnvironmentParser(&member, m_flag, m_environment).walk(nesting + 1);
        }
    }
    return S_OK;
}

HRESULT EnvironmentParser::expandString(const std::string& text, json& target) const
{
    const HRESULT hr = expandOnce(text, target, 0);
    if (hr == HRESULT_FROM_WIN32(ERROR_CIRCULAR_DEPENDENCY)) {
        QK_LOG_WARNING(L"Tokens of \"%s\" refer to each other in a cycle: the text is left as written",
                       FromUtf8(text.substr(0, 200)).c_str());
        target = text;
        return E_FAIL;
    }
    return hr;
}

HRESULT EnvironmentParser::expandOnce(const std::string& text, json& target, int round) const
{
    if (round >= kMaxExpansionDepth) {
        return HRESULT_FROM_WIN32(ERROR_CIRCULAR_DEPENDENCY);
    }
    std::vector<std::string> pieces = split(text);
    const bool whole = pieces.size() == 1;
    HRESULT hr = S_OK;
    bool replaced = false;
    // A long text without tokens is no cycle: only growth beyond the limit counts.
    const size_t limit = std::max(kMaxExpandedLength, text.size());
    size_t length = 0;
    for (std::string& piece : pieces) {
        // Checked before each piece: the environment may be the tree being expanded, so a value
        // can refer to its own, already grown, text.
        length += piece.size();
        if (length > limit) {
            return HRESULT_FROM_WIN32(ERROR_CIRCULAR_DEPENDENCY);
        }
        if (!isToken(piece)) {
            continue;
        }
        const json* value = ManifestJson::Member(&m_environment, piece.substr(1, piece.size() - 2));
        if (whole) {
            if (value != nullptr) {
                target = *value;
                replaced = true;
            } else {
                target = text;
                hr = E_FAIL;
            }
        } else if (value != nullptr) {
            const std::string replacement = ManifestJson::AsText(*value);
            length = length - piece.size() + replacement.size();
            if (length > limit) {
                return HRESULT_FROM_WIN32(ERROR_CIRCULAR_DEPENDENCY);
            }
            piece = replacement;
            replaced = true;
        } else {
            hr = E_FAIL;
        }
    }
    if (!whole) {
        target = join(pieces);
    }
    if (replaced && target.is_string()) {
        // Copy: the next round writes into the same target.
        const std::string expanded = target.get<std::string>();
        if (expanded != text && expanded.find('%') != std::string::npos) {
            return expandOnce(expanded, target, round + 1);
        }
    }
    return hr;
}

std::vector<std::string> EnvironmentParser::split(const std::string& text)
{
    std::vector<std::string> pieces;
    std::string current;
    bool inToken = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            current += c;
        } else if (inToken) {
            current += c;
            pieces.push_back(std::move(current));
            current.clear();
            inToken = false;
        } else if (i + 1 < text.size() && text[i + 1] == '%') {
            current += "%%";
            ++i;
        } else {
            if (!current.empty()) {
                pieces.push_back(std::move(current));
                current.clear();
            }
            current += c;
            inToken = true;
        }
    }
    if (!current.empty()) {
        pieces.push_back(std::move(current));
    }
    return pieces;
}

std::string EnvironmentParser::join(const std::vector<std::string>& pieces)
{
    std::string text;
    for (const std::string& piece : pieces) {
        text += piece;
    }
    return text;
}

bool EnvironmentParser::isToken(const std::string& piece)
{
    return piece.size() >= 3 && piece.front() == '%' && piece[1] != '%' && piece.back() == '%';
}

} // namespace vek
