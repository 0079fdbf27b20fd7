// The install job's checks and its preparation for this machine: FORCE_INSTALL, the token
// checks, the job filters, the backend addresses, the removal mode, the product language and the
// re-enrollment of an installed endpoint product.
#include "engine/manifest/CManifest.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>

namespace vek {

namespace {

using json = nlohmann::json;

// The entry's text member, and whether the entry has it at all.
bool EntryText(const json& entry, std::string_view key, std::string& value)
{
    const json* member = ManifestJson::Member(&entry, key);
    if (member == nullptr) {
        return false;
    }
    value = ManifestJson::Text(member, key);
    return true;
}

bool DecodeBase64(const std::string& text, std::string& bytes)
{
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return false;
    }
    // Only the standard alphabet and its padding: the flags of CryptStringToBinaryA would also
    // let blanks and line breaks through.
    const bool alphabet = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
               c == '=';
    });
    if (!alphabet || text.size() % 4 != 0) {
        return false;
    }
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                                nullptr, nullptr)) {
        return false;
    }
    bytes.assign(size, '\0');
    if (!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr)) {
        return false;
    }
    bytes.resize(size);
    return true;
}

} // namespace

HRESULT CManifest::checkInstallJob()
{
    return m_document.Modify([this](json& root) -> HRESULT {
        json* job = installJob(root);
        if (job == nullptr) {
            QK_LOG_ERROR(L"Installation job not defined in manifest");
            return VEK_E_JSON_NOT_PARSED;
        }
        if (m_switches.forceInstall) {
            QK_LOG_INFO(L"CMD_FORCE_INSTALL switch specified, force redistributable VEK to install product");
            ManifestJson::Set(job, "create_msi", "false");
            json* options = ManifestJson::ObjectMember(
                ManifestJson::ObjectMember(ManifestJson::Member(&root, "vek"), "bootstrap"), "options");
            ManifestJson::Set(options, "ask_location", "false");
            ManifestJson::Set(options, "install", "false");
        }
        const json* distribution = ManifestJson::Member(job, "distribution");
        const json none = json::object();
        const json& values = distribution != nullptr ? *distribution : none;
        return isQorProduct() ? checkEndpointTokens(values) : checkTokens(job, values);
    });
}

HRESULT CManifest::checkEndpointTokens(const json& distribution) const
{
    auto text = [&distribution](std::string_view key) {
        return ManifestJson::Text(ManifestJson::Member(&distribution, key), key);
    };
    if (isQorSelected() && text("install_options").empty()) {
        QK_LOG_ERROR(L"QOR install options missing in manifest.");
        return VEK_E_NO_INSTALL_OPTIONS;
    }
    if (isOmblSelected() && text("ombl_install_options").empty()) {
        QK_LOG_ERROR(L"OMBL install options missing in manifest.");
        return VEK_E_NO_INSTALL_OPTIONS;
    }
    if (text("cc_token").empty()) {
        QK_LOG_ERROR(L"QOR connection token missing in manifest.");
        return VEK_E_NO_CC_TOKEN;
    }
    return S_OK;
}

HRESULT CManifest::checkTokens(const json* job, const json& distribution) const
{
    auto text = [&distribution](std::string_view key) {
        return ManifestJson::Text(ManifestJson::Member(&distribution, key), key);
    };
    if (job != nullptr && ManifestAccess::IsGenericPackage(*job)) {
        QK_LOG_INFO(L"generic package, ignore cc_token check");
        return S_OK;
    }
    const bool ccToken = !text("cc_token").empty();
    const bool serverToken = !text("server_cc_token").empty();
    const bool desktopToken = !text("desktop_cc_token").empty();
    if (!ccToken && !serverToken && !desktopToken) {
        QK_LOG_ERROR(L"No any cc_tokens are provided in manifest.");
        return VEK_E_NO_CC_TOKEN;
    }
    const bool redistributable = job != nullptr && ManifestAccess::CreatesMsi(*job);
    if (!redistributable && !ccToken) {
        if (m_osInfo->IsServer()) {
            if (!serverToken) {
                QK_LOG_ERROR(L"No legacy or server token is provided in manifest.");
                return VEK_E_NO_CC_TOKEN;
            }
        } else if (!desktopToken) {
            QK_LOG_ERROR(L"No legacy or desktop token is provided in manifests.");
            return VEK_E_NO_CC_TOKEN;
        }
    }
    return S_OK;
}

