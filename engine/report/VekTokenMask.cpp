#include "engine/report/VekTokenMask.h"

#include <windows.h>

namespace vek {

namespace {

constexpr wchar_t kSwitch[] = L"CC_TOKEN";
constexpr size_t kSwitchLength = 8;

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

} // namespace

std::wstring MaskSecret(std::wstring text, const std::wstring& secret)
{
    if (secret.empty())
        return text;
    for (size_t at = text.find(secret); at != std::wstring::npos; at = text.find(secret, at + wcslen(kTokenMask)))
        text.replace(at, secret.size(), kTokenMask);
    return text;
}

std::wstring MaskCommandLineToken(const std::wstring& commandLine)
{
    std::wstring text = commandLine;
    size_t i = 0;
    while (i < text.size()) {
        const bool switchStart =
            (text[i] == L'/' || text[i] == L'-') && (i == 0 || IsBlank(text[i - 1]) || text[i - 1] == L'"');
        if (!switchStart || text.size() - i - 1 < kSwitchLength ||
            ::CompareStringOrdinal(text.c_str() + i + 1, static_cast<int>(kSwitchLength), kSwitch,
                                   static_cast<int>(kSwitchLength), TRUE) != CSTR_EQUAL) {
            ++i;
            continue;
        }
        size_t v = i + 1 + kSwitchLength;
        if (v < text.size() && text[v] == L'"')
            ++v; // the closing quote of a quoted switch
        if (v < text.size() && !IsBlank(text[v]) && text[v] != L'=' && text[v] != L':') {
            i = v; // a longer switch name
            continue;
        }
        if (v < text.size() && (text[v] == L'=' || text[v] == L':'))
            ++v;
        while (v < text.size() && IsBlank(text[v]))
            ++v;
        if (v >= text.size()) {
            i = v;
            continue;
        }
        size_t begin = v, end;
        if (text[v] == L'"') {
            begin = v + 1;
            end = text.find(L'"', begin);
            if (end == std::wstring::npos)
                end = text.size();
        } else {
            end = v;
            while (end < text.size() && !IsBlank(text[end]))
                ++end;
        }
        if (end > begin)
            text.replace(begin, end - begin, kTokenMask);
        i = begin + wcslen(kTokenMask);
    }
    return text;
}

} // namespace vek
