#pragma once
// What the job selection asks about products already installed: how the installed endpoint
// product's version compares with the one in the manifest, and whether the earlier
// hosted-services agent is installed. Virtual, so that tests can play any machine.
// CInstalledProducts asks Windows Installer (msi.dll, bound at run time) and the registry.
#include <windows.h>

#include <string>

namespace vek {

class IInstalledProducts {
public:
    virtual ~IInstalledProducts() = default;
    // The product of the upgrade code (the 64-bit code in a WOW64 process, the 32-bit code
    // otherwise; the one given when the other is empty) against `version`: -3 no upgrade code,
    // -2 not installed or its version unreadable, 0 installed and no version given, else -1, 0
    // or 1 as the installed version is smaller than, equal to or greater than `version`.
    virtual int CompareInstalledVersion(const std::wstring& upgradeCode32, const std::wstring& upgradeCode64,
                                        const std::wstring& version) = 0;
    virtual bool IsHostedAgentInstalled() = 0;
};

class CInstalledProducts : public IInstalledProducts {
public:
    // The Uninstall key whose existence marks the earlier hosted-services agent.
    static constexpr const wchar_t* kHostedAgentKey =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vallor Hosted Agent";

    int CompareInstalledVersion(const std::wstring& upgradeCode32, const std::wstring& upgradeCode64,
                                const std::wstring& version) override;
    bool IsHostedAgentInstalled() override;

    // Dotted versions of up to four decimal parts: -1, 0 or 1. An empty version is the
    // smallest; with equal leading parts the one with fewer parts is smaller (1.2 < 1.2.0).
    static int CompareVersions(const std::wstring& a, const std::wstring& b);
};

} // namespace vek
