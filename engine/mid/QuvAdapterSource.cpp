#include "engine/mid/QuvAdapterSource.h"
#include "common/base/qkTextCompare.h"

#include "engine/mid/QuvAdapterList.h"
#include "engine/mid/QuvIniDocument.h"

#include <vector>

namespace {

constexpr wchar_t kNotAvailable[] = L"N/A";

bool IsNotAvailable(const std::wstring& token)
{
    return qkLib::EqualsOrdinalNoCase(token, kNotAvailable);
}

// Every token of the list, trimmed; the walk over "current" stops at the first empty token.
std::vector<std::wstring> Tokens(const std::wstring& list, bool stopAtEmpty)
{
    std::vector<std::wstring> tokens;
    std::wstring first, rest = list;
    while (!rest.empty()) {
        const std::wstring remaining = rest;
        QuvSplitFirst(remaining.c_str(), first, rest);
        if (first.empty() && stopAtEmpty)
            break;
        tokens.push_back(first);
    }
    return tokens;
}

std::wstring Join(const std::vector<std::wstring>& tokens)
{
    std::wstring text;
    for (const auto& t : tokens) {
        if (!text.empty())
            text += L'|';
        text += t;
    }
    return text;
}

} // namespace

QuvAdapterSource::QuvAdapterSource() : QuvAdapterSource(&QuvGetAdapterList) {}

QuvAdapterSource::QuvAdapterSource(ListFunction list) : m_list(std::move(list)) {}

HRESULT QuvAdapterSource::GetValue(std::wstring& value)
{
    value.clear();
    const HRESULT hr = m_list(value);
    if (hr == E_OUTOFMEMORY)
        return hr;
    if (FAILED(hr) || value.empty())
        value = kNotAvailable;
    return S_OK;
}

bool QuvAdapterSource::IsPhysicalToken(const std::wstring& token)
{
    if (token.empty() || IsNotAvailable(token))
        return false;
    if (token.size() > 16)
        return true;
    unsigned long long number = 0;
    for (wchar_t c : token) {
        int digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return true; // not a hexadecimal number: counts as physical
        number = number * 16 + static_cast<unsigned>(digit);
    }
    return number < 0x005056C00000ULL || number > 0x005056C000FFULL;
}

HRESULT QuvAdapterSource::Compare(const std::wstring& current, const std::wstring& stored, std::wstring& merged,
                                  bool& hasMerged)
{
    merged.clear();
    hasMerged = false;
    if (IsNotAvailable(QuvTrimBlanks(current)))
        return 0;

    const std::vector<std::wstring> storedTokens = Tokens(stored, false);
    auto isStored = [&](const std::wstring& token) {
        for (const auto& s : storedTokens)
            if (qkLib::EqualsOrdinalNoCase(s, token))
                return true;
        return false;
    };

    bool currentPhysical = false, physicalMatched = false;
    std::vector<std::wstring> added;
    for (const auto& token : Tokens(current, true)) {
        const bool physical = IsPhysicalToken(token);
        currentPhysical = currentPhysical || physical;
        if (!isStored(token))
            added.push_back(token);
        else if (physical)
            physicalMatched = true;
    }

    bool storedPhysical = false;
    std::vector<std::wstring> kept;
    for (const auto& token : storedTokens) {
        storedPhysical = storedPhysical || IsPhysicalToken(token);
        if (!token.empty() && !IsNotAvailable(token))
            kept.push_back(token);
    }

    if (currentPhysical && storedPhysical && !physicalMatched)
        return 1;
    if (!added.empty()) {
        kept.insert(kept.end(), added.begin(), added.end());
        merged = Join(kept);
        hasMerged = true;
    }
    return 0;
}