void CManifest::prepare()
{
    m_document.Modify([this](json& root) {
        json* job = installJob(root);
        if (job == nullptr) {
            QK_LOG_ERROR(L"Installation job not defined in manifest");
            return;
        }
        // The value as it stands, whatever its type: a copy, not a reading.
        const json* manifestId = ManifestJson::Path(&root, {"vek", "global", "manifest_id"});
        if (manifestId != nullptr) {
            ManifestJson::Set(job, "manifest_id", *manifestId);
        }
        json* proxy = ManifestJson::Path(&root, {"vek", "bootstrap", "options", "proxy_settings"});
        if (proxy != nullptr && proxy->is_object()) {
            if (ManifestJson::Member(proxy, "password") != nullptr) {
                ManifestJson::Set(proxy, "password_encrypted", true);
            }
            if (ManifestJson::Member(proxy, "allow_fallback") == nullptr) {
                ManifestJson::Set(proxy, "allow_fallback", false);
            }
        }
        if (isQorProduct()) {
            patchEndpointJob(false);
        } else {
            removeLegacyCleanup();
        }
    });
}

void CManifest::fallbackFromReEnrollment()
{
    m_document.Modify([this](json& root) {
        json* job = installJob(root);
        if (job == nullptr) {
            return;
        }
        if (isQorSelected()) {
            restoreFiltered(componentEqualFilter("qor"));
        }
        if (isQorEdrSelected()) {
            restoreFiltered(componentEqualFilter("qor_edr"));
        }
        ManifestJson::Set(job, "re_enroll", false);
        patchEndpointJob(true);
    });
}

void CManifest::patchBackendUrls(json& job)
{
    json* backends = ManifestJson::Member(&job, "backend_urls");
    if (backends == nullptr) {
        QK_LOG_INFO(L"Backend validated disabled");
        return;
    }
    if (m_switches.image) {
        QK_LOG_INFO(L"Remove backend URLs from manifest as /IMAGE specified");
        ManifestJson::Remove(&job, "backend_urls");
        return;
    }
    const std::string enrollment =
        ManifestJson::Text(ManifestJson::Path(&job, {"distribution", "enrollment_url"}), "enrollment_url");
    if (enrollment.empty()) {
        return;
    }
    static constexpr std::string_view kMarker = "r3_zavo_i";
    const size_t marker = enrollment.find(kMarker);
    if (marker == std::string::npos) {
        // Nothing to cut at: no probe is made up from an unknown address.
        QK_LOG_WARNING(L"The enrollment URL %s names no enrollment service: no backend address added",
                       FromUtf8(enrollment).c_str());
        return;
    }
    const std::string url = enrollment.substr(0, marker + kMarker.size() + 1) + "status";
    if (!backends->is_array()) {
        QK_LOG_WARNING(L"backend_urls is of type %s, not an array: no backend address added",
                       ManifestJson::TypeName(*backends).c_str());
        return;
    }
    // The patching runs again after a failed re-enrollment: one entry per address.
    const bool present = std::any_of(backends->begin(), backends->end(), [&url](const json& entry) {
        return ManifestJson::Text(ManifestJson::Member(&entry, "url"), "url") == url;
    });
    if (!present) {
        backends->push_back(json{{"url", url}, {"codes", json::array({200})}});
    }
}

void CManifest::patchEndpointJob(bool fallback)
{
    m_document.Modify([this, fallback](json& root) {
        json* job = installJob(root);
        if (job == nullptr) {
            return;
        }
        patchBackendUrls(*job);
        applyFilter(platformFilter());
        applyFilter(componentFilter());
        const bool redistributable = isRedistributable();
        if (redistributable) {
            ManifestJson::Set(ManifestJson::ObjectMember(job, "distribution"), "ui_mode", "");
        } else {
            applyFilter(osTypeFilter());
            applyFilter(osBuildFilter());
        }
        json settings;
        if (decodeInstallOptions(settings)) {
            const json* mode = ManifestJson::Member(&settings, "removal_option");
            if (mode != nullptr) {
                m_removalMode = ManifestJson::Text(mode, "removal_option");
                QK_LOG_INFO(L"QOR Removal option is: %s", FromUtf8(m_removalMode).c_str());
                ManifestJson::Set(ManifestJson::ObjectMember(job, "distribution"), "qor_removal_options",
                                  m_removalMode);
                applyFilter(removalModeFilter());
            }
        }
        localizeInstallerUrl();

        json installer;
        if (redistributable || !findEndpointInstaller(installer)) {
            return;
        }
        // After a failed re-enrollment the product is installed again: no re-enrollment choice.
        bool reEnroll = !fallback;
        if (reEnroll) {
            const std::wstring version = ManifestJson::WideText(ManifestJson::Member(&installer, "version"), "version");
            // No version asks only whether the product is installed.
            const int compared = m_msi->CompareInstalledVersion(kEndpointUpgradeCode32, kEndpointUpgradeCode64,
                                                                version.empty() ? nullptr : version.c_str());
            reEnroll = compared == 0 || compared == 1;
        }
        if (reEnroll && ManifestJson::EqualNoCase(m_removalMode, "QOR_UNINSTALL")) {
            reEnroll = false;
        }
        if (reEnroll) {
            if (isQorSelected()) {
                applyFilter(componentNotEqualFilter("qor"));
            }
            if (isQorEdrSelected()) {
                applyFilter(componentNotEqualFilter("qor_edr"));
            }
            ManifestJson::Set(job, "re_enroll", true);
        }
        if (m_switches.image) {
            applyFilter(componentNotEqualFilter("ombl"));
        }
    });
}

