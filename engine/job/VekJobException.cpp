#include "engine/job/VekJob.h"

namespace vek {

const char* JobException::what() const noexcept
{
    switch (static_cast<uint32_t>(m_code)) {
    case 0x80047EC1:
        return "Cannot initialize plugin loader";
    case 0x80047EC2:
        return "Cannot start plugin";
    case 0x80047EC3:
        return "Cannot create plugin object";
    case 0x80047EC4:
        return "Invalid digital signature";
    case 0x80047EC5:
        return "Unable to find plugin in manifest";
    default:
        return "Unknown JobException";
    }
}

} // namespace vek
