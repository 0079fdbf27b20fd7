#pragma once
// The process exit code: 0 at start; start-up, the prerequisite checks, the another-instance
// prompt and the user interface set it, and wWinMain returns it. Main thread only.
extern int g_ExitCode;
