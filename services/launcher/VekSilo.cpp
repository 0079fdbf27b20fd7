#include "services/launcher/VekSilo.h"

#include "common/system/CIsolation.h"
#include "services/launcher/VekResultCodes.h"

namespace vek {

namespace {

constexpr wchar_t kSiloId[] = L"{56173B10-912C-4921-9AA2-3D4039DA1785}";
constexpr wchar_t kSiloRoot[] = L"SOFTWARE\\Vallor";

} // namespace

HRESULT SelectLauncherSilo()
{
    if (!CIsolation::SetSiloID(kSiloId))
        return VEK_E_SILO_ID_NOT_SET;
    if (!CIsolation::SetSiloRegistryRoot(kSiloRoot))
        return VEK_E_SILO_ROOT_NOT_SET;
    return S_OK;
}

} // namespace vek
