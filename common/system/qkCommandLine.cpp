#include "common/system/qkCommandLine.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

#include <cwchar>

namespace {

const wchar_t kSwitchChars[] = L"/-";

bool IsSwitchNamed(const qkCommandLine::Entry& entry, const wchar_t* name)
{
    return entry.isSwitch && ::_wcsicmp(entry.text.c_str(), name) == 0;
}

} // namespace

BOOL qkCommandLine::Tokenize(const wchar_t* commandLine, std::vector<std::wstring>& tokens)
{
    if (commandLine == nullptr)
        return FALSE;
    qkExceptionInfo info;
    try {
        const std::wstring line(commandLine);
        const size_t n = line.size();
        size_t pos = 0;
        for (;;) {
            // Only the blank separates; a tab is an ordinary character.
            while (pos < n && line[pos] == L' ')
                ++pos;
            if (pos >= n)
                return TRUE;
            size_t end = line.find(L' ', pos);
            if (end == std::wstring::npos)
                end = n;
            std::wstring token = line.substr(pos, end - pos);
            const bool opensQuote = token[0] == L'"' && (token.size() == 1 || token.back() != L'"');
            if (opensQuote) {
                // The group runs from the blank that ended the token to the next quote.
                size_t close = end < n ? line.find(L'"', end + 1) : std::wstring::npos;
                if (close == std::wstring::npos) {
                    // The line may carry secrets (a customer token): where, not what.
                    QK_TRACE(L"unclosed quote at %lu of %lu characters", static_cast<unsigned long>(pos),
                             static_cast<unsigned long>(n));
                    return FALSE;
                }
                token.append(line, end, close - end + 1);
                end = close + 1;
            }
            tokens.push_back(token);
            pos = end;
        }
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkCommandLine::AddEntry(const wchar_t* switchChars, const std::wstring& token)
{
    if (switchChars == nullptr || switchChars[0] == L'\0')
        return FALSE;
    qkExceptionInfo info;
    try {
        Entry entry;
        entry.token = token;
        if (!token.empty() && token[0] == L'"') {
            // A quoted token is a plain argument, whatever follows the quote.
            size_t first = token.find_first_not_of(L'"');
            size_t last = token.find_last_not_of(L'"');
            if (first != std::wstring::npos)
                entry.text = token.substr(first, last - first + 1);
        } else if (!token.empty() && std::wcschr(switchChars, token[0]) != nullptr) {
            if (token.size() == 1) {
                QK_TRACE(L"a switch character alone : %s", token.c_str());
                return FALSE;
            }
            entry.isSwitch = true;
            entry.text = token.substr(1);
        } else {
            entry.text = token;
        }
        m_entries.push_back(std::move(entry));
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkCommandLine::Parse(const wchar_t* commandLine)
{
    if (commandLine == nullptr || commandLine[0] == L'\0')
        return FALSE;
    m_entries.clear();
    std::vector<std::wstring> tokens;
    if (!Tokenize(commandLine, tokens))
        return FALSE;
    for (const std::wstring& token : tokens) {
        if (!AddEntry(kSwitchChars, token))
            return FALSE;
    }
    return TRUE;
}

BOOL qkCommandLine::ParseProcessCommandLine()
{
    return Parse(::GetCommandLineW());
}

BOOL qkCommandLine::HasSwitch(const wchar_t* name) const
{
    if (name == nullptr || name[0] == L'\0')
        return FALSE;
    for (const Entry& entry : m_entries) {
        if (IsSwitchNamed(entry, name))
            return TRUE;
    }
    return FALSE;
}

bool qkCommandLine::FindValues(const wchar_t* name, std::vector<size_t>& indexes) const
{
    if (name == nullptr || name[0] == L'\0')
        return false;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (!IsSwitchNamed(m_entries[i], name))
            continue;
        if (i + 1 >= m_entries.size() || m_entries[i + 1].isSwitch) {
            QK_TRACE(L"switch %s has no value", name);
            return false;
        }
        indexes.push_back(++i);
    }
    return true;
}

BOOL qkCommandLine::GetSwitchValues(const wchar_t* name, std::vector<std::wstring>& values) const
{
    qkExceptionInfo info;
    try {
        std::vector<size_t> indexes;
        bool ok = FindValues(name, indexes);
        // Values before a failing occurrence are still handed out.
        for (size_t index : indexes)
            values.push_back(m_entries[index].text);
        return ok ? TRUE : FALSE;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkCommandLine::GetSwitchValuesClear(const wchar_t* name, std::vector<std::wstring>& values) const
{
    values.clear();
    return GetSwitchValues(name, values);
}

const wchar_t* qkCommandLine::GetSwitchValue(const wchar_t* name) const
{
    qkExceptionInfo info;
    try {
        std::vector<size_t> indexes;
        if (FindValues(name, indexes) && !indexes.empty())
            return m_entries[indexes.front()].text.c_str();
    }
    QK_CATCH(info)
    return nullptr;
}
