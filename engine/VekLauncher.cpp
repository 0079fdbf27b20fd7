// Entry of VekLauncher, the 32-bit GUI download manager and installation launcher.
#include <windows.h>

int g_ExitCode = 0;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return g_ExitCode;
}
