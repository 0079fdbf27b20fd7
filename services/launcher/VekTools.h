#pragma once
// Launcher tools: which switches the command line carries, in what kind of session and as which
// user the process runs, and which interactive user sessions exist.
#include "common/system/qkCommandLine.h"
#include "common/system/qkHandle.h"

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VekTools {

using SessionList = std::vector<WTS_SESSION_INFOW>;

// Switch queries on the process command line, parsed anew by every call. Names compare without
// regard to case; a switch's value is the token that follows it.
bool hasCmdSwitch(const wchar_t* name);
// The value as an unsigned decimal number; the default when the switch or its value is missing,
// when the value has anything but digits (a sign included), or when it is out of range.
uint32_t cmdSwitchValue(const wchar_t* name, uint32_t defaultValue);
std::wstring cmdSwitchString(const wchar_t* name);

// The same queries on a given parsed command line (the process forms call these).
bool hasCmdSwitch(const qkCommandLine& commandLine, const wchar_t* name);
uint32_t cmdSwitchValue(const qkCommandLine& commandLine, const wchar_t* name, uint32_t defaultValue);
std::wstring cmdSwitchString(const qkCommandLine& commandLine, const wchar_t* name);

bool isProcessInInteractiveSession();
bool isRunningAsSystem();
// Whether the final message for this exit code is suppressed.
bool isSilentExit(uint32_t exitCode, bool uiRequested);
bool isSilentExit(const qkCommandLine& commandLine, uint32_t exitCode, bool uiRequested);

bool GetLoggedOnUserToken(DWORD sessionId, qkHandle& token);
bool isSessionUserAdmin(DWORD sessionId);
bool IsAdminUser(HANDLE token);
bool isWow64BitProcess();
HRESULT getShellProcessId(DWORD sessionId, DWORD& processId);
bool hasUserSessions();
DWORD getCurrentSessionId();
DWORD getActiveSessionId(bool preferAdministrators);
bool GetActiveSessions(SessionList& sessions, bool preferAdministrators);
void AddSessionsByState(SessionList& list, const WTS_SESSION_INFOW* sessions, DWORD count,
                        WTS_CONNECTSTATE_CLASS state);

} // namespace VekTools
