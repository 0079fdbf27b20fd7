// StatusProbe: drives an installed product's security-status interface from the console.
#include <windows.h>

int wmain(int, wchar_t**)
{
    return 0;
}
