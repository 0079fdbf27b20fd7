// A DLL that lies only beside the test programs, never in the system folder: a hardened process
// must not load it by its bare name.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
