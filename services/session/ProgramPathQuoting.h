#pragma once
// Command lines started with no application name are searched by the system blank by blank: an
// unquoted "C:\Program Files\x.exe" may start "C:\Program.exe". Command lines that the launcher
// starts for other sessions and users therefore get their program path quoted first.
#include <string>

namespace Tolk {

// The command line with its program path in double quotes when that path holds a blank and is
// not quoted yet; anything else unchanged. The program path ends at the first blank-delimited
// prefix that ends in ".exe", ".com", ".bat" or ".cmd", or else at the longest one that names an
// existing file.
std::wstring QuoteProgramPath(const std::wstring& commandLine);

} // namespace Tolk
