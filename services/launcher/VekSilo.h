#pragma once
// The isolation silo of the launcher's family, in which the machine identifier and the trust
// component's settings live. Whoever reads them selects the silo first; selecting it again is
// harmless.
#include <windows.h>

namespace vek {

// Sets the silo's identifier, then its registry root (not tried after a failed identifier):
// S_OK, VEK_E_SILO_ID_NOT_SET or VEK_E_SILO_ROOT_NOT_SET.
HRESULT SelectLauncherSilo();

} // namespace vek
