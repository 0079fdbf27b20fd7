// Hand-edited manifests: every member of a complete manifest replaced by values of other types,
// removed, or buried in deep nesting, and the text itself damaged byte by byte. Each case must end
// in a result code or the documented default: never a crash, never an escaping exception.
#include "ManifestTestSupport.h"

#include "engine/manifest/JobEngineException.h"
#include "services/launcher/VekResultCodes.h"
#include "engine/manifest/VekPathExpansion.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace manifesttest;

namespace {

class FixedFolders : public vek::IShellFolders {
public:
    bool IsVistaOrLater() override { return true; }
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, std::wstring& path) override
    {
        path = L"C:\\Public\\Downloads";
        return S_OK;
    }
    HRESULT GetFolderPath(int, std::wstring& path) override
    {
        path = L"C:\\Folder";
        return S_OK;
    }
};

json BaseManifest()
{
    json root = EndpointManifest();
    json& vekNode = root["vek"];
    vekNode["environment"] = {{"RUN_LOCATION", "%INSTALLDIR%\\Vek"}, {"HOST", "d.example"}};
    vekNode["bootstrap"]["run_location"] = "%RUN_LOCATION%";
    json& job = vekNode["job_array"][0];
    job["environment"] = {{"PAYLOAD_SOURCE", "https://%HOST%/p"}};
    job["backend_urls"] = json::array({{{"url", "https://b/"}, {"codes", {200}}}});
    job["distribution"]["enrollment_url"] = "https://e/r3_zavo_i/enroll";
    job["distribution"]["product_lang"] = "de-AT";
    job["distribution"]["qor_supported_languages"] = json::parse(R"([{"code":"de-DE","default_for_group":true}])");
    job["distribution"]["install_options"] = InstallOptions("SKIP");
    job["file_array"][0]["source_file"] = "%PAYLOAD_SOURCE%/en-US/qor.msi";
    return root;
}

// Every JSON pointer of the document, containers included, without recursion.
std::vector<std::string> Pointers(const json& root)
{
    std::vector<std::string> pointers;
    std::vector<std::pair<const json*, std::string>> pending{{&root, ""}};
    while (!pending.empty()) {
        auto [node, pointer] = pending.back();
        pending.pop_back();
        if (!pointer.empty()) {
            pointers.push_back(pointer);
        }
        if (node->is_object()) {
            for (auto it = node->begin(); it != node->end(); ++it) {
                pending.emplace_back(&it.value(), pointer + "/" + it.key());
            }
        } else if (node->is_array()) {
            for (size_t i = 0; i < node->size(); ++i) {
                pending.emplace_back(&node->at(i), pointer + "/" + std::to_string(i));
            }
        }
    }
    return pointers;
}

json Deep(size_t depth, bool objects)
{
    json value = 1;
    for (size_t i = 0; i < depth; ++i) {
        value = objects ? json{{"a", std::move(value)}} : json::array({std::move(value)});
    }
    return value;
}

const std::set<uint32_t> kLoadResults = {S_OK, static_cast<uint32_t>(vek::VEK_E_JSON_NOT_PARSED)};
const std::set<uint32_t> kCheckResults = {S_OK, static_cast<uint32_t>(vek::VEK_E_JSON_NOT_PARSED),
                                          static_cast<uint32_t>(vek::VEK_E_NO_CC_TOKEN),
                                          static_cast<uint32_t>(vek::VEK_E_NO_INSTALL_OPTIONS)};
const std::set<uint32_t> kExpansionResults = {
    S_OK,
    static_cast<uint32_t>(vek::VEK_E_EXPAND_ENVIRONMENT),
    static_cast<uint32_t>(vek::VEK_E_EXPAND_JOB_ENVIRONMENT),
};

