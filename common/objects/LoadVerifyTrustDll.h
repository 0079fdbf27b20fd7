#pragma once
// Loads the trust DLL "qkVrTrst.dll" from the library root folder into the given loader.
#include <windows.h>

class qkTalDllLoader;

namespace Jux {

// The loader's Load result; before the load QK_E_LOADFAILED when the root folder cannot be read,
// QK_E_FAIL when the second read fails too, QK_E_OUTOFMEMORY when a buffer cannot be made.
HRESULT LoadVerifyTrustDll(qkTalDllLoader* loader);

} // namespace Jux
