#pragma once
// Command lines of the companion-application installation: the installer's and the activation
// task's arguments. Paths are quoted; a dependency name with a blank is quoted too, so that it
// stays one argument. A path or name holding a double quote cannot be quoted safely and is
// refused (false).
#include <string>
#include <vector>

namespace vek {

// "<"installer"> <mode> [FORCE_LOGGING ]"<bundle>" " then " <dependency>" for each dependency.
bool BuildWoxInstallerCommandLine(const std::wstring& installer, const std::wstring& bundle, bool installOnly,
                                  bool forceLogging, const std::vector<std::wstring>& dependencies,
                                  std::wstring& commandLine);
// "/INSTALL_WOX_APP /WOX_PACKAGE_PATH "<folder>"".
bool BuildWoxTaskArguments(const std::wstring& folder, std::wstring& arguments);

} // namespace vek
