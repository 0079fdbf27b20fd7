#pragma once
// The launcher's command-line switches: every switch it reads, its form, and which of them are
// handed on to copies of the launcher that it starts itself (bootstrap relaunch, Run value, run
// task). Switches are tokens that begin with "/" or "-"; names compare without regard to case.
#include "common/system/qkCommandLine.h"

#include <array>
#include <span>
#include <string>

namespace vek {

enum class SwitchForm {
    Flag,          // present or absent
    Number,        // the value read as a decimal number, a default when absent
    String,        // the value text, empty when absent
    FlagAndNumber, // tested as a flag and read as a number
};

struct SwitchInfo {
    const wchar_t* name;
    SwitchForm form;
    bool forwarded;
    // Tested as a case-insensitive substring of the whole command line, not parsed.
    bool raw;
};

namespace switches {
constexpr wchar_t SHOWONECLICK[] = L"SHOWONECLICK";
constexpr wchar_t WIN10_UPGRADE[] = L"WIN10_UPGRADE";
constexpr wchar_t SHOWFAILOVER[] = L"SHOWFAILOVER";
constexpr wchar_t UNATTENDED[] = L"UNATTENDED";
constexpr wchar_t SILENT[] = L"SILENT";
constexpr wchar_t SMART_RESTART[] = L"SMART_RESTART";
constexpr wchar_t UPGRADE_DELAY[] = L"UPGRADE_DELAY";
constexpr wchar_t ADMIN_INITIATED[] = L"ADMIN_INITIATED";
constexpr wchar_t HARD_REBOOT[] = L"HARD_REBOOT";
constexpr wchar_t SCHEDULE_TO[] = L"SCHEDULE_TO";
constexpr wchar_t DISABLE_SCHEDULE[] = L"DISABLE_SCHEDULE";
constexpr wchar_t MINIMIZED[] = L"m";
constexpr wchar_t FORCE_INSTALL[] = L"FORCE_INSTALL";
constexpr wchar_t INSTALLER_OPTIONS[] = L"INSTALLER_OPTIONS";
constexpr wchar_t IGNORE_USER_SESSION[] = L"IGNORE_USER_SESSION";
constexpr wchar_t CC_TOKEN[] = L"CC_TOKEN";
constexpr wchar_t NOUI[] = L"noui";
constexpr wchar_t EXECUTED_BY_MSI[] = L"EXECUTED_BY_MSI";
constexpr wchar_t DISABLE_AUTOMATIC_UPGRADE[] = L"DISABLE_AUTOMATIC_UPGRADE";
constexpr wchar_t UPGRADE_CONFIRMED[] = L"UPGRADE_CONFIRMED";
constexpr wchar_t UNINSTALL[] = L"UNINSTALL";
constexpr wchar_t INSTALL_WOX_APP[] = L"INSTALL_WOX_APP";
constexpr wchar_t WOX_PACKAGE_PATH[] = L"WOX_PACKAGE_PATH";
constexpr wchar_t FORCE_LOGGING[] = L"FORCE_LOGGING";
constexpr wchar_t SHOW_RESTART_PROMPT[] = L"SHOW_RESTART_PROMPT";
constexpr wchar_t RESTARTED_IN_SESSION[] = L"RESTARTED_IN_SESSION";
constexpr wchar_t RELAUNCHED[] = L"r";
constexpr wchar_t IMAGE[] = L"IMAGE";
constexpr wchar_t INSTALL_ONLY[] = L"INSTALL_ONLY";
constexpr wchar_t INSTALL[] = L"INSTALL";
constexpr wchar_t EXTRACT_PATH[] = L"EXTRACT_PATH";
constexpr wchar_t EXECUTED_BY_WTS[] = L"EXECUTED_BY_WTS";
} // namespace switches

// Every switch the launcher reads; the forwarded ones first, in forwarding order.
std::span<const SwitchInfo> SwitchTable();
const SwitchInfo* FindSwitch(const wchar_t* name);

// The forwarded names, in the order in which they are appended.
extern const std::array<const wchar_t*, 21> g_ForwardedSwitches;

// Appends to commandLine, for each forwarded switch present on the process command line (except
// the excluded name, compared without regard to case; null excludes none), a blank, "/" and the
// name, then, when the switch has a value, a blank and the value in double quotes. A value that
// holds a double quote cannot be carried inside quotes (the command-line syntax has no escape):
// that switch is not forwarded and an error is logged.
void AppendForwardedSwitches(std::wstring& commandLine, const wchar_t* excluded);
// The same over a raw command line (an unparsable one is logged with the token masked).
void AppendForwardedSwitches(const wchar_t* rawCommandLine, std::wstring& commandLine, const wchar_t* excluded);
// The same over a parsed command line.
void AppendForwardedSwitches(const qkCommandLine& source, std::wstring& commandLine, const wchar_t* excluded);

// Raw switch test: the name as a case-insensitive substring of the whole text.
bool HasRawSwitch(const wchar_t* commandLine, const wchar_t* name);
// Parsed switch test: a switch of that name among the tokens of the text, so that a switch's
// value holding the name does not count. A text the parser refuses (an unclosed quote) has none.
bool HasParsedSwitch(const wchar_t* commandLine, const wchar_t* name);

} // namespace vek
