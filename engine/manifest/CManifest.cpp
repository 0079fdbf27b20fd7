// The accessors of the Manifest document and the choice of the install job, its components and
// its package. Job checks, filters and patching: CManifestPatch.cpp.
#include "engine/manifest/CManifest.h"

#include "common/errors/qkLog.h"
#include "common/system/qkRegistry.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "net/proxy/ManifestProductKind.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"

#include <algorithm>

namespace vek {

ManifestSwitches ManifestSwitches::FromCommandLine()
{
    ManifestSwitches switches;
    switches.forceInstall = VekTools::hasCmdSwitch(L"FORCE_INSTALL");
    switches.image = VekTools::hasCmdSwitch(L"IMAGE");
    return switches;
}

CManifest::CManifest(ManifestDocument& document, ManifestSwitches switches, std::shared_ptr<COSVersionInfo> osInfo,
                     std::shared_ptr<CMsiUtils> msi, std::shared_ptr<CLegacyProductDetector> detector)
    : m_document(document), m_switches(switches), m_osInfo(std::move(osInfo)), m_msi(std::move(msi)),
      m_detector(std::move(detector))
{}

bool CManifest::init()
{
    if (!m_osInfo) {
        m_osInfo = std::make_shared<COSVersionInfo>();
    }
    if (!m_msi) {
        m_msi = std::make_shared<CMsiUtils>();
    }
    if (!m_detector) {
        m_detector = std::make_shared<CLegacyProductDetector>();
    }
    return m_document.Modify([this](json& root) {
        const json* job = ManifestAccess::FirstJob(root);
        m_hasInstallJob = job != nullptr;
        if (!m_hasInstallJob) {
            QK_LOG_ERROR(L"Wrong manifest without job");
            job = nullptr;
        }
        selectComponents(job, job != nullptr && IsEndpointJob(*job));
        choosePackage(root, job);
        return m_hasInstallJob;
    });
}

bool CManifest::hasInstallJob() const
{
    return m_hasInstallJob;
}

CManifest::json* CManifest::installJob(json& root) const
{
    return const_cast<json*>(installJob(static_cast<const json&>(root)));
}

const CManifest::json* CManifest::installJob(const json& root) const
{
    return m_hasInstallJob ? ManifestAccess::FirstJob(root) : nullptr;
}

void CManifest::selectComponents(const json* job, bool endpoint)
{
    m_components.clear();
    const std::string text =
        ManifestJson::Text(ManifestJson::Path(job, {"distribution", "components"}), "distribution.components");
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string name = text.substr(start, comma - start);
        if (!name.empty() && std::find(m_components.begin(), m_components.end(), name) == m_components.end()) {
            m_components.push_back(std::move(name));
        }
        start = comma + 1;
    }
    if (endpoint && m_components.empty()) {
        m_components.push_back("qor");
    }
}

void CManifest::choosePackage(json& root, const json* job)
{
    const std::string packageType =
        ManifestJson::Text(ManifestJson::Path(job, {"distribution", "package_type"}), "distribution.package_type");
    bool x86 = false;
    if (packageType == "win32") {
        x86 = true;
    } else if (!packageType.empty()) {
        x86 = false;
    } else {
        // A 32-bit launcher on a 64-bit system installs the 64-bit package.
        x86 = m_osInfo->IsNotWow64();
    }
    QK_LOG_INFO(x86 ? L"32-bit package selected to install" : L"64-bit package selected to install");
    m_platform = x86 ? "x86" : "x64";
    json* bootstrap = ManifestJson::ObjectMember(ManifestJson::Member(&root, "vek"), "bootstrap");
    ManifestJson::Set(bootstrap, "install_folder_postfix", x86 ? "_x86" : "_x64");
}

template <typename Value>
Value CManifest::installJobValue(Value (*read)(const json& job)) const
{
    return m_document.Read([this, read](const json& root) {
        const json* job = installJob(root);
        return job != nullptr ? read(*job) : Value();
    });
}

std::wstring CManifest::getManifestId() const
{
    return m_document.Read([](const json& root) { return ManifestAccess::ManifestId(root); });
}

std::wstring CManifest::getTelemetryProductName() const
{
    return m_document.Read([](const json& root) { return ManifestAccess::TelemetryProductName(root); });
}

std::wstring CManifest::getReportingUrl() const
{
    return m_document.Read([](const json& root) { return ManifestAccess::ReportingUrl(root); });
}

std::wstring CManifest::getDistributionType() const
{
    return m_document.Read([](const json& root) { return ManifestAccess::DistributionType(root); });
}

std::wstring CManifest::getCustomerId() const
{
    return installJobValue(&ManifestAccess::CustomerId);
}

std::wstring CManifest::getDomainId() const
{
    return installJobValue(&ManifestAccess::DomainId);
}

std::wstring CManifest::getUIMode() const
{
    return installJobValue(&ManifestAccess::UIMode);
}

bool CManifest::isQorProduct() const
{
    return installJobValue(&IsEndpointJob);
}

bool CManifest::isComponentSelected(const std::string& component) const
{
    return std::find(m_components.begin(), m_components.end(), component) != m_components.end();
}

bool CManifest::isRedistributable() const
{
    return installJobValue(&ManifestAccess::CreatesMsi);
}