void CManifest::removeLegacyCleanup()
{
    if (m_detector->IsHostedAgentInstalled() || isRedistributable()) {
        return;
    }
    m_document.Modify([this](json& root) {
        json* files = ManifestJson::Member(installJob(root), "file_array");
        if (files == nullptr || !files->is_array()) {
            return;
        }
        json kept = json::array();
        for (json& entry : *files) {
            if (ManifestJson::Text(ManifestJson::Member(&entry, "type"), "type") != "job_pa_cleanup") {
                kept.push_back(std::move(entry));
            }
        }
        *files = std::move(kept);
    });
}

void CManifest::applyFilter(const JobFilter& filter)
{
    m_document.Modify([this, &filter](json& root) {
        json* job = installJob(root);
        json* files = ManifestJson::Member(job, "file_array");
        if (files == nullptr) {
            return;
        }
        if (!files->is_array()) {
            QK_LOG_WARNING(L"file_array is of type %s, not an array: not filtered",
                           ManifestJson::TypeName(*files).c_str());
            return;
        }
        json kept = json::array();
        json removed = json::array();
        for (const json& entry : *files) {
            (filter(entry) ? kept : removed).push_back(entry);
        }
        if (!removed.empty()) {
            json* filtered = ManifestJson::ArrayMember(job, "filtered_files");
            if (filtered == nullptr) {
                // Nowhere to keep the removed entries: leave the files as they are.
                return;
            }
            for (json& entry : removed) {
                filtered->push_back(std::move(entry));
            }
        }
        *files = std::move(kept);
    });
}

void CManifest::restoreFiltered(const JobFilter& filter)
{
    m_document.Modify([this, &filter](json& root) {
        json* job = installJob(root);
        json* filtered = ManifestJson::Member(job, "filtered_files");
        if (filtered == nullptr || !filtered->is_array()) {
            return;
        }
        json* files = ManifestJson::ArrayMember(job, "file_array");
        if (files == nullptr) {
            return;
        }
        json still = json::array();
        for (json& entry : *filtered) {
            if (filter(entry)) {
                files->push_back(std::move(entry));
            } else {
                still.push_back(std::move(entry));
            }
        }
        *filtered = std::move(still);
    });
}

CManifest::JobFilter CManifest::componentFilter() const
{
    return [components = m_components](const json& entry) {
        std::string component;
        return !EntryText(entry, "component", component) ||
               std::find(components.begin(), components.end(), component) != components.end();
    };
}

CManifest::JobFilter CManifest::componentEqualFilter(const std::string& wanted)
{
    return [wanted](const json& entry) {
        std::string component;
        return EntryText(entry, "component", component) && ManifestJson::EqualNoCase(component, wanted);
    };
}

CManifest::JobFilter CManifest::componentNotEqualFilter(const std::string& unwanted)
{
    return [unwanted](const json& entry) {
        std::string component;
        return !EntryText(entry, "component", component) || !ManifestJson::EqualNoCase(component, unwanted);
    };
}

CManifest::JobFilter CManifest::platformFilter() const
{
    return [platform = m_platform](const json& entry) {
        std::string value;
        return !EntryText(entry, "platform", value) || value == platform;
    };
}

CManifest::JobFilter CManifest::osTypeFilter() const
{
    const std::string system = m_osInfo->IsServer() ? "server" : "client";
    return [system](const json& entry) {
        std::string value;
        return !EntryText(entry, "os_type", value) || value == system;
    };
}

CManifest::JobFilter CManifest::osBuildFilter() const
{
    return [osInfo = m_osInfo](const json& entry) {
        const json* member = ManifestJson::Member(&entry, "os_build");
        if (member == nullptr) {
            return true;
        }
        const std::string text = ManifestJson::AsText(*member);
        char* end = nullptr;
        const unsigned long long build = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || end == nullptr || *end != '\0' || text.front() == '-' || build > MAXDWORD) {
            QK_LOG_WARNING(L"os_build %s is no build number: the file is kept", FromUtf8(text).c_str());
            return true;
        }
        return osInfo->IsBuild(static_cast<DWORD>(build), true);
    };
}

