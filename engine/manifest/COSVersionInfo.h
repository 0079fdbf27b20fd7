#pragma once
// The operating-system facts that the job selection asks: server or client, WOW64, the build
// number and the system's locale name. Virtual, so that tests can play any system.
#include <windows.h>

#include <string>

namespace vek {

class COSVersionInfo {
public:
    virtual ~COSVersionInfo() = default;
    virtual bool IsServer();
    // False when this 32-bit process runs on a 64-bit system.
    virtual bool IsNotWow64();
    // With orGreater: the build is at least `build`; else exactly `build`.
    virtual bool IsBuild(DWORD build, bool orGreater);
    // The system's locale name, such as "de-DE"; empty when it cannot be read.
    virtual std::wstring GetSystemLocaleName();
};

} // namespace vek
