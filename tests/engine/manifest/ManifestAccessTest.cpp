// The readers of single manifest keys: each answers its default for a missing member, null and a
// member of another type, and reads the key where it stands.
#include "engine/manifest/ManifestAccess.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using vek::ManifestAccess;
using json = nlohmann::json;

namespace {

// A root with `value` at the path, made of objects.
json At(const std::vector<const char*>& path, json value)
{
    json root = std::move(value);
    for (auto it = std::rbegin(path); it != std::rend(path); ++it) {
        root = json{{*it, std::move(root)}};
    }
    return root;
}

} // namespace

TEST(ManifestAccess, TextKeysReadWhereTheyStandAndDefaultToEmpty)
{
    using Reader = std::function<std::wstring(const json&)>;
    const struct {
        const char* what;
        std::vector<const char*> path;
        Reader read;
    } keys[] = {
        {"manifest_id", {"vek", "global", "manifest_id"}, &ManifestAccess::ManifestId},
        {"telemetry_product_name", {"vek", "global", "telemetry_product_name"}, &ManifestAccess::TelemetryProductName},
        {"reporting_url", {"vek", "global", "reporting_url"}, &ManifestAccess::ReportingUrl},
        {"custom_location", {"vek", "bootstrap", "custom_location"}, &ManifestAccess::CustomLocation},
        {"run_location", {"vek", "bootstrap", "run_location"}, &ManifestAccess::RunLocation},
        {"installed_vek", {"vek", "bootstrap", "installed_vek"}, &ManifestAccess::InstalledVek},
        {"install_folder_postfix", {"vek", "bootstrap", "install_folder_postfix"},
         &ManifestAccess::InstallFolderPostfix},
        {"download_folder", {"vek", "bootstrap", "download_folder"}, &ManifestAccess::DownloadFolder},
        {"distribution_type", {"vek", "bootstrap", "distribution_type"}, &ManifestAccess::DistributionType},
        {"job_id", {"job_id"}, &ManifestAccess::JobId},
        {"job_type", {"job_type"}, &ManifestAccess::JobType},
        {"customer_id", {"distribution", "customer_id"}, &ManifestAccess::CustomerId},
        {"domain_id", {"distribution", "domain_id"}, &ManifestAccess::DomainId},
        {"ui_mode", {"distribution", "ui_mode"}, &ManifestAccess::UIMode},
        {"job_description", {"distribution", "job_description"}, &ManifestAccess::JobDescription},
        {"destination_file", {"destination_file"}, &ManifestAccess::DestinationFile},
        {"source_file", {"source_file"}, &ManifestAccess::SourceFile},
    };
    for (const auto& key : keys) {
        SCOPED_TRACE(key.what);
        EXPECT_EQ(key.read(At(key.path, "\xC3\xA9t\xC3\xA9")), L"\u00E9t\u00E9");
        for (const json& other : {json(), json(5), json(true), json::object(), json::array({"x"})}) {
            EXPECT_EQ(key.read(At(key.path, other)), L"") << other.dump();
        }
        EXPECT_EQ(key.read(json::object()), L"");
        EXPECT_EQ(key.read(json::array()), L"");
        EXPECT_EQ(key.read(json("text")), L"");
    }
}

