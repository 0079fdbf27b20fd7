#include "engine/manifest/ManifestAccess.h"

#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekJobKeys.h"

#include <cctype>

namespace vek {

namespace {

using json = nlohmann::json;

std::wstring GlobalText(const json& root, std::string_view key)
{
    return ManifestJson::WideText(ManifestJson::Path(&root, {"vek", "global", key}), key);
}

std::wstring DistributionText(const json& job, std::string_view key)
{
    return ManifestJson::WideText(ManifestJson::Path(&job, {"distribution", key}), key);
}

std::wstring BootstrapText(const json& root, std::string_view key)
{
    return ManifestJson::WideText(ManifestJson::Path(&root, {"vek", "bootstrap", key}), key);
}

bool ResultCode(const json& job, std::string_view key, HRESULT& code)
{
    const json* value = ManifestJson::Member(&job, key);
    if (value == nullptr || !value->is_number_integer()) {
        return false;
    }
    // The low 32 bits, whether the number was stored signed or unsigned.
    code = static_cast<HRESULT>(value->is_number_unsigned() ? static_cast<uint32_t>(value->get<uint64_t>())
                                                            : static_cast<uint32_t>(value->get<int64_t>()));
    return true;
}

} // namespace

const json* ManifestAccess::Jobs(const json& root)
{
    const json* jobs = ManifestJson::Path(&root, {"vek", "job_array"});
    return jobs != nullptr && jobs->is_array() ? jobs : nullptr;
}

json* ManifestAccess::Jobs(json& root)
{
    json* jobs = ManifestJson::Path(&root, {"vek", "job_array"});
    return jobs != nullptr && jobs->is_array() ? jobs : nullptr;
}

const json* ManifestAccess::FirstJob(const json& root)
{
    const json* job = ManifestJson::Element(Jobs(root), 0);
    return job != nullptr && job->is_object() ? job : nullptr;
}

std::wstring ManifestAccess::ManifestId(const json& root)
{
    return GlobalText(root, "manifest_id");
}

std::wstring ManifestAccess::TelemetryProductName(const json& root)
{
    return GlobalText(root, "telemetry_product_name");
}

std::wstring ManifestAccess::ReportingUrl(const json& root)
{
    return GlobalText(root, "reporting_url");
}

bool ManifestAccess::HasFailover(const json& root)
{
    return !GlobalText(root, "failover").empty();
}

bool ManifestAccess::IsFinishPageHidden(const json& root)
{
    return ManifestJson::Boolean(ManifestJson::Path(&root, {"vek", "global", "hide_finish_page"}), "hide_finish_page",
                                 false);
}

std::wstring ManifestAccess::CustomLocation(const json& root)
{
    return BootstrapText(root, "custom_location");
}

std::wstring ManifestAccess::RunLocation(const json& root)
{
    return BootstrapText(root, "run_location");
}

std::wstring ManifestAccess::InstalledVek(const json& root)
{
    return BootstrapText(root, "installed_vek");
}

std::wstring ManifestAccess::InstallFolderPostfix(const json& root)
{
    return BootstrapText(root, "install_folder_postfix");
}

std::wstring ManifestAccess::DownloadFolder(const json& root)
{
    return BootstrapText(root, "download_folder");
}

std::wstring ManifestAccess::DistributionType(const json& root)
{
    return BootstrapText(root, "distribution_type");
}

const json* ManifestAccess::BootstrapOptions(const json& root)
{
    const json* options = ManifestJson::Path(&root, {"vek", "bootstrap", "options"});
    return options != nullptr && options->is_object() ? options : nullptr;
}

bool ManifestAccess::ShouldCreateRunKey(const json& root)
{
    return ManifestJson::Boolean(ManifestJson::Path(&root, {"vek", "bootstrap", "options", "shouldCreateRunKey"}),
                                 "shouldCreateRunKey", true);
}

bool ManifestAccess::Install(const json& root)
{
    const json* install = ManifestJson::Path(&root, {"vek", "bootstrap", "options", "install"});
    if (install == nullptr)
        return true;
    if (install->is_boolean())
        return install->get<bool>();
    if (!install->is_string())
        return false;
    std::string text = install->get<std::string>();
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "true";
}

std::wstring ManifestAccess::JobId(const json& job)
{
    return ManifestJson::WideText(ManifestJson::Member(&job, "job_id"), "job_id");
}

std::wstring ManifestAccess::JobType(const json& job)
{
    return ManifestJson::WideText(ManifestJson::Member(&job, "job_type"), "job_type");
}

std::wstring ManifestAccess::CustomerId(const json& job)
{
    return DistributionText(job, "customer_id");
}

std::wstring ManifestAccess::DomainId(const json& job)
{
    return DistributionText(job, "domain_id");
}

std::wstring ManifestAccess::UIMode(const json& job)
{
    return DistributionText(job, "ui_mode");
}

std::wstring ManifestAccess::JobDescription(const json& job)
{
    return DistributionText(job, "job_description");
}

bool ManifestAccess::IsSilentUIMode(const json& job)
{
    return UIMode(job) == L"SILENT";
}

bool ManifestAccess::IsGenericPackage(const json& job)
{
    return DistributionText(job, "generic_package") == L"true";
}

bool ManifestAccess::CreatesMsi(const json& job)
{
    return ManifestJson::TextIsTrue(ManifestJson::Member(&job, "create_msi"), "create_msi");
}

bool ManifestAccess::JobErrorCode(const json& job, HRESULT& code)
{
    return ResultCode(job, jobkeys::kJobErrorCode, code);
}

bool ManifestAccess::LastDownloadError(const json& job, HRESULT& code)
{
    return ResultCode(job, jobkeys::kLastDownloadError, code);
}

bool ManifestAccess::LastPluginError(const json& job, HRESULT& code)
{
    return ResultCode(job, jobkeys::kLastPluginError, code);
}

const json* ManifestAccess::Files(const json& job)
{
    const json* files = ManifestJson::Member(&job, "file_array");
    return files != nullptr && files->is_array() ? files : nullptr;
}

json* ManifestAccess::Files(json& job)
{
    json* files = ManifestJson::Member(&job, "file_array");
    return files != nullptr && files->is_array() ? files : nullptr;
}

std::wstring ManifestAccess::DestinationFile(const json& entry)
{
    return ManifestJson::WideText(ManifestJson::Member(&entry, "destination_file"), "destination_file");
}

std::wstring ManifestAccess::SourceFile(const json& entry)
{
    return ManifestJson::WideText(ManifestJson::Member(&entry, "source_file"), "source_file");
}

} // namespace vek
