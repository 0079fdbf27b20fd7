// A small DLL that the trust tests sign under different signers.
#include <windows.h>

extern "C" int STDAPICALLTYPE TrustFixtureAnswer()
{
    return 42;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
