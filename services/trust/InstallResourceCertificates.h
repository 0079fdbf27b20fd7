#pragma once
// Adds the certificates carried as "ROOTC" resources of a module (400 and 401 at start-up, 402 by
// the companion-application installer) to a system store of the local machine.
#include <windows.h>

namespace vek {

// module: null for the executable. Certificates already present are skipped; S_OK when every
// certificate was added or present. The store must exist: it is never created.
HRESULT InstallResourceCertificates(HMODULE module, WORD resourceId, const wchar_t* storeName);

} // namespace vek
