#pragma once
// The launcher's one process-wide logger and the set-up of its log file. The log facade
// (VekLog.h) writes through this logger.
#include "common/errors/qkConfiguredDebugOutput.h"

namespace vek {

// The common library's process logger (qkLib::ProcessLogger), module name "VekLauncher". Its switches come from the
// machine's debug options at its first line or first setter; ConfigureLogFile overrides them.
extern qkConfiguredDebugOutput& VekDebugOutput;

// Sets the launcher's log switches on the logger: level Information and up, lines ended with
// "\r\n", level word, thread id and local date and time prefixes, file output without the
// process id in the file name; the folder; and the log name
// "<baseName>-YYYY-MM-DD-HHhMMmSSs" from the local time now ("VEK" when no base name is given).
// FALSE when the folder or the name cannot be stored.
BOOL ConfigureLogFile(qkConfiguredDebugOutput& logger, const wchar_t* folder, const wchar_t* baseName);

} // namespace vek
