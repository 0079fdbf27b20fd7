#pragma once
// vek::CManifest: the view through which the engine, the jobs, the reporters and the user
// interface read the Manifest document, and which prepares the install job for this machine.
//
// Use:
//     vek::CManifest manifest(document, vek::ManifestSwitches::FromCommandLine());
//     manifest.init();                       // install job, components, package for the processor
//     HRESULT hr = manifest.checkInstallJob(); // FORCE_INSTALL, then the tokens: 0 or a failure
//     if (SUCCEEDED(hr)) manifest.prepare();   // filters the install job's files, patches the job
//
// init runs once, before other threads use the view; the selection it makes (components,
// platform) is kept in the view. The install job is element 0 of "vek"."job_array". Every
// operation takes the document's lock;
// none throws. A missing member, null, or a member of another JSON type than expected reads as
// the default: empty text, 0 or false (a wrong type also logs a warning). Texts come out as
// UTF-16; inside the document they stay UTF-8.
//
// Files that a filter removes from the job's "file_array" are kept under its "filtered_files",
// so that the fall-back after a failed re-enrollment can bring them back.
#include "engine/manifest/COSVersionInfo.h"
#include "engine/manifest/ManifestDocument.h"
#include "net/proxy/ManifestProxySettings.h"
#include "services/detect/CLegacyProductDetector.h"
#include "services/launcher/VekRegistryNames.h"
#include "services/msi/CMsiUtils.h"
#include "services/msi/EndpointUpgradeCodes.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vek {

// The command-line switches the job selection follows.
struct ManifestSwitches {
    bool forceInstall = false; // FORCE_INSTALL: install a redistributable package now
    bool image = false;        // IMAGE: preparing a machine image

    // Reads both from the process command line.
    static ManifestSwitches FromCommandLine();
};

class CManifest {
public:
    using json = nlohmann::json;
    // A predicate over one file entry: true keeps it.
    using JobFilter = std::function<bool(const json& entry)>;

    // The machine key beside which the upgrade-confirmation marker lives.
    static constexpr const wchar_t* kLauncherKey = kVekRegistryKey;

    // Service objects not given are made by init.
    explicit CManifest(ManifestDocument& document, ManifestSwitches switches = {},
                       std::shared_ptr<COSVersionInfo> osInfo = nullptr, std::shared_ptr<CMsiUtils> msi = nullptr,
                       std::shared_ptr<CLegacyProductDetector> detector = nullptr);

    // Selects the install job, the components and the package for the processor (writes
    // "vek"."bootstrap"."install_folder_postfix"). False when there is no install job.
    bool init();
    bool hasInstallJob() const;

    // Texts: "vek"."global" ...
    std::wstring getManifestId() const;
    std::wstring getTelemetryProductName() const;
    std::wstring getReportingUrl() const;
    // ... "vek"."bootstrap"."distribution_type" ...
    std::wstring getDistributionType() const;
    // ... and the install job's "distribution".
    std::wstring getCustomerId() const;
    std::wstring getDomainId() const;
    std::wstring getUIMode() const;

    // The install job's product_data.run_key is "QOR" (IsEndpointJob).
    bool isQorProduct() const;
    bool isComponentSelected(const std::string& component) const;
    bool isQorSelected() const { return isComponentSelected("qor"); }
    bool isQorEdrSelected() const { return isComponentSelected("qor_edr"); }
    bool isOmblSelected() const { return isComponentSelected("ombl"); }
    bool isWoxSelected() const { return isComponentSelected("wox"); }
    const std::vector<std::string>& getSelectedComponents() const { return m_components; }
    // "x86" or "x64" after init.
    const std::string& getPlatform() const { return m_platform; }

    // create_msi is "true": a package that only downloads for a later installation.
    bool isRedistributable() const;
    // distribution.generic_package is "true".
    bool isGenericPackage() const;
    // distribution.ui_mode is exactly "SILENT" / "UNATTENDED".
    bool isSilentUIMode() const;
    bool isUnattendedUIMode() const;
    // vek.bootstrap.options.proxy_settings.type (GetManifestProxyType).
    VEK_PROXY_TYPE getProxyType() const;