bool CManifest::isGenericPackage() const
{
    return installJobValue(&ManifestAccess::IsGenericPackage);
}

bool CManifest::isSilentUIMode() const
{
    return installJobValue(&ManifestAccess::IsSilentUIMode);
}

bool CManifest::isUnattendedUIMode() const
{
    return getUIMode() == L"UNATTENDED";
}

VEK_PROXY_TYPE CManifest::getProxyType() const
{
    return m_document.Read([](const json& root) { return GetManifestProxyType(root); });
}

const CManifest::json* CManifest::findFileEntry(const json& job, const char* component, const char* type)
{
    const json* files = ManifestJson::Member(&job, "file_array");
    for (size_t i = 0; i < ManifestJson::ArraySize(files); ++i) {
        const json* entry = ManifestJson::Element(files, i);
        if (component != nullptr &&
            !ManifestJson::EqualNoCase(ManifestJson::Text(ManifestJson::Member(entry, "component"), "component"),
                                       component)) {
            continue;
        }
        if (type != nullptr &&
            !ManifestJson::EqualNoCase(ManifestJson::Text(ManifestJson::Member(entry, "type"), "type"), type)) {
            continue;
        }
        return entry;
    }
    return nullptr;
}

CManifest::json* CManifest::findFileEntry(json& job, const char* component, const char* type) const
{
    return const_cast<json*>(findFileEntry(static_cast<const json&>(job), component, type));
}

bool CManifest::findFile(const char* component, const char* type, json& entry) const
{
    return m_document.Read([&](const json& root) {
        const json* job = installJob(root);
        const json* found = job != nullptr ? findFileEntry(*job, component, type) : nullptr;
        if (found != nullptr) {
            entry = *found;
        }
        return found != nullptr;
    });
}

int CManifest::countInstallers() const
{
    json entry;
    if (m_components.empty()) {
        return findFile(nullptr, "job_installer", entry) ? 1 : 0;
    }
    int count = 0;
    for (const std::string& component : m_components) {
        count += findFile(component.c_str(), "job_installer", entry) ? 1 : 0;
    }
    return count;
}

std::wstring CManifest::getInstallerPath(const char* component) const
{
    return m_document.Read([&](const json& root) -> std::wstring {
        const json* job = installJob(root);
        const json* installer = job != nullptr ? findFileEntry(*job, component, "job_installer") : nullptr;
        if (installer == nullptr) {
            QK_LOG_ERROR(L"Installer not found!");
            return {};
        }
        std::wstring path =
            ManifestJson::WideText(ManifestJson::Member(installer, "destination_file"), "destination_file");
        if (path != L"%PAYLOAD_DESTINATION%") {
            return path;
        }
        const std::wstring destination = ManifestJson::WideText(
            ManifestJson::Path(job, {"environment", "PAYLOAD_DESTINATION"}), "PAYLOAD_DESTINATION");
        const json* plugin = findFileEntry(*job, nullptr, "job_plugin2");
        std::wstring folder =
            ManifestJson::WideText(ManifestJson::Member(plugin, "destination_file"), "destination_file");
        const size_t slash = folder.find_last_of(L"\\/");
        folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
        return folder + destination;
    });
}

bool CManifest::findEndpointInstaller(json& entry) const
{
    if (isQorSelected()) {
        return findFile("qor", "job_installer", entry);
    }
    if (isQorEdrSelected()) {
        return findFile("qor_edr", "job_installer", entry);
    }
    return false;
}

bool CManifest::getWoxDependencyFiles(std::vector<std::wstring>& files) const
{
    if (!isWoxSelected()) {
        return false;
    }
    return m_document.Read([&](const json& root) {
        const json* fileArray = ManifestJson::Member(installJob(root), "file_array");
        bool any = false;
        for (size_t i = 0; i < ManifestJson::ArraySize(fileArray); ++i) {
            const json* entry = ManifestJson::Element(fileArray, i);
            if (ManifestJson::EqualNoCase(ManifestJson::Text(ManifestJson::Member(entry, "type"), "type"),
                                          "wox_dependency")) {
                files.push_back(
                    ManifestJson::WideText(ManifestJson::Member(entry, "destination_file"), "destination_file"));
                any = true;
            }
        }
        return any;
    });
}

bool CManifest::isWaitingForUpgradeConfirmation(const wchar_t* launcherKey)
{
    const std::wstring path = std::wstring(launcherKey) + L"\\WaitingForUpgradeConfirmation";
    qkRegistry key;
    return key.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) != FALSE;
}

bool CManifest::clearUpgradeConfirmation(const wchar_t* launcherKey)
{
    qkRegistry key;
    if (!key.OpenKey(HKEY_LOCAL_MACHINE, launcherKey, KEY_ALL_ACCESS)) {
        QK_LOG_ERROR(L"Failed to open %s, error %lu", launcherKey, key.GetLastError());
        return false;
    }
    if (!key.DeleteKeyTree(L"WaitingForUpgradeConfirmation")) {
        QK_LOG_ERROR(L"Failed to delete %s\\WaitingForUpgradeConfirmation, error %lu", launcherKey, key.GetLastError());
        return false;
    }
    return true;
}

} // namespace vek
