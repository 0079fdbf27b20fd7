#include "engine/job/VekJob.h"
#include "services/launcher/VekResultCodes.h"

namespace vek {

const char* JobException::what() const noexcept
{
    switch (m_code) {
    case VEK_E_PLUGIN_LOADER:
        return "Cannot initialize plugin loader";
    case VEK_E_PLUGIN_START:
        return "Cannot start plugin";
    case VEK_E_PLUGIN_CREATE:
        return "Cannot create plugin object";
    case VEK_E_PLUGIN_SIGNATURE:
        return "Invalid digital signature";
    case VEK_E_PLUGIN_NOT_IN_MANIFEST:
        return "Unable to find plugin in manifest";
    default:
        return "Unknown JobException";
    }
}

} // namespace vek
