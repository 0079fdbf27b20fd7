#pragma once
// Decisions of the launcher's program entry that depend only on texts and codes, kept apart from
// wWinMain so that they can be tested without starting the program.
#include <string>

namespace vek {

// The base name of the log file for this command line (a raw, case-insensitive substring test):
// with "INSTALL_WOX_APP" a log only when "FORCE_LOGGING" is present too ("VekLauncherA" in the
// interactive session, else "VekLauncher"); otherwise "VekLauncher". Null: no log file.
const wchar_t* LogBaseNameFor(const wchar_t* commandLine, bool interactiveSession);

// "SYSTEM" for the user name SYSTEM (any case), else "USER".
const wchar_t* AccountWordFor(const std::wstring& userName);

// The command line of a relaunch in the interactive user's session: the engine's restart command
// line, then the current command line from the character before its first "/" to its end, then
// " /RESTARTED_IN_SESSION" unless already there (case-sensitive, as the copy tests it).
std::wstring UserSessionCommandLine(const std::wstring& restartCommandLine, const std::wstring& currentCommandLine);

// The exit codes after which a launcher started by the deployment package removes that package.
bool RemovesDeploymentPackage(int exitCode, bool executedByMsi);

} // namespace vek
