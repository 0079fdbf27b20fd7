#include "services/launcher/VekTokenMask.h"

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
        // The parser takes a token that begins with a switch character for the next switch,
        // never for a value.
        if (v >= text.size() || text[v] == L'/' || text[v] == L'-') {
            i = v;
            continue;
        }
        // The value ends where the launcher's own command-line parser ends it: at the next blank;
        // a value that opens a quote and does not close it within that token runs on to the
        // next quote (or to the end of an unclosed line), blanks and all.
        size_t begin = v;
        size_t end = text.find(L' ', v);
        if (end == std::wstring::npos)
            end = text.size();
        if (text[v] == L'"') {
            begin = v + 1;
            if (end - v > 1 && text[end - 1] == L'"') {
                --end;
            } else {
                end = end < text.size() ? text.find(L'"', end) : std::wstring::npos;
                if (end == std::wstring::npos)
                    end = text.size();
            }
        }
        if (end > begin)
            text.replace(begin, end - begin, kTokenMask);
        i = begin + wcslen(kTokenMask);
    }
    return text;
}

std::wstring MaskSwitchValue(const wchar_t* name, const std::wstring& value)
{
    // Quoted, so that a value that begins with a switch character stays the switch's value.
    const std::wstring prefix = L"/" + std::wstring(name ? name : L"") + L" \"";
    const std::wstring masked = MaskCommandLineToken(prefix + value + L"\"");
    return masked.substr(prefix.size(), masked.size() - prefix.size() - 1);
}

} // namespace vek