CManifest::JobFilter CManifest::removalModeFilter() const
{
    return [mode = m_removalMode](const json& entry) {
        std::string type;
        if (!EntryText(entry, "type", type)) {
            return true;
        }
        if (mode == "SKIP") {
            return type != "job_av_soft_uninstaller" && type != "job_qor_clean_wipe";
        }
        if (mode == "AUTOMATIC") {
            return type != "job_qor_clean_wipe";
        }
        if (mode == "QOR_UNINSTALL") {
            return type != "job_av_soft_uninstaller";
        }
        return true;
    };
}

bool CManifest::decodeInstallOptions(json& settings) const
{
    const std::string encoded = m_document.Read([this](const json& root) {
        return ManifestJson::Text(ManifestJson::Path(installJob(root), {"distribution", "install_options"}),
                                  "install_options");
    });
    std::string decoded;
    if (!DecodeBase64(encoded, decoded)) {
        QK_LOG_ERROR(L"empty or not BASE64 string provided in install_options node");
        return false;
    }
    const json parsed = json::parse(decoded, nullptr, false, true);
    if (parsed.is_discarded()) {
        QK_LOG_ERROR(L"Faled parse JSON containing in install_options node");
        return false;
    }
    const json* member = ManifestJson::Member(&parsed, "settings");
    if (member != nullptr) {
        settings = *member;
    }
    return true;
}

std::wstring CManifest::getProductLanguage() const
{
    return m_document.Read([this](const json& root) -> std::wstring {
        const json* distribution = ManifestJson::Member(installJob(root), "distribution");
        std::string wanted = ManifestJson::Text(ManifestJson::Member(distribution, "product_lang"), "product_lang");
        if (wanted == "system") {
            wanted = ToUtf8(m_osInfo->GetSystemLocaleName());
            QK_LOG_INFO(L"QOR package language has been selected by system locale: %s", FromUtf8(wanted).c_str());
        }
        const json* languages = ManifestJson::Member(distribution, "qor_supported_languages");
        const json* candidate = nullptr;
        for (size_t i = 0; i < ManifestJson::ArraySize(languages); ++i) {
            const json* entry = ManifestJson::Element(languages, i);
            const std::string code = ManifestJson::Text(ManifestJson::Member(entry, "code"), "code");
            if (code.empty()) {
                continue;
            }
            if (code == wanted) {
                return FromUtf8(code);
            }
            if (wanted.size() < 2 || code.compare(0, 2, wanted, 0, 2) != 0) {
                continue;
            }
            const json* groupDefault = ManifestJson::Member(entry, "default_for_group");
            const bool isDefault = groupDefault != nullptr && groupDefault->is_string()
                                       ? ManifestJson::TextIsTrue(groupDefault, "default_for_group")
                                       : ManifestJson::Boolean(groupDefault, "default_for_group", false);
            if (candidate == nullptr || isDefault) {
                candidate = entry;
            }
        }
        if (candidate == nullptr) {
            return L"en-US";
        }
        return ManifestJson::WideText(ManifestJson::Member(candidate, "code"), "code");
    });
}

void CManifest::localizeInstallerUrl()
{
    m_document.Modify([this](json& root) {
        json* job = installJob(root);
        json* installer = nullptr;
        if (job != nullptr && isQorSelected()) {
            installer = findFileEntry(*job, "qor", "job_installer");
        } else if (job != nullptr && isQorEdrSelected()) {
            installer = findFileEntry(*job, "qor_edr", "job_installer");
        }
        if (installer == nullptr) {
            QK_LOG_ERROR(L"Unable to find QOR installer in manifest");
            return;
        }
        std::string source = ManifestJson::Text(ManifestJson::Member(installer, "source_file"), "source_file");
        static constexpr std::string_view kDefault = "en-US";
        if (source.find(kDefault) == std::string::npos) {
            QK_LOG_INFO(L"No language code in the original package URL, localized package dowloading will be ignored");
            return;
        }
        const std::string language = ToUtf8(getProductLanguage());
        if (language == kDefault) {
            return;
        }
        for (size_t pos = source.find(kDefault); pos != std::string::npos;
             pos = source.find(kDefault, pos + language.size())) {
            source.replace(pos, kDefault.size(), language);
        }
        ManifestJson::Set(installer, "source_file", source);
    });
}

} // namespace vek
