#pragma once
// Loads the C runtime shipped beside the launcher ("%INSTALLDIR%\ucrtbase.dll") on Windows
// versions before 8, which may lack it; once per process, and it stays loaded.
#include <windows.h>

namespace qkLib {

// S_OK at once on Windows 8 or later; otherwise the status of the one load: S_OK, 0x80070003
// when the path does not expand, or the HRESULT of the load error.
HRESULT EnsureLocalUcrtLoaded();

// The load itself, run once by EnsureLocalUcrtLoaded; sets and returns the stored status.
HRESULT LoadLocalUcrtOnce();

} // namespace qkLib
