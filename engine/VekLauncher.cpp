// Entry of VekLauncher, the 32-bit GUI download manager and installation launcher.
#include <windows.h>

#include "engine/launcher/VekExitCode.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return g_ExitCode;
}
