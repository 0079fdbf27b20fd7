#include "common/base/qkWideFormat.h"
#include "net/http/Jux_UserAgentParts.h"

#include <cwchar>

namespace Jux {

UserAgentParts::UserAgentParts(const std::wstring& text)
{
    size_t part = 0;
    for (wchar_t c : text) {
        if (c == L'/') {
            if (++part == 5)
                break;
            continue;
        }
        m_parts[part].push_back(c);
    }
}

std::wstring UserAgentParts::Complete(const std::wstring& suffix, DWORD major, DWORD minor, DWORD build) const
{
    std::wstring parts[5];
    for (int i = 0; i < 5; ++i)
        parts[i] = m_parts[i];
    if (!suffix.empty())
        parts[4] = suffix;
    if (parts[3].empty()) {
        if (parts[2].empty())
            parts[2] = L"Win";
        wchar_t version[48];
        qkLib::FormatWide(version, 48, L"%lu.%lu.%lu", static_cast<unsigned long>(major),
                          static_cast<unsigned long>(minor), static_cast<unsigned long>(build));
        parts[3] = version;
    }
    std::wstring out;
    for (const auto& part : parts) {
        out += part;
        out += L'/';
    }
    while (!out.empty() && out.back() == L'/')
        out.pop_back();
    return out;
}

} // namespace Jux
