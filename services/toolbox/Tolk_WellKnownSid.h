#pragma once
#include <windows.h>

#include <vector>

namespace Tolk {

// The bytes of a well-known SID of this machine; empty when it cannot be made.
inline std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return {};
    sid.resize(size);
    return sid;
}

} // namespace Tolk