TEST(ManifestAccess, FlagsAreTheirExactValues)
{
    const json failovers[] = {"https://f/", "", 1, true, json::object(), nullptr};
    const bool hasFailover[] = {true, false, false, false, false, false};
    for (size_t i = 0; i < std::size(failovers); ++i) {
        EXPECT_EQ(ManifestAccess::HasFailover(At({"vek", "global", "failover"}, failovers[i])), hasFailover[i])
            << failovers[i].dump();
    }
    // Texts that mean true only as written.
    const struct {
        json value;
        bool createsMsi;
    } texts[] = {{"true", true}, {"True", false}, {"TRUE", false}, {true, false}, {"false", false}, {nullptr, false}};
    for (const auto& c : texts) {
        EXPECT_EQ(ManifestAccess::CreatesMsi(json{{"create_msi", c.value}}), c.createsMsi) << c.value.dump();
        EXPECT_EQ(ManifestAccess::IsGenericPackage(At({"distribution", "generic_package"}, c.value)), c.createsMsi)
            << c.value.dump();
    }
    EXPECT_TRUE(ManifestAccess::IsSilentUIMode(At({"distribution", "ui_mode"}, "SILENT")));
    EXPECT_FALSE(ManifestAccess::IsSilentUIMode(At({"distribution", "ui_mode"}, "silent")));
    // Booleans with their defaults.
    EXPECT_TRUE(ManifestAccess::IsFinishPageHidden(At({"vek", "global", "hide_finish_page"}, true)));
    EXPECT_FALSE(ManifestAccess::IsFinishPageHidden(At({"vek", "global", "hide_finish_page"}, "true")));
    EXPECT_FALSE(ManifestAccess::IsFinishPageHidden(json::object()));
    EXPECT_FALSE(ManifestAccess::ShouldCreateRunKey(At({"vek", "bootstrap", "options", "shouldCreateRunKey"}, false)));
    EXPECT_TRUE(ManifestAccess::ShouldCreateRunKey(At({"vek", "bootstrap", "options", "shouldCreateRunKey"}, "false")));
    EXPECT_TRUE(ManifestAccess::ShouldCreateRunKey(json::object()));
}

TEST(ManifestAccess, JobsAndFilesOnlyOfTheirType)
{
    const json jobs = json::array({{{"file_array", json::array({{{"destination_file", "a"}}})}}, "not a job"});
    const json root = At({"vek", "job_array"}, jobs);
    ASSERT_NE(ManifestAccess::Jobs(root), nullptr);
    EXPECT_EQ(ManifestAccess::Jobs(root)->size(), 2u);
    ASSERT_NE(ManifestAccess::FirstJob(root), nullptr);
    ASSERT_NE(ManifestAccess::Files(*ManifestAccess::FirstJob(root)), nullptr);
    EXPECT_EQ(ManifestAccess::Files(json{{"file_array", "a"}}), nullptr);
    EXPECT_EQ(ManifestAccess::Jobs(At({"vek", "job_array"}, json::object())), nullptr);
    EXPECT_EQ(ManifestAccess::FirstJob(At({"vek", "job_array"}, json::array({"x"}))), nullptr);
    EXPECT_EQ(ManifestAccess::FirstJob(At({"vek", "job_array"}, json::array())), nullptr);
    json changed = root;
    ManifestAccess::Jobs(changed)->push_back(json::object());
    EXPECT_EQ(ManifestAccess::Jobs(changed)->size(), 3u);
    EXPECT_NE(ManifestAccess::BootstrapOptions(At({"vek", "bootstrap", "options"}, json::object())), nullptr);
    EXPECT_EQ(ManifestAccess::BootstrapOptions(At({"vek", "bootstrap", "options"}, "x")), nullptr);
}

TEST(ManifestAccess, ResultCodesKeepTheirBitsWhetherSignedOrUnsigned)
{
    const struct {
        json value;
        bool present;
        HRESULT code;
    } cases[] = {
        {static_cast<int64_t>(static_cast<int32_t>(0x80047E42)), true, static_cast<HRESULT>(0x80047E42)},
        {static_cast<uint64_t>(0x80047E42u), true, static_cast<HRESULT>(0x80047E42)},
        {0, true, S_OK},
        {1.5, false, E_FAIL},
        {"0x80047E42", false, E_FAIL},
        {nullptr, false, E_FAIL},
    };
    for (const auto& c : cases) {
        const char* keys[] = {"job_error_code", "last_download_error", "last_plugin_error"};
        for (int which = 0; which < 3; ++which) {
            const char* key = keys[which];
            const json job = {{key, c.value}};
            HRESULT codes[3] = {E_FAIL, E_FAIL, E_FAIL};
            const bool read[3] = {ManifestAccess::JobErrorCode(job, codes[0]),
                                  ManifestAccess::LastDownloadError(job, codes[1]),
                                  ManifestAccess::LastPluginError(job, codes[2])};
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(read[i], i == which && c.present) << key << " " << c.value.dump();
                EXPECT_EQ(codes[i], i == which ? c.code : E_FAIL) << key << " " << c.value.dump();
            }
        }
    }
}