// Loads the text and runs everything the launcher does with a manifest before its jobs start.
void RunPipeline(const std::string& text, const std::string& what)
{
    SCOPED_TRACE(what);
    try {
        vek::ManifestDocument document;
        const HRESULT loaded = document.LoadFromText(text);
        ASSERT_EQ(kLoadResults.count(static_cast<uint32_t>(loaded)), 1u) << std::hex << loaded;
        if (FAILED(loaded)) {
            return;
        }
        HRESULT expanded = S_OK;
        try {
            vek::VekPathExpansion(std::make_shared<FixedFolders>()).doPathExpansion(document);
        } catch (const vek::JobEngineException& e) {
            expanded = e.GetCode();
        }
        EXPECT_EQ(kExpansionResults.count(static_cast<uint32_t>(expanded)), 1u) << std::hex << expanded;

        auto os = std::make_shared<FakeOS>();
        auto msi = std::make_shared<FakeMsi>();
        msi->installedVersion = L"2.0";
        vek::ManifestSwitches switches;
        switches.forceInstall = what.size() % 2 == 0;
        vek::CManifest manifest(document, switches, os, msi, std::make_shared<FakeDetector>());
        const bool hasJob = manifest.init();
        const HRESULT checked = manifest.checkInstallJob();
        EXPECT_EQ(kCheckResults.count(static_cast<uint32_t>(checked)), 1u) << std::hex << checked;
        EXPECT_EQ(hasJob, checked != vek::VEK_E_JSON_NOT_PARSED);
        manifest.prepare();
        manifest.fallbackFromReEnrollment();
        manifest.getManifestId();
        manifest.getTelemetryProductName();
        manifest.getReportingUrl();
        manifest.getDistributionType();
        manifest.getCustomerId();
        manifest.getDomainId();
        manifest.isSilentUIMode();
        manifest.isGenericPackage();
        manifest.getProxyType();
        manifest.countInstallers();
        manifest.getInstallerPath("qor");
        std::vector<std::wstring> files;
        manifest.getWoxDependencyFiles(files);
        const std::wstring language = manifest.getProductLanguage();
        EXPECT_FALSE(language.empty());
        for (size_t job = 0; job < document.GetJobCount(); ++job) {
            document.SetJobState(job, document.GetJobState(job), false);
        }
        EXPECT_EQ(document.ToCompactText().back(), '\n');
    } catch (const std::exception& e) {
        ADD_FAILURE() << "exception escaped: " << e.what();
    } catch (...) {
        ADD_FAILURE() << "unknown exception escaped";
    }
}

} // namespace

TEST(ManifestMutation, MembersOfEveryTypeMissingOrDeep)
{
    const json base = BaseManifest();
    RunPipeline(base.dump(), "the base manifest");
    const json replacements[] = {
        nullptr,
        0,
        -1,
        json::parse("18446744073709551615"),
        json::parse("-9223372036854775808"),
        1e308,
        -0.5,
        true,
        "",
        "x",
        "%HOST%",
        "%RUN_LOCATION%%RUN_LOCATION%",
        json::array(),
        json::object(),
        json::array({nullptr, 1, "a"}),
        Deep(40, false),
        Deep(40, true),
        Deep(70, true),
    };
    for (const std::string& pointer : Pointers(base)) {
        for (const json& replacement : replacements) {
            json mutated = base;
            mutated[json::json_pointer(pointer)] = replacement;
            RunPipeline(mutated.dump(), pointer + " = " + replacement.dump().substr(0, 40));
        }
        json removed = base;
        const json::json_pointer at(pointer);
        json& parent = removed[at.parent_pointer()];
        if (parent.is_object()) {
            parent.erase(at.back());
        } else {
            parent.erase(static_cast<size_t>(std::stoul(at.back())));
        }
        RunPipeline(removed.dump(), pointer + " removed");
    }
}

TEST(ManifestMutation, HostileTexts)
{
    const std::string job = R"({"vek": {"job_array": [{"product_data": {"run_key": "QOR"}, "distribution": )";
    const std::string cases[] = {
        job + R"({"cc_token": 1e400}}]}})",
        job + R"({"cc_token": -1e400, "components": 123456789012345678901234567890}}]}})",
        job + R"({"package_type": 18446744073709551616}, "job_state": 99999999999}]}})",
        "{\"vek\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
        "{\"vek\": " + std::string(100000, '{'),
        std::string(3, '\0'),
        "{\"vek\": {\"job_array\": [{\"distribution\": {\"cc_token\": \"a\\u0000b\"}}]}}",
    };
    for (const std::string& text : cases) {
        RunPipeline(text, text.substr(0, 80));
    }
}

TEST(ManifestMutation, DamagedText)
{
    const std::string base = BaseManifest().dump(2);
    const std::string alphabet = "{}[]\",:0123456789-+eE.%\\/ tfnul\x80\xC3";
    uint32_t seed = 0x2545F491u;
    auto next = [&seed](uint32_t bound) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed % bound;
    };
    for (int round = 0; round < 1500; ++round) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(next(4));
        for (int e = 0; e < edits; ++e) {
            const size_t at = next(static_cast<uint32_t>(text.size()));
            switch (next(4)) {
            case 0:
                text[at] = alphabet[next(static_cast<uint32_t>(alphabet.size()))];
                break;
            case 1:
                text.erase(at, 1 + next(16));
                break;
            case 2:
                text.insert(at, text.substr(at, 1 + next(64)));
                break;
            default:
                text.insert(at, 1, alphabet[next(static_cast<uint32_t>(alphabet.size()))]);
                break;
            }
            if (text.empty()) {
                text = "{";
            }
        }
        RunPipeline(text, "round " + std::to_string(round));
    }
}
