#pragma once
// Completion of a user agent taken from the registry or the default "Tolk/0.0.0.0/Win": five parts
// product/version/platform/os-version/suffix, with the operating system's version filled in.
#include <windows.h>

#include <string>

namespace Jux {

class UserAgentParts {
public:
    // Splits text at "/" into at most five parts (text after a fifth "/" is dropped).
    explicit UserAgentParts(const std::wstring& text);

    // suffix (not empty) replaces the fifth part; an empty os-version part gets "major.minor.build"
    // (and an empty platform becomes "Win"). Every part is followed by "/", then trailing "/" go.
    std::wstring Complete(const std::wstring& suffix, DWORD major, DWORD minor, DWORD build) const;

private:
    std::wstring m_parts[5];
};

} // namespace Jux
