// The manifest's accessors and the preparation of the install job: package and components, the
// job filters with "filtered_files", the token checks, the language, the backend addresses, the
// switches and the re-enrollment of an installed product.
#include "ManifestTestSupport.h"
#include "services/launcher/VekUtil.h"

#include "common/system/qkRegistry.h"
#include "services/launcher/VekResultCodes.h"

using namespace manifesttest;
using vek::CManifest;

namespace {

using Names_ = std::vector<std::string>;

json& Job0(json& root)
{
    return root["vek"]["job_array"][0];
}

} // namespace

TEST(CManifestPackage, ChoosesThePackageForTheProcessor)
{
    struct Case {
        const char* packageType;
        bool notWow64;
        const char* platform;
        const char* postfix;
    } cases[] = {
        {"win32", false, "x86", "_x86"}, {"win32", true, "x86", "_x86"},
        {"x64", true, "x64", "_x64"},                                    // also on a 32-bit system
        {"arm64", true, "x64", "_x64"},                                  // any other name is the 64-bit package
        {"", false, "x64", "_x64"},                                      // empty: follows the system
        {"", true, "x86", "_x86"},       {"WIN32", true, "x64", "_x64"}, // compared exactly
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.packageType << " notWow64=" << c.notWow64);
        json root = EndpointManifest();
        Job0(root)["distribution"]["package_type"] = c.packageType;
        Prepared p(root);
        p.os->notWow64 = c.notWow64;
        ASSERT_TRUE(p.manifest->init());
        EXPECT_EQ(p.manifest->getPlatform(), c.platform);
        EXPECT_EQ(p.document.Snapshot()["vek"]["bootstrap"]["install_folder_postfix"], c.postfix);
    }
}

