#include "services/companion/WoxCommandLine.h"

namespace vek {
namespace {

bool HasQuote(const std::wstring& text)
{
    return text.find(L'"') != std::wstring::npos;
}

} // namespace

bool BuildWoxInstallerCommandLine(const std::wstring& installer, const std::wstring& bundle, bool installOnly,
                                  bool forceLogging, const std::vector<std::wstring>& dependencies,
                                  std::wstring& commandLine)
{
    if (HasQuote(installer) || HasQuote(bundle))
        return false;
    for (const std::wstring& dependency : dependencies)
        if (HasQuote(dependency))
            return false;
    std::wstring line = L"\"" + installer + L"\" " + (installOnly ? L"INSTALL_ONLY" : L"INSTALL") + L" ";
    if (forceLogging)
        line += L"FORCE_LOGGING ";
    line += L"\"" + bundle + L"\" ";
    for (const std::wstring& dependency : dependencies) {
        const bool blank = dependency.find_first_of(L" \t") != std::wstring::npos;
        line += blank ? L" \"" + dependency + L"\"" : L" " + dependency;
    }
    commandLine = line;
    return true;
}

bool BuildWoxTaskArguments(const std::wstring& folder, std::wstring& arguments)
{
    if (HasQuote(folder))
        return false;
    // A backslash before the closing quote would escape it for the command-line parser: the
    // folder goes without its trailing backslashes (a drive's root keeps one, followed by ".").
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == L'\\')
        trimmed.pop_back();
    if (!trimmed.empty() && trimmed.back() == L':')
        trimmed += L"\\.";
    arguments = L"/INSTALL_WOX_APP /WOX_PACKAGE_PATH \"" + trimmed + L"\"";
    return true;
}

} // namespace vek
