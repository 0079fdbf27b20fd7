// The job engine's file locations, local files, path check and temporary-file removal, the
// restoring of saved state, and its manifest accessors: real files in a temporary folder and a
// real state file.
#include "engine/jobengine/VekJobEngine.h"

#include "JobEngineTestSupport.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekShellFolders.h"
#include "engine/state/VekStateFile.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace jobenginetest;
using vek::VekJobEngine;

namespace {

namespace fs = std::filesystem;

constexpr HRESULT kNoSuchJob = static_cast<HRESULT>(0x80047E55);
constexpr HRESULT kStateNotJson = static_cast<HRESULT>(0x80047E01);
constexpr HRESULT kStateCrc = static_cast<HRESULT>(0x80047E0A);
// SHA-256 of "abc".
const char* const kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::shared_ptr<vek::ManifestDocument> Document(json root)
{
    auto document = std::make_shared<vek::ManifestDocument>();
    EXPECT_EQ(S_OK, document->Adopt(std::move(root)));
    return document;
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Utf8(const std::wstring& text)
{
    return vek::ToUtf8(text);
}

struct FolderCase {
    const char* name;
    json bootstrap;
    std::wstring install;
    std::wstring download;
};

class JobFoldersTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(JobFoldersTest, InstallAndDownloadFolderFollowTheManifest)
{
    const FolderCase& c = GetParam();
    auto document = Document({{"vek", {{"global", {{"manifest_id", "{M}"}}}, {"bootstrap", c.bootstrap}}}});
    VekJobEngine engine(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
    EXPECT_EQ(c.install, engine.buildInstallFolder());
    EXPECT_EQ(c.download, engine.buildDownloadFolder());
    std::wstring folder;
    engine.GetDownloadFolder(folder);
    EXPECT_EQ(c.download, folder);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, JobFoldersTest,
    ::testing::Values(
        FolderCase{"RunLocationAndManifestId", {{"run_location", "C:\\run\\"}}, L"C:\\run\\{M}", L"C:\\run\\{M}"},
        FolderCase{"PostfixAndDownloadSubfolder",
                   {{"run_location", "C:\\run\\"}, {"install_folder_postfix", "_x86"}, {"download_folder", "dl"}},
                   L"C:\\run\\{M}_x86", L"C:\\run\\{M}_x86\\dl"},
        FolderCase{"CustomLocationTakenAsIs",
                   {{"run_location", "C:\\run\\"},
                    {"custom_location", "D:\\mine"},
                    {"install_folder_postfix", "_x64"},
                    {"download_folder", "dl"}},
                   L"D:\\mine", L"D:\\mine\\dl"},
        FolderCase{"AbsoluteDownloadFolderReplaces", {{"run_location", "C:\\run\\"}, {"download_folder", "E:\\abs"}},
                   L"C:\\run\\{M}", L"E:\\abs"}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.name); });

// The name under which a file's failure count is kept: the engine's clean-up, the download manager
// and the job's validation name a file alike, so that the clean-up finds every count written.
TEST(JobFilesTest, FileNameIsTheNameOfTheFailureCount)
{
    const wchar_t* sources[] = {
        L"https://h/p/setup.msi?sig=1#x", L"https://h/p/setup.msi", L"C:\\d\\f.bin", L"f.bin", L"https://h/p/", L""};
    for (const wchar_t* source : sources) {
        EXPECT_EQ(VekJobEngine::getFileName(source), vek::FailureCountValueName(source)) << vek::ToUtf8(source);
    }
    EXPECT_EQ(VekJobEngine::getFileName(L"https://h/p/setup.msi?sig=1#x"), L"setup.msi");
}

TEST(JobFilesTest, PathLengthLimitIsExclusive)
{
    const std::wstring folder = L"C:\\folder";
    // folder + "\" + name: 259 characters pass, 260 do not.
    for (const auto& [length, accepted] : {std::pair{259u, true}, std::pair{260u, false}}) {
        const std::string name(length - folder.size() - 1, 'a');
        auto document = Document(
            {{"vek",
              {{"job_array",
                json::array({{{"job_id", "j"},
                              {"file_array", json::array({{{"destination_file", "short.bin"}},
                                                          {{"destination_file", name}}})}}})}}}});
        VekJobEngine engine(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
        EXPECT_EQ(accepted, engine.checkPathLengths(folder)) << length;
    }
}

TEST(JobFilesTest, JobIsCompleteWhenEveryMandatoryFileIsPresent)
{
    TempFolder temp(L"jobengine-complete");
    const fs::path run = temp.Path() / "run";
    WriteFile(run / "{C}" / "present.bin", "x");
    const std::string absolute = Utf8((temp.Path() / "absolute.bin").wstring());
    WriteFile(temp.Path() / "absolute.bin", "x");

    struct Row {
        const char* name;
        json files;
        bool complete;
    };
    const Row rows[] = {
        {"PresentInDownloadFolder", json::array({{{"destination_file", "present.bin"}, {"source_file", "s/present.bin"}}}),
         true},
        {"PresentAtAbsolutePath", json::array({{{"destination_file", absolute}}}), true},
        {"MandatoryMissing",
         json::array({{{"destination_file", "present.bin"}},
                      {{"destination_file", "missing.bin"}, {"source_file", "s/missing.bin"}, {"file_priority", 0}}}),
         false},
        {"OnlyOptionalMissing",
         json::array({{{"destination_file", "present.bin"}},
                      {{"destination_file", "missing.bin"}, {"source_file", "s/missing.bin"}, {"file_priority", -1}}}),
         true},
        {"NoFiles", json::array(), true},
    };
    for (const Row& row : rows) {
        const json job = {{"job_id", "j"}, {"file_array", row.files}};
        auto document = Document({{"vek",
                                   {{"global", {{"manifest_id", "{C}"}}},
                                    {"bootstrap", {{"run_location", Utf8(run.wstring())}}},
                                    {"job_array", json::array({job})}}}});
        VekJobEngine engine(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
        EXPECT_EQ(row.complete, engine.isJobComplete(job)) << row.name;
        EXPECT_EQ(row.complete, engine.isFirstJobComplete()) << row.name;
        EXPECT_EQ(row.complete, engine.areAllJobsComplete()) << row.name;
    }

    // Completeness of all jobs needs every job; an empty job array is complete.
    const json present = {{"job_id", "a"}, {"file_array", json::array({{{"destination_file", "present.bin"}}})}};
    const json missing = {{"job_id", "b"}, {"file_array", json::array({{{"destination_file", "gone.bin"}}})}};
    auto document = Document({{"vek",
                               {{"global", {{"manifest_id", "{C}"}}},
                                {"bootstrap", {{"run_location", Utf8(run.wstring())}}},
                                {"job_array", json::array({present, missing})}}}});
    VekJobEngine engine(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
    EXPECT_TRUE(engine.isFirstJobComplete());
    EXPECT_FALSE(engine.areAllJobsComplete());
    VekJobEngine empty(nullptr, Document({{"vek", {{"job_array", json::array()}}}}), L"C:\\x\\VekLauncher.exe");
    EXPECT_TRUE(empty.areAllJobsComplete());
}

TEST(JobFilesTest, FilesBesideTheLauncherAreAdoptedOnlyWhenValid)
{
    TempFolder temp(L"jobengine-local");
    WriteFile(temp.Path() / "payload" / "good.bin", "abc");
    WriteFile(temp.Path() / "payload" / "bad.bin", "abd");
    const json sha = {{"type", "sha256"}, {"data", kAbcDigest}};
    auto document = Document(
        {{"vek",
          {{"job_array",
            json::array({{{"job_id", "j"},
                          {"download_folder", "payload"},
                          {"file_array", json::array({{{"destination_file", "good.bin"}, {"validation", sha}},
                                                      {{"destination_file", "bad.bin"}, {"validation", sha}},
                                                      {{"destination_file", "absent.bin"}, {"validation", sha}}})}}})}}}});
    VekJobEngine engine(nullptr, document, (temp.Path() / "VekLauncher.exe").wstring());
    engine.updateLocalFileInformation();

    const json files = document->Snapshot()["vek"]["job_array"][0]["file_array"];
    EXPECT_EQ(Utf8((temp.Path() / "payload" / "good.bin").wstring()), files[0].value("local_file", ""));
    EXPECT_FALSE(files[1].contains("local_file"));
    EXPECT_FALSE(files[2].contains("local_file"));
}

TEST(JobFilesTest, LeftoverTemporaryFilesAreRemoved)
{
    TempFolder temp(L"jobengine-residue");
    const fs::path folder = temp.Path() / "{R}";
    WriteFile(folder / "one.tmp", "1");
    WriteFile(folder / "two.tmp", "2");
    WriteFile(folder / "keep.bin", "3");
    ASSERT_TRUE(::SetFileAttributesW((folder / "two.tmp").c_str(), FILE_ATTRIBUTE_READONLY));
    auto document = Document({{"vek",
                               {{"global", {{"manifest_id", "{R}"}}},
                                {"bootstrap", {{"run_location", Utf8(temp.Text())}}}}}});
    VekJobEngine engine(nullptr, document, L"C:\\launcher\\VekLauncher.exe");
    engine.deleteResidueTempFiles();
    EXPECT_FALSE(fs::exists(folder / "one.tmp"));
    EXPECT_FALSE(fs::exists(folder / "two.tmp"));
    EXPECT_TRUE(fs::exists(folder / "keep.bin"));

    // A download folder that does not exist is no failure.
    fs::remove_all(folder);
    engine.deleteResidueTempFiles();
}

TEST(JobEngineAccessorsTest, JobIndexOutsideTheArrayIsRefused)
{
    auto reporter = std::make_shared<RecordingReporter>();
    auto two = Document({{"vek", {{"job_array", json::array({{{"job_id", "a"}}, {{"job_id", "b"}}})}}}});
    VekJobEngine engine(reporter, two, L"C:\\x\\VekLauncher.exe");
    EXPECT_EQ(2, engine.GetJobCount());
    EXPECT_EQ("b", engine.GetJob(1).value("job_id", ""));

    VekJobEngine empty(reporter, Document({{"vek", {{"job_array", json::array()}}}}), L"C:\\x\\VekLauncher.exe");
    const std::pair<VekJobEngine*, int> refused[] = {{&engine, -1}, {&engine, 2}, {&empty, 0}};
    for (const auto& [target, index] : refused) {
        try {
            target->GetJob(index);
            ADD_FAILURE() << "index " << index << " was accepted";
        } catch (const vek::JobEngineException& e) {
            EXPECT_EQ(kNoSuchJob, e.GetCode());
        }
    }
    EXPECT_EQ(0, empty.GetJobCount());
    EXPECT_TRUE(reporter->Errors().empty());

    // A manifest without a job array counts no jobs and says so.
    VekJobEngine none(reporter, Document({{"vek", json::object()}}), L"C:\\x\\VekLauncher.exe");
    EXPECT_EQ(0, none.GetJobCount());
    ASSERT_EQ(1u, reporter->Errors().size());
    // The place text is the one the report's readers know, not a source line.
    EXPECT_EQ("\"vek::VekJobEngine::GetJobCount(630)\"", reporter->Extras()[0]);
}

// A shell that knows no folder: a desktop shortcut cannot be found to be removed.
class NoShellFolders : public vek::IShellFolders {
public:
    bool IsVistaOrLater() override { return true; }
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, std::wstring&) override { return E_FAIL; }
    HRESULT GetFolderPath(int, std::wstring&) override { return E_FAIL; }
};

// An engine failure stops the clean-up; the report names the place by its fixed text.
TEST(JobEngineAccessorsTest, CleanUpFailureIsReportedWithItsPlaceText)
{
    auto reporter = std::make_shared<RecordingReporter>();
    auto document =
        Document({{"vek",
                   {{"global", {{"manifest_id", "{vek-test-cleanup-place}"}}},
                    {"bootstrap", {{"shortcuts", json::array({{{"shortcut_type", "desktop"}, {"path", "Vek"}}})}}},
                    {"job_array", json::array()}}}});
    VekJobEngine engine(reporter, document, L"C:\\x\\VekLauncher.exe");
    engine.setShellFolders(std::make_shared<NoShellFolders>());
    engine.CleanUp(VekJobEngine::eCleanShortcuts);
    ASSERT_EQ(1u, reporter->Errors().size());
    EXPECT_EQ(vek::VEK_E_SHORTCUT_DESKTOP, reporter->Errors()[0]);
    EXPECT_EQ("\"vek::VekJobEngine::CleanUp(1280)\"", reporter->Extras()[0]);
}

TEST(JobEngineAccessorsTest, CustomLocationAndManifestKeyPath)
{
    auto document = Document({{"vek", {{"global", {{"manifest_id", "{K}"}}}, {"bootstrap", json::object()}}}});
    VekJobEngine engine(nullptr, document, L"C:\\x\\VekLauncher.exe");
    std::wstring text = L"stale";
    engine.getCustomLocation(text);
    EXPECT_EQ(L"", text);
    engine.setCustomLocation(L"D:\\Packages");
    engine.getCustomLocation(text);
    EXPECT_EQ(L"D:\\Packages", text);
    EXPECT_EQ(L"D:\\Packages", engine.buildInstallFolder());
    engine.getManifestKeyPath(text);
    EXPECT_EQ(L"Software\\Vallor\\Vek\\{K}", text);
}

// ---- saved state -----------------------------------------------------------------------------

json ShippedManifest()
{
    return {{"vek",
             {{"global", {{"manifest_id", "{STATE-" + std::to_string(::GetCurrentProcessId()) + "}"}}},
              {"job_array", json::array({{{"job_id", "j1"}, {"job_state", 0}}, {{"job_id", "j2"}}})}}}};
}

TEST(JobEngineStateTest, SavedStateRestoresRestartAndPausedDownloadsOnly)
{
    TempFolder temp(L"jobengine-state");
    vek::VekStateFile stateFile(temp.Text(), nullptr);
    json saved = ShippedManifest();
    saved["vek"]["restart"] = {{"reason", "elevate"}};
    saved["vek"]["global"]["extra"] = "not taken";
    saved["vek"]["job_array"][0]["HttpPausedDownload"] = {{"offset", 12}};
    saved["vek"]["job_array"][0]["job_state"] = 9;
    stateFile.Save(saved);

    auto document = Document(ShippedManifest());
    auto reporter = std::make_shared<RecordingReporter>();
    VekJobEngine engine(reporter, document, L"C:\\x\\VekLauncher.exe");
    engine.setDataFolder(temp.Text());
    EXPECT_TRUE(engine.loadState());

    json expected = ShippedManifest();
    expected["vek"]["restart"] = {{"reason", "elevate"}};
    expected["vek"]["job_array"][0]["HttpPausedDownload"] = {{"offset", 12}};
    EXPECT_EQ(expected, document->Snapshot());
    EXPECT_TRUE(reporter->Errors().empty());
}

TEST(JobEngineStateTest, DamagedStateIsReportedDeletedAndIgnored)
{
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> damage;
        HRESULT reported;
    };
    const Row rows[] = {
        {"WrongChecksum",
         [](const fs::path& path) {
             std::ifstream in(path, std::ios::binary);
             json state = json::parse(in);
             in.close();
             state["crc"] = state.value("crc", 0u) + 1;
             std::ofstream(path, std::ios::binary | std::ios::trunc) << state.dump();
         },
         kStateCrc},
        {"NotJson", [](const fs::path& path) { std::ofstream(path, std::ios::binary | std::ios::trunc) << "{oops"; },
         kStateNotJson},
    };
    for (const Row& row : rows) {
        TempFolder temp(L"jobengine-damaged");
        vek::VekStateFile stateFile(temp.Text(), nullptr);
        json saved = ShippedManifest();
        saved["vek"]["restart"] = true;
        stateFile.Save(saved);
        std::wstring path = stateFile.Path(saved);
        const fs::path plain = path.substr(4); // without the long-path prefix
        ASSERT_TRUE(fs::exists(plain)) << row.name;
        row.damage(plain);

        auto document = Document(ShippedManifest());
        auto reporter = std::make_shared<RecordingReporter>();
        VekJobEngine engine(reporter, document, L"C:\\x\\VekLauncher.exe");
        engine.setDataFolder(temp.Text());
        EXPECT_TRUE(engine.loadState()) << row.name;
        EXPECT_EQ(ShippedManifest(), document->Snapshot()) << row.name;
        EXPECT_EQ(std::vector<HRESULT>{row.reported}, reporter->Errors()) << row.name;
        EXPECT_FALSE(fs::exists(plain)) << row.name;
    }

    // No state file: nothing to restore, nothing reported.
    TempFolder temp(L"jobengine-nostate");
    auto document = Document(ShippedManifest());
    auto reporter = std::make_shared<RecordingReporter>();
    VekJobEngine engine(reporter, document, L"C:\\x\\VekLauncher.exe");
    engine.setDataFolder(temp.Text());
    EXPECT_TRUE(engine.loadState());
    EXPECT_TRUE(reporter->Errors().empty());
}

} // namespace