TEST(CManifestPackage, SelectsComponents)
{
    struct Case {
        const char* runKey;
        const char* components;
        Names_ selected;
    } cases[] = {
        {"QOR", "qor,ombl", {"qor", "ombl"}},
        {"QOR", "", {"qor"}}, // the endpoint product without a list installs "qor"
        {"OTHER", "", {}},
        {"QOR", "qor_edr,wox", {"qor_edr", "wox"}},
        {"QOR", "qor,,qor,", {"qor"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.runKey << " [" << c.components << "]");
        json root = EndpointManifest();
        Job0(root)["product_data"]["run_key"] = c.runKey;
        Job0(root)["distribution"]["components"] = c.components;
        Prepared p(root);
        ASSERT_TRUE(p.manifest->init());
        EXPECT_EQ(p.manifest->getSelectedComponents(), c.selected);
        EXPECT_EQ(p.manifest->isQorProduct(), std::string(c.runKey) == "QOR");
    }
}

TEST(CManifestFilters, KeepOnlyTheFilesForThisMachineAndKeepTheRestAside)
{
    struct Case {
        const char* name;
        const char* packageType;
        bool server;
        DWORD build;
        const char* removal; // null: install options without a removal option
        const char* createMsi;
        Names_ kept;
        Names_ filtered;
    } cases[] = {
        {"x64 client",
         "x64",
         false,
         19045,
         nullptr,
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab", "uninst.exe", "wipe.exe"},
         {"qor32.msi", "wox.appx", "server.cab"}},
        {"x86 old server",
         "win32",
         true,
         17134,
         nullptr,
         "false",
         {"qor32.msi", "ombl.msi", "plugin.dll", "server.cab", "uninst.exe", "wipe.exe"},
         {"qor64.msi", "wox.appx", "client.cab", "new.cab"}},
        {"build at the limit",
         "x64",
         false,
         17763,
         nullptr,
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab", "uninst.exe", "wipe.exe"},
         {"qor32.msi", "wox.appx", "server.cab"}},
        {"SKIP",
         "x64",
         false,
         19045,
         "SKIP",
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab"},
         {"qor32.msi", "wox.appx", "server.cab", "uninst.exe", "wipe.exe"}},
        {"AUTOMATIC",
         "x64",
         false,
         19045,
         "AUTOMATIC",
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab", "uninst.exe"},
         {"qor32.msi", "wox.appx", "server.cab", "wipe.exe"}},
        {"QOR_UNINSTALL",
         "x64",
         false,
         19045,
         "QOR_UNINSTALL",
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab", "wipe.exe"},
         {"qor32.msi", "wox.appx", "server.cab", "uninst.exe"}},
        {"other mode",
         "x64",
         false,
         19045,
         "KEEP",
         "false",
         {"qor64.msi", "ombl.msi", "plugin.dll", "client.cab", "new.cab", "uninst.exe", "wipe.exe"},
         {"qor32.msi", "wox.appx", "server.cab"}},
        {"redistributable: no system filters",
         "x64",
         true,
         100,
         nullptr,
         "true",
         {"qor64.msi", "ombl.msi", "plugin.dll", "server.cab", "client.cab", "new.cab", "uninst.exe", "wipe.exe"},
         {"qor32.msi", "wox.appx"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json root = EndpointManifest();
        json& job = Job0(root);
        job["distribution"]["package_type"] = c.packageType;
        job["create_msi"] = c.createMsi;
        if (c.removal != nullptr) {
            job["distribution"]["install_options"] = InstallOptions(c.removal);
        }
        Prepared p(root);
        p.os->server = c.server;
        p.os->build = c.build;
        ASSERT_TRUE(p.manifest->init());
        p.manifest->prepare();
        const json prepared = InstallJob(p.document);
        EXPECT_EQ(Names(prepared, "file_array"), c.kept);
        EXPECT_EQ(Names(prepared, "filtered_files"), c.filtered);
        EXPECT_EQ(p.manifest->getRemovalMode(), c.removal != nullptr ? c.removal : "");
        if (c.removal != nullptr) {
            EXPECT_EQ(prepared.at("distribution").at("qor_removal_options"), c.removal);
        }
        EXPECT_EQ(prepared.at("distribution").at("ui_mode"), std::string(c.createMsi) == "true" ? "" : "SILENT");
    }
}

TEST(CManifestFilters, SingleFiltersAndRestore)
{
    json root = EndpointManifest();
    Prepared p(root);
    ASSERT_TRUE(p.manifest->init());
    p.manifest->applyFilter(CManifest::componentEqualFilter("QOR")); // without regard to case
    EXPECT_EQ(Names(InstallJob(p.document), "file_array"), (Names_{"qor64.msi", "qor32.msi"}));
    p.manifest->restoreFiltered(CManifest::componentNotEqualFilter("ombl"));
    // Entries without "component" pass the not-equal filter; the ombl entry stays aside.
    EXPECT_EQ(Names(InstallJob(p.document), "file_array"),
              (Names_{"qor64.msi", "qor32.msi", "wox.appx", "plugin.dll", "server.cab", "client.cab", "new.cab",
                      "uninst.exe", "wipe.exe"}));
    EXPECT_EQ(Names(InstallJob(p.document), "filtered_files"), (Names_{"ombl.msi"}));

    // A filtered_files that is no array is not overwritten, and nothing is lost.
    json broken = EndpointManifest();
    Job0(broken)["filtered_files"] = "kept";
    Prepared q(broken);
    ASSERT_TRUE(q.manifest->init());
    q.manifest->applyFilter(CManifest::componentEqualFilter("qor"));
    EXPECT_EQ(Names(InstallJob(q.document), "file_array").size(), 10u);
    EXPECT_EQ(InstallJob(q.document)["filtered_files"], "kept");
}

TEST(CManifestChecks, TokenChecks)
{
    struct Case {
        const char* name;
        const char* runKey;
        const char* components;
        json distribution; // merged over the base distribution
        const char* createMsi;
        bool server;
        bool forceInstall;
        HRESULT expected;
    } cases[] = {
        {"endpoint complete", "QOR", "qor,ombl", json::object(), "false", false, false, S_OK},
        {"endpoint without install options",
         "QOR",
         "qor",
         {{"install_options", ""}},
         "false",
         false,
         false,
         vek::VEK_E_NO_INSTALL_OPTIONS},
        {"endpoint without ombl options",
         "QOR",
         "qor,ombl",
         {{"ombl_install_options", nullptr}},
         "false",
         false,
         false,
         vek::VEK_E_NO_INSTALL_OPTIONS},
        {"ombl alone needs no qor options", "QOR", "ombl", {{"install_options", ""}}, "false", false, false, S_OK},
        {"endpoint without token", "QOR", "qor", {{"cc_token", ""}}, "false", false, false, vek::VEK_E_NO_CC_TOKEN},
        {"generic package", "OTHER", "", {{"generic_package", "true"}, {"cc_token", ""}}, "false", false, false, S_OK},
        {"no token at all", "OTHER", "", {{"cc_token", ""}}, "false", false, false, vek::VEK_E_NO_CC_TOKEN},
        {"legacy token", "OTHER", "", json::object(), "false", true, false, S_OK},
        {"server token on a client",
         "OTHER",
         "",
         {{"cc_token", ""}, {"server_cc_token", "S"}},
         "false",
         false,
         false,
         vek::VEK_E_NO_CC_TOKEN},
        {"server token on a server",
         "OTHER",
         "",
         {{"cc_token", ""}, {"server_cc_token", "S"}},
         "false",
         true,
         false,
         S_OK},
        {"desktop token on a client",
         "OTHER",
         "",
         {{"cc_token", ""}, {"desktop_cc_token", "D"}},
         "false",
         false,
         false,
         S_OK},
        {"desktop token on a server",
         "OTHER",
         "",
         {{"cc_token", ""}, {"desktop_cc_token", "D"}},
         "false",
         true,
         false,
         vek::VEK_E_NO_CC_TOKEN},
        {"redistributable takes any token",
         "OTHER",
         "",
         {{"cc_token", ""}, {"desktop_cc_token", "D"}},
         "true",
         true,
         false,
         S_OK},
        {"FORCE_INSTALL makes it need the server token",
         "OTHER",
         "",
         {{"cc_token", ""}, {"desktop_cc_token", "D"}},
         "true",
         true,
         true,
         vek::VEK_E_NO_CC_TOKEN},
        {"token of the wrong type", "OTHER", "", {{"cc_token", 42}}, "false", false, false, vek::VEK_E_NO_CC_TOKEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json root = EndpointManifest();
        json& job = Job0(root);
        job["product_data"]["run_key"] = c.runKey;
        job["distribution"]["components"] = c.components;
        job["distribution"].merge_patch(c.distribution);
        job["create_msi"] = c.createMsi;
        vek::ManifestSwitches switches;
        switches.forceInstall = c.forceInstall;
        Prepared p(root, switches);
        p.os->server = c.server;
        p.manifest->init();
        EXPECT_EQ(static_cast<uint32_t>(p.manifest->checkInstallJob()), static_cast<uint32_t>(c.expected));
    }
}

TEST(CManifestChecks, NoInstallJob)
{
    const json roots[] = {
        json::parse(R"({"vek": {}})"),
        json::parse(R"({"vek": {"job_array": []}})"),
        json::parse(R"({"vek": {"job_array": {"a": 1}}})"),
        json::parse(R"({"vek": {"job_array": ["job"]}})"),
        json::parse(R"({"vek": 7})"),
    };
    for (const json& root : roots) {
        SCOPED_TRACE(root.dump());
        Prepared p(root);
        EXPECT_FALSE(p.manifest->init());
        EXPECT_EQ(static_cast<uint32_t>(p.manifest->checkInstallJob()),
                  static_cast<uint32_t>(vek::VEK_E_JSON_NOT_PARSED));
        p.manifest->prepare(); // nothing to prepare, nothing thrown
        EXPECT_EQ(p.manifest->getCustomerId(), L"");
        EXPECT_EQ(p.manifest->countInstallers(), 0);
    }
}

TEST(CManifestChecks, ForceInstallTurnsTheRedistributableIntoAnInstall)
{
    json root = EndpointManifest();
    Job0(root)["create_msi"] = "true";
    root["vek"]["bootstrap"]["options"]["ask_location"] = "true";
    vek::ManifestSwitches switches;
    switches.forceInstall = true;
    Prepared p(root, switches);
    p.manifest->init();
    EXPECT_TRUE(p.manifest->isRedistributable());
    EXPECT_EQ(p.manifest->checkInstallJob(), S_OK);
    const json after = p.document.Snapshot();
    EXPECT_EQ(after.at("vek").at("job_array").at(0).at("create_msi"), "false");
    EXPECT_EQ(after.at("vek").at("bootstrap").at("options").at("ask_location"), "false");
    EXPECT_EQ(after.at("vek").at("bootstrap").at("options").at("install"), "false");
    EXPECT_FALSE(p.manifest->isRedistributable());
}

TEST(CManifestLanguage, ChoosesTheProductLanguage)
{
    struct Case {
        json productLang;
        json languages;
        const wchar_t* locale;
        const wchar_t* expected;
    } cases[] = {
        {"de-AT", json::parse(R"([{"code":"de-CH"},{"code":"de-DE","default_for_group":true}])"), L"", L"de-DE"},
        {"de-AT", json::parse(R"([{"code":"de-CH"}])"), L"", L"de-CH"},
        {"de-AT", json::parse(R"([{"code":"fr-FR"}])"), L"", L"en-US"},
        {"de-CH", json::parse(R"([{"code":"de-DE","default_for_group":true},{"code":"de-CH"}])"), L"", L"de-CH"},
        {"de-AT", json::parse(R"([{"code":"de-DE","default_for_group":true},{"code":"de-CH"}])"), L"", L"de-DE"},
        {"de-AT", json::parse(R"([{"code":"de-CH"},{"code":"de-LU","default_for_group":"true"}])"), L"", L"de-LU"},
        {"system", json::parse(R"([{"code":"fr-FR"}])"), L"fr-CA", L"fr-FR"},
        {nullptr, json::parse(R"([{"code":"de-DE"}])"), L"", L"en-US"},
        {"de-AT", "not a list", L"", L"en-US"},
        {"de-AT", json::parse(R"([7,{"code":5},{"code":"de-CH","default_for_group":"yes"}])"), L"", L"de-CH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.productLang.dump() << " " << c.languages.dump());
        json root = EndpointManifest();
        Job0(root)["distribution"]["product_lang"] = c.productLang;
        Job0(root)["distribution"]["qor_supported_languages"] = c.languages;
        Prepared p(root);
        p.os->locale = c.locale;
        p.manifest->init();
        EXPECT_EQ(p.manifest->getProductLanguage(), c.expected);
    }
}

TEST(CManifestLanguage, LocalizesTheInstallerAddress)
{
    struct Case {
        const char* lang;
        const char* source;
        const char* expected;
    } cases[] = {
        {"de-DE", "https://d/en-US/qor64.msi", "https://d/de-DE/qor64.msi"},
        {"de-DE", "https://d/en-US/qor_en-US.msi", "https://d/de-DE/qor_de-DE.msi"},
        {"en-US", "https://d/en-US/qor64.msi", "https://d/en-US/qor64.msi"},
        {"de-DE", "https://d/qor64.msi", "https://d/qor64.msi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        json root = EndpointManifest();
        Job0(root)["distribution"]["product_lang"] = c.lang;
        Job0(root)["distribution"]["qor_supported_languages"] = json::parse(R"([{"code":"de-DE"}])");
        Job0(root)["file_array"][0]["source_file"] = c.source;
        Prepared p(root);
        p.os->notWow64 = false;
        p.manifest->init();
        p.manifest->prepare();
        EXPECT_EQ(InstallJob(p.document)["file_array"][0]["source_file"], c.expected);
    }
}

TEST(CManifestPatch, BackendAddressesFromTheEnrollmentUrl)
{
    struct Case {
        const char* name;
        json backends;
        const char* enrollment;
        bool image;
        json expected;
    } cases[] = {
        {"cut after the service name", json::array(), "https://e.example/r3_zavo_i/enroll?x=1", false,
         json::parse(R"([{"url":"https://e.example/r3_zavo_i/status","codes":[200]}])")},
        {"added to the listed ones", json::parse(R"([{"url":"https://b/"}])"), "https://e/r3_zavo_i/x/r3_zavo_i/y",
         false, json::parse(R"([{"url":"https://b/"},{"url":"https://e/r3_zavo_i/status","codes":[200]}])")},
        {"no enrollment address", json::parse(R"([{"url":"https://b/"}])"), "", false,
         json::parse(R"([{"url":"https://b/"}])")},
        {"address without the service name", json::array(), "https://e/other/enroll", false, json::array()},
        {"no backend list: disabled", nullptr, "https://e/r3_zavo_i/enroll", false, nullptr},
        {"IMAGE removes the list", json::parse(R"([{"url":"https://b/"}])"), "https://e/r3_zavo_i/enroll", true,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json root = EndpointManifest();
        if (!c.backends.is_null()) {
            Job0(root)["backend_urls"] = c.backends;
        }
        Job0(root)["distribution"]["enrollment_url"] = c.enrollment;
        vek::ManifestSwitches switches;
        switches.image = c.image;
        Prepared p(root, switches);
        p.manifest->init();
        p.manifest->prepare();
        const json job = InstallJob(p.document);
        const auto it = job.find("backend_urls");
        if (c.expected.is_null()) {
            EXPECT_EQ(it, job.end());
        } else {
            ASSERT_NE(it, job.end());
            EXPECT_EQ(*it, c.expected);
        }
    }
}

TEST(CManifestPatch, ImageLeavesOutTheOmblFiles)
{
    json root = EndpointManifest();
    vek::ManifestSwitches switches;
    switches.image = true;
    Prepared p(root, switches);
    p.manifest->init();
    p.manifest->prepare();
    const json job = InstallJob(p.document);
    const Names_ kept = Names(job, "file_array");
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "ombl.msi"), 0);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "qor64.msi"), 1);
    const Names_ filtered = Names(job, "filtered_files");
    EXPECT_EQ(std::count(filtered.begin(), filtered.end(), "ombl.msi"), 1);
}

TEST(CManifestPatch, ReEnrollsAnInstalledProductAndFallsBack)
{
    // The endpoint product as Windows Installer knows it, under the upgrade code of the system's
    // package (the 64-bit one for a 32-bit launcher on a 64-bit system).
    struct Case {
        const wchar_t* installed; // empty: not installed
        bool wow64;
        const char* removal;
        bool reEnroll;
    } cases[] = {
        {L"2.0", false, nullptr, true},  // the same version is installed
        {L"2.0", true, nullptr, true},   // the same, on a 64-bit system
        {L"3.0", false, nullptr, true},  // a newer one is installed
        {L"1.9", true, nullptr, false},  // an older one: install
        {L"", false, nullptr, false},    // none installed
        {L"", true, nullptr, false},     // none installed, 64-bit system
        {L"2.0", false, "qor_uninstall", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << vek::ToUtf8(c.installed) << " " << c.wow64 << " "
                                        << (c.removal ? c.removal : ""));
        json root = EndpointManifest();
        Job0(root)["backend_urls"] = json::array();
        Job0(root)["distribution"]["enrollment_url"] = "https://e/r3_zavo_i/enroll";
        if (c.removal != nullptr) {
            Job0(root)["distribution"]["install_options"] = InstallOptions(c.removal);
        }
        Prepared p(root);
        p.msi->installedVersion = c.installed;
        p.msi->wow64 = c.wow64;
        p.manifest->init();
        p.manifest->prepare();
        EXPECT_EQ(p.msi->askedVersion, L"2.0");
        ASSERT_EQ(p.msi->askedCodes.size(), 1u);
        EXPECT_EQ(p.msi->askedCodes[0], c.wow64 ? vek::kEndpointUpgradeCode64 : vek::kEndpointUpgradeCode32);
        json job = InstallJob(p.document);
        EXPECT_EQ(job.value("re_enroll", false), c.reEnroll);
        Names_ kept = Names(job, "file_array");
        EXPECT_EQ(std::count(kept.begin(), kept.end(), "qor64.msi"), c.reEnroll ? 0 : 1);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), "ombl.msi"), 1);
        if (!c.reEnroll) {
            continue;
        }
        p.msi->askedVersion.clear();
        p.manifest->fallbackFromReEnrollment();
        job = InstallJob(p.document);
        EXPECT_EQ(job["re_enroll"], false);
        EXPECT_EQ(p.msi->askedVersion, L"") << "the fall-back asks no version again";
        kept = Names(job, "file_array");
        EXPECT_EQ(std::count(kept.begin(), kept.end(), "qor64.msi"), 1);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), "qor32.msi"), 0) << "still the wrong platform";
        EXPECT_EQ(job["backend_urls"].size(), 1u) << "the patching again adds no second probe";
    }
}

TEST(CManifestPatch, LegacyCleanupFiles)
{
    struct Case {
        bool agent;
        const char* createMsi;
        bool kept;
    } cases[] = {
        {false, "false", false},
        {true, "false", true},
        {false, "true", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.agent << " " << c.createMsi);
        json root = EndpointManifest();
        Job0(root)["product_data"]["run_key"] = "OTHER";
        Job0(root)["create_msi"] = c.createMsi;
        Job0(root)["file_array"].push_back({{"destination_file", "cleanup.exe"}, {"type", "job_pa_cleanup"}});
        Prepared p(root);
        p.detector->hostedAgent = c.agent;
        p.manifest->init();
        p.manifest->prepare();
        const Names_ kept = Names(InstallJob(p.document), "file_array");
        EXPECT_EQ(std::count(kept.begin(), kept.end(), "cleanup.exe"), c.kept ? 1 : 0);
        EXPECT_EQ(kept.size(), c.kept ? 11u : 10u) << "only the clean-up entry goes, nothing is filtered";
    }
}

TEST(CManifestAccessors, TextsAndCommonValues)
{
    json root = EndpointManifest();
    Job0(root)["distribution"]["domain_id"] = "Caf\u00e9 \u20ac \U0001F600"; // UTF-8 inside, UTF-16 outside
    Prepared p(root);
    p.manifest->init();
    EXPECT_EQ(p.manifest->getManifestId(), L"m-1");
    EXPECT_EQ(p.manifest->getTelemetryProductName(), L"Vek");
    EXPECT_EQ(p.manifest->getReportingUrl(), L"https://r.example/");
    EXPECT_EQ(p.manifest->getDistributionType(), L"web");
    EXPECT_EQ(p.manifest->getCustomerId(), L"C");
    EXPECT_EQ(p.manifest->getDomainId(), L"Caf\u00e9 \u20ac \U0001F600");
    p.manifest->prepare();
    const json after = p.document.Snapshot();
    EXPECT_EQ(after.at("vek").at("job_array").at(0).at("manifest_id"), "m-1");
    EXPECT_EQ(after.at("vek").at("bootstrap").at("options").at("proxy_settings").at("password_encrypted"), true);
    EXPECT_EQ(after.at("vek").at("bootstrap").at("options").at("proxy_settings").at("allow_fallback"), false);
}

TEST(CManifestAccessors, UiModesAndProxyTypesByName)
{
    struct UiCase {
        json mode;
        bool silent;
        bool unattended;
    } uiCases[] = {
        {"SILENT", true, false}, {"UNATTENDED", false, true}, {"silent", false, false},
        {"", false, false},      {nullptr, false, false},     {3, false, false},
    };
    for (const auto& c : uiCases) {
        SCOPED_TRACE(c.mode.dump());
        json root = EndpointManifest();
        Job0(root)["distribution"]["ui_mode"] = c.mode;
        Prepared p(root);
        p.manifest->init();
        EXPECT_EQ(p.manifest->isSilentUIMode(), c.silent);
        EXPECT_EQ(p.manifest->isUnattendedUIMode(), c.unattended);
    }
    struct ProxyCase {
        json type;
        vek::VEK_PROXY_TYPE expected;
    } proxyCases[] = {
        {"CUSTOM", vek::eProxyCustom},       {"custom", vek::eProxyCustom},  {"AutoDetect", vek::eProxyAutodetect},
        {"disabled", vek::eProxyDisabled},   {"DIRECT", vek::eProxyDefault}, {nullptr, vek::eProxyDefault},
        {json::array(), vek::eProxyDefault},
    };
    for (const auto& c : proxyCases) {
        SCOPED_TRACE(c.type.dump());
        json root = EndpointManifest();
        root["vek"]["bootstrap"]["options"]["proxy_settings"]["type"] = c.type;
        Prepared p(root);
        EXPECT_EQ(p.manifest->getProxyType(), c.expected);
    }
}

TEST(CManifestAccessors, InstallersAndFiles)
{
    json root = EndpointManifest();
    Job0(root)["environment"]["PAYLOAD_DESTINATION"] = "setup.msi";
    Job0(root)["file_array"][2]["destination_file"] = "%PAYLOAD_DESTINATION%";
    Job0(root)["file_array"][4]["destination_file"] = "C:\\payload\\plugin.dll";
    Job0(root)["file_array"].push_back({{"destination_file", "dep1.appx"}, {"type", "wox_dependency"}});
    Job0(root)["file_array"].push_back({{"destination_file", "dep2.appx"}, {"type", "WOX_DEPENDENCY"}});
    Prepared p(root);
    p.manifest->init();
    EXPECT_EQ(p.manifest->countInstallers(), 2); // qor and ombl
    EXPECT_EQ(p.manifest->getInstallerPath("qor"), L"qor64.msi");
    EXPECT_EQ(p.manifest->getInstallerPath("OMBL"), L"C:\\payload\\setup.msi");
    EXPECT_EQ(p.manifest->getInstallerPath("wox"), L"");
    json entry;
    EXPECT_TRUE(p.manifest->findEndpointInstaller(entry));
    EXPECT_EQ(entry["destination_file"], "qor64.msi");
    EXPECT_TRUE(p.manifest->findFile(nullptr, nullptr, entry));
    EXPECT_EQ(entry["destination_file"], "qor64.msi");
    std::vector<std::wstring> files;
    EXPECT_FALSE(p.manifest->getWoxDependencyFiles(files)) << "wox is not selected";

    Job0(root)["distribution"]["components"] = "wox";
    Prepared wox(root);
    wox.manifest->init();
    EXPECT_EQ(wox.manifest->countInstallers(), 0);
    EXPECT_FALSE(wox.manifest->findEndpointInstaller(entry));
    EXPECT_TRUE(wox.manifest->getWoxDependencyFiles(files));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"dep1.appx", L"dep2.appx"}));
}

TEST(CManifestAccessors, DecodesInstallOptions)
{
    struct Case {
        json options;
        bool decoded;
        json settings;
    } cases[] = {
        {Base64(R"({"settings":{"removal_option":"SKIP"}})"), true, json::parse(R"({"removal_option":"SKIP"})")},
        {"e30=", true, nullptr}, // "{}" has no settings
        {"", false, nullptr},
        {"not base64!", false, nullptr},
        {"e30", false, nullptr},
        {Base64("not json"), false, nullptr},
        {17, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.dump());
        json root = EndpointManifest();
        Job0(root)["distribution"]["install_options"] = c.options;
        Prepared p(root);
        p.manifest->init();
        json settings;
        EXPECT_EQ(p.manifest->decodeInstallOptions(settings), c.decoded);
        EXPECT_EQ(settings, c.settings);
    }
}

TEST(CManifestAccessors, WrongTypesAnswerTheDefaultAndAreLogged)
{
    json root = EndpointManifest();
    Job0(root)["distribution"]["customer_id"] = 17;
    Job0(root)["distribution"]["ui_mode"] = json::array({"SILENT"});
    Job0(root)["create_msi"] = true;
    root["vek"]["global"] = "not an object";
    Prepared p(root);
    LogCapture log;
    p.manifest->init();
    EXPECT_EQ(p.manifest->getCustomerId(), L"");
    EXPECT_FALSE(p.manifest->isSilentUIMode());
    EXPECT_FALSE(p.manifest->isRedistributable());
    EXPECT_EQ(p.manifest->getManifestId(), L"");
    EXPECT_TRUE(log.Contains(L"Manifest value customer_id is of type number, not text: read as empty text"))
        << log.text;
    EXPECT_TRUE(log.Contains(L"Manifest value ui_mode is of type array, not text")) << log.text;
    EXPECT_TRUE(log.Contains(L"Manifest value create_msi is of type boolean, not text")) << log.text;
    EXPECT_TRUE(log.Contains(L"vek::ManifestJson::Text(")) << "the convention's prefix: " << log.text;
}

TEST(CManifestMarker, UpgradeConfirmationMarker)
{
    const std::wstring base = L"Software\\VekTest\\manifest_" + std::to_wstring(::GetCurrentProcessId());
    EXPECT_FALSE(CManifest::isWaitingForUpgradeConfirmation(base.c_str()));
    {
        qkRegistry key;
        ASSERT_TRUE(
            key.CreateKey(HKEY_LOCAL_MACHINE, (base + L"\\WaitingForUpgradeConfirmation").c_str(), KEY_ALL_ACCESS));
    }
    EXPECT_TRUE(CManifest::isWaitingForUpgradeConfirmation(base.c_str()));
    EXPECT_TRUE(CManifest::clearUpgradeConfirmation(base.c_str()));
    EXPECT_FALSE(CManifest::isWaitingForUpgradeConfirmation(base.c_str()));
    qkRegistry root;
    ASSERT_TRUE(root.OpenKey(HKEY_LOCAL_MACHINE, L"Software\\VekTest", KEY_ALL_ACCESS));
    EXPECT_TRUE(root.DeleteKeyTree((L"manifest_" + std::to_wstring(::GetCurrentProcessId())).c_str()));
}
