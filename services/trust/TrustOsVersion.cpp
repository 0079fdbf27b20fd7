#include "services/trust/TrustOsVersion.h"

#include <atomic>

#include "common/system/qkOSInfo.h"

namespace qkVerifyTrust {

namespace {
// Packed major << 16 | minor; 0 when not overridden.
std::atomic<DWORD> g_override{0};

TrustOsVersion RealVersion()
{
    // The library's cached version record (zero when it cannot be read).
    const RTL_OSVERSIONINFOEXW& info = qkOSInfo::GetVersionInfo();
    return TrustOsVersion{info.dwMajorVersion, info.dwMinorVersion};
}
} // namespace

TrustOsVersion TrustOsVersion::Current()
{
    const DWORD packed = g_override.load();
    if (packed != 0)
        return TrustOsVersion{packed >> 16, packed & 0xFFFF};
    static const TrustOsVersion real = RealVersion();
    return real;
}

void TrustOsVersion::Override(DWORD major, DWORD minor)
{
    g_override = (major << 16) | (minor & 0xFFFF);
}

void TrustOsVersion::Reset()
{
    g_override = 0;
}

} // namespace qkVerifyTrust
