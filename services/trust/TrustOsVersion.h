#pragma once
// The operating-system version that the trust code decides on (catalog hash generation, the
// subject check of "custom" validation). The library's cached version (qkOSInfo), which tells the
// truth whatever the executable's manifest says; tests replace it to run the paths of older systems
// without switching the shared Wine prefix under tests that run in parallel.
#include <windows.h>

namespace qkVerifyTrust {

struct TrustOsVersion {
    DWORD major = 0;
    DWORD minor = 0;

    bool AtLeast(DWORD wantMajor, DWORD wantMinor) const
    {
        return major > wantMajor || (major == wantMajor && minor >= wantMinor);
    }

    static TrustOsVersion Current();
    // Replaces the version for the process (tests); Reset goes back to the real one.
    static void Override(DWORD major, DWORD minor);
    static void Reset();
};

} // namespace qkVerifyTrust