    // The first file entry of the install job whose "component" and "type" equal the given ones
    // without regard to case; a null criterion matches every entry.
    bool findFile(const char* component, const char* type, json& entry) const;
    // The "job_installer" entries: one lookup per selected component, or one without component.
    int countInstallers() const;
    // The installer's destination_file; "%PAYLOAD_DESTINATION%" there means the job
    // environment's PAYLOAD_DESTINATION in the folder of the "job_plugin2" entry. Empty when no
    // installer exists (logged).
    std::wstring getInstallerPath(const char* component) const;
    // The "job_installer" entry of "qor" when selected, else of "qor_edr" when selected.
    bool findEndpointInstaller(json& entry) const;
    // With "wox" selected, the destination_file of every "wox_dependency" entry; true when any.
    bool getWoxDependencyFiles(std::vector<std::wstring>& files) const;

    // The install-job check before the jobs run: VEK_E_JSON_NOT_PARSED without an install job; applies
    // FORCE_INSTALL; then the token check of the product: 0, VEK_E_NO_CC_TOKEN or VEK_E_NO_INSTALL_OPTIONS.
    HRESULT checkInstallJob();
    // Copies common values into the install job, completes the proxy settings and patches the
    // job for this machine (endpoint product) or drops the legacy clean-up files (others).
    void prepare();
    // After a failed re-enrollment: the product's files come back, "re_enroll" becomes false and
    // the job is patched again so that the product is downloaded and installed.
    void fallbackFromReEnrollment();

    // Keeps the install job's files that the filter accepts; moves the others to
    // "filtered_files".
    void applyFilter(const JobFilter& filter);
    // Moves the entries of "filtered_files" that the filter accepts back to "file_array".
    void restoreFiltered(const JobFilter& filter);

    // The filters. All but componentEqualFilter keep an entry that lacks the key they test.
    JobFilter componentFilter() const;
    static JobFilter componentEqualFilter(const std::string& component);
    static JobFilter componentNotEqualFilter(const std::string& component);
    JobFilter platformFilter() const;
    JobFilter osTypeFilter() const;
    JobFilter osBuildFilter() const;
    JobFilter removalModeFilter() const;

    // distribution.install_options decoded (standard Base64, then JSON); `settings` becomes
    // its "settings" member when it has one. False when empty, not Base64 or not JSON.
    bool decodeInstallOptions(json& settings) const;
    // The removal mode read from the install options by prepare ("SKIP", "AUTOMATIC", ...).
    const std::string& getRemovalMode() const { return m_removalMode; }
    // distribution.product_lang (the system's locale for "system") matched against
    // distribution.qor_supported_languages; "en-US" when nothing matches.
    std::wstring getProductLanguage() const;
    // Puts the product language into the endpoint installer's source_file in place of "en-US".
    void localizeInstallerUrl();

    // The upgrade-confirmation marker: the machine key "<launcherKey>\WaitingForUpgradeConfirmation".
    static bool isWaitingForUpgradeConfirmation(const wchar_t* launcherKey = kLauncherKey);
    static bool clearUpgradeConfirmation(const wchar_t* launcherKey = kLauncherKey);

private:
    json* installJob(json& root) const;
    const json* installJob(const json& root) const;
    // A reader of ManifestAccess applied to the install job; the reader's default without one.
    template <typename Value>
    Value installJobValue(Value (*read)(const json& job)) const;
    // An endpoint product with no component named selects "qor".
    void selectComponents(const json* job, bool endpoint);
    void choosePackage(json& root, const json* job);
    HRESULT checkEndpointTokens(const json& distribution) const;
    HRESULT checkTokens(const json* job, const json& distribution) const;
    void patchBackendUrls(json& job);
    void patchEndpointJob(bool fallback);
    void removeLegacyCleanup();
    json* findFileEntry(json& job, const char* component, const char* type) const;
    static const json* findFileEntry(const json& job, const char* component, const char* type);

    ManifestDocument& m_document;
    ManifestSwitches m_switches;
    std::shared_ptr<COSVersionInfo> m_osInfo;
    // The installed endpoint product (Windows Installer) and the earlier products (registry).
    std::shared_ptr<CMsiUtils> m_msi;
    std::shared_ptr<CLegacyProductDetector> m_detector;
    bool m_hasInstallJob = false;
    std::vector<std::string> m_components;
    std::string m_platform;
    std::string m_removalMode;
};

} // namespace vek
