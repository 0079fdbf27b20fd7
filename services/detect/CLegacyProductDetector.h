#pragma once
// Answers from the registry whether earlier products of the family are installed: the earlier
// hosted-services agent (its Uninstall key exists), the endpoint product (its version key names
// it "QOR"), and three earlier client products (their Uninstall keys). A key that does not open
// means "not installed"; nothing is reported and nothing throws. Every test is virtual, so the
// engine can put a stand-in detector in its place. Holds no state.
//
// All keys are under HKEY_LOCAL_MACHINE. A 32-bit launcher on a 64-bit system looks in the 64-bit
// registry view first and in its own (32-bit) view second.
#include <windows.h>

#include <string>

#include "common/system/qkRegistry.h"

namespace vek {

class CLegacyProductDetector {
public:
    static constexpr const wchar_t* kHostedAgentKey =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vallor Hosted Agent";
    static constexpr const wchar_t* kEndpointKey = L"SOFTWARE\\Talvern\\Qor\\CurrentVersion";
    static constexpr const wchar_t* kOWDKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OWD";
    static constexpr const wchar_t* kUVRKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UVR";
    static constexpr const wchar_t* kKAJKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KAJ";

    CLegacyProductDetector() = default;
    virtual ~CLegacyProductDetector() = default;

    // The agent's Uninstall key opens; the text is not filled.
    virtual bool GetHostedAgentInfo(std::wstring& info);
    virtual bool IsHostedAgentInstalled();
    // The version key opens and its "PRODUCTID" is exactly "QOR"; then "PRODUCTNAME" and
    // "PRODUCTVERSION" are read.
    virtual bool GetEndpointProductInfo(std::wstring& name, std::wstring& version);
    virtual bool IsEndpointProductInstalled();
    virtual bool GetOWDInfo(std::wstring& name, std::wstring& version);
    virtual bool IsOWDInstalled();
    virtual bool GetUVRInfo(std::wstring& name, std::wstring& version);
    virtual bool IsUVRInstalled();
    virtual bool GetKAJInfo(std::wstring& name, std::wstring& version);
    virtual bool IsKAJInstalled();
    // Only with the hosted-services agent installed: the endpoint product, else OWD, else UVR
    // (KAJ takes no part).
    virtual bool FindLegacyProduct(std::wstring& name, std::wstring& version);
    virtual bool IsLegacyProductInstalled();
    // Reading access, in the 64-bit view first on a 64-bit system, then in the default view.
    virtual bool OpenRegistryKey(qkRegistry& key, HKEY root, const wchar_t* path);
    // The key's existence decides; "DisplayName" and "DisplayVersion" fill what they can (a
    // missing value leaves its output as it was).
    virtual bool GetUninstallInfo(const wchar_t* path, std::wstring& name, std::wstring& version);

protected:
    // Whether this is a 32-bit process on a 64-bit system.
    virtual bool IsWow64Process();
    // The view bits of the second ("default view") open: none, the process's own view.
    virtual REGSAM DefaultViewFlags() { return 0; }
};

} // namespace vek
