#pragma once
// Installs the companion application that a deployment may carry beside the product (an
// application bundle, its installer executable and dependency files, the install job's files of
// component "wox"). Program start runs it alone for the switch INSTALL_WOX_APP.
//
// The first (interactive or scheduled) run writes an installation stamp and, unless the machine
// is being imaged (IMAGE), a task that repeats the installation at the next logon. The task's run
// requires the endpoint product and the stamp. Either run installs only when a user session
// exists and the application is not there yet: it checks the bundle's signer and the installer's
// signature, allows trusted side-loaded applications, imports the package's certificate, then
// runs the installer as the logged-on user (from SYSTEM) or with the launcher's own rights, and
// waits for it. Side-loading that this run switched on is switched off again when the wrapper
// goes; a setting that was already on stays on.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "services/companion/CRegistryKeyFactory.h"
#include "services/companion/CWoxInstallationTask.h"
#include "services/companion/IWoxManifest.h"
#include "services/launcher/IWinApi.h"
#include "services/launcher/VekRegistryNames.h"
#include "services/msi/CMsiUtils.h"
#include "services/msi/EndpointUpgradeCodes.h"

class WOXWrapper {
public:
    // What program start takes from the process and the deployment; tests give their own. Empty
    // or null members take the defaults.
    struct Options {
        std::wstring launcherPath; // the launcher file that carries the manifest: this module's file
        std::wstring commandLine;  // whose switches count: the process's command line
        std::shared_ptr<vek::IWinApi> api;
        std::shared_ptr<vek::CRegistryKeyFactory> registry;
        std::shared_ptr<CMsiUtils> msi;
        std::shared_ptr<vek::IWoxManifest> manifest;
        std::shared_ptr<vek::CWoxInstallationTask> task;
        // The package families of the side-loaded and of the store edition of the application.
        std::wstring sideLoadedFamily = L"Vallor.WoxApp.Sideload_4q2m8w6r1t0ya";
        std::wstring storeFamily = L"Vallor.WoxApp_7k3n9c5b2v1xe";
    };

    // The endpoint product's upgrade codes (32-bit and 64-bit systems).
    static constexpr const wchar_t* kEndpointUpgradeCode32 = vek::kEndpointUpgradeCode32;
    static constexpr const wchar_t* kEndpointUpgradeCode64 = vek::kEndpointUpgradeCode64;
    static constexpr const wchar_t* kVekKey = vek::kVekRegistryKey;
    static constexpr const wchar_t* kStampValue = L"WOXInstallationStamp";
    static constexpr const wchar_t* kSideLoadKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AppModelUnlock";
    static constexpr const wchar_t* kSideLoadValue = L"AllowAllTrustedApps";
    static constexpr WORD kCertificateResource = 402;

    // Side-loading as this run found and left it.
    enum SideLoadState : std::uint32_t { SideLoadSwitchedOn = 0, SideLoadUntouched = 1, SideLoadFailed = 2 };

    WOXWrapper();
    explicit WOXWrapper(Options options);
    virtual ~WOXWrapper();
    WOXWrapper(const WOXWrapper&) = delete;
    WOXWrapper& operator=(const WOXWrapper&) = delete;

    // 0 when nothing had to be done or the installer succeeded; the installer's exit code; the
    // HRESULT of a failed validation or of an installer that could not be started; 0x8000FFFF when
    // the manifest has neither file.
    HRESULT Install(const wchar_t* packageFolder, bool firstRun);

    std::uint32_t GetSideLoadState() const { return m_sideLoadState; }
    DWORD GetInstallerExitCode() const { return m_installerExitCode; }
    HRESULT GetInstallerResult() const { return m_installerResult; }

protected:
    // Whether a package of the family is installed (the system's package enumeration).
    virtual bool IsPackageFamilyInstalled(const wchar_t* family, bool report);

private:
    bool HasSwitch(const wchar_t* name) const;
    void CreateInstallationTask(const std::wstring& folder);
    void DeleteInstallationTask();
    bool IsEndpointProductInstalled();
    bool IsInstallationStampSet();
    void WriteInstallationStamp();
    void EnableSideLoading();
    void DisableSideLoading();
    HRESULT RunInstaller(const std::wstring& commandLine, DWORD& exitCode);

    Options m_options;
    std::shared_ptr<vek::IWinApi> m_api;
    std::shared_ptr<vek::CRegistryKeyFactory> m_registry;
    std::shared_ptr<CMsiUtils> m_msi;
    DWORD m_installerExitCode = 0;
    HRESULT m_installerResult = S_OK;
    std::uint32_t m_sideLoadState = SideLoadUntouched;
    nlohmann::json m_document;
    std::shared_ptr<vek::IWoxManifest> m_manifest;
};
