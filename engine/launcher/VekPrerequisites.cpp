#include "engine/launcher/VekPrerequisites.h"

#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "net/proxy/ManifestProductKind.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <cwchar>
#include <string>

namespace vek {

namespace {

bool IsVistaOrLater(const SystemFacts& facts)
{
    return facts.major >= 6;
}

bool IsWindowsXP(const SystemFacts& facts)
{
    return facts.major == 5 && facts.minor == 1;
}

bool Equal(const std::wstring& text, const wchar_t* expected)
{
    return ::_wcsicmp(text.c_str(), expected) == 0;
}

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

} // namespace

SystemFacts SystemFacts::Read()
{
    SystemFacts facts;
    if (!qkOSInfo::Initialize()) {
        // The version stays 0.0, which no check accepts.
        QK_LOG_ERROR(L"Unable to read the operating system version, error %lu", ::GetLastError());
    }
    const RTL_OSVERSIONINFOEXW& version = qkOSInfo::GetVersionInfo();
    facts.major = version.dwMajorVersion;
    facts.minor = version.dwMinorVersion;
    facts.servicePackMajor = version.wServicePackMajor;
    facts.starterEdition = ::GetSystemMetrics(SM_STARTER) != 0;
    facts.wow64 = qkOSInfo::IsWow64() != FALSE;
    qkOSInfo info;
    facts.runningAsAdmin = info.IsRunningAsAdmin() != FALSE;
    facts.uacEnabled = IsUACEnabled();
    facts.guestAccount = IsGuestAccount();
    return facts;
}

int CheckSupportedSystem(const SystemFacts& facts)
{
    if (IsWindowsXP(facts)) {
        return !facts.starterEdition && !facts.wow64 && facts.servicePackMajor >= 2 ? kSystemReady
                                                                                    : kSystemNotSupported;
    }
    return IsVistaOrLater(facts) ? kSystemReady : kSystemNotSupported;
}

int CheckAdministratorRights(const SystemFacts& facts)
{
    if (CheckSupportedSystem(facts) != kSystemReady) {
        return kSystemNotSupported;
    }
    if (facts.runningAsAdmin) {
        return kSystemReady;
    }
    return IsVistaOrLater(facts) && facts.uacEnabled && !facts.guestAccount ? kSystemReady : kAdminRightsMissing;
}

HRESULT CheckPrerequisites(const SystemFacts& facts, bool silent, const PrerequisiteMessage& showMessage)
{
    switch (CheckAdministratorRights(facts)) {
    case kAdminRightsMissing:
        QK_LOG_ERROR(L"Administrator rights are required");
        if (!silent && showMessage) {
            showMessage(kStringNotAdmin);
        }
        return VEK_E_NOT_ADMIN;
    case kSystemNotSupported:
        QK_LOG_ERROR(L"The operating system %lu.%lu SP%u is not supported", facts.major, facts.minor,
                     static_cast<unsigned>(facts.servicePackMajor));
        if (!silent && showMessage) {
            showMessage(kStringNotSupported);
        }
        return VEK_E_PREREQUISITES;
    default:
        return S_OK;
    }
}

OmblPackage ReadOmblPackage(const nlohmann::json& installJob)
{
    OmblPackage package;
    // The manifest view's tests: run_key "QOR" and create_msi "true", both as written.
    const bool endpointProduct = IsEndpointJob(installJob);
    const bool createsMsi = ManifestAccess::CreatesMsi(installJob);
    bool ombl = false;
    bool endpoint = false;
    const std::wstring components =
        ManifestJson::WideText(ManifestJson::Path(&installJob, {"distribution", "components"}), "components");
    size_t begin = 0;
    while (begin <= components.size()) {
        size_t end = components.find(L',', begin);
        if (end == std::wstring::npos) {
            end = components.size();
        }
        const std::wstring name = Trim(components.substr(begin, end - begin));
        ombl = ombl || Equal(name, L"ombl");
        endpoint = endpoint || Equal(name, L"qor") || Equal(name, L"qor_edr");
        begin = end + 1;
    }
    package.applies = endpointProduct && !createsMsi && ombl && !endpoint;

    if (const nlohmann::json* files = ManifestAccess::Files(installJob)) {
        for (const nlohmann::json& file : *files) {
            if (Equal(ManifestJson::WideText(ManifestJson::Member(&file, "component"), "component"), L"ombl") &&
                Equal(ManifestJson::WideText(ManifestJson::Member(&file, "type"), "type"), L"job_installer")) {
                package.installerHasDestination = !ManifestAccess::DestinationFile(file).empty();
                break;
            }
        }
    }
    return package;
}

HRESULT CheckOmblPrerequisites(const OmblPackage& package, const InstalledVersionQuery& installedVersion,
                               int32_t& exitCode)
{
    if (!package.applies) {
        return S_OK;
    }
    if (!package.installerHasDestination) {
        exitCode = ExitOmblNotForThisSystem;
        QK_LOG_ERROR(L"[PRE-REQUISITE CHECK]: OMBL installer in not available for given OS");
        return VEK_E_NOT_ADMIN;
    }
    if (!installedVersion) {
        QK_LOG_ERROR(L"No installed-version query for the endpoint product");
        return E_INVALIDARG;
    }
    if (installedVersion(kEndpointUpgradeCode, kEndpointUpgradeCodeWow64) == -2) {
        QK_LOG_ERROR(L"[PRE-REQUISITE CHECK]: OMBL only package cannot be used without QOR installed");
        exitCode = ExitOmblWithoutProduct;
        return VEK_E_NOT_ADMIN;
    }
    return S_OK;
}

} // namespace vek
