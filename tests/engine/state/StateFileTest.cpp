// The state file on real files under a folder of each test's own: path, bytes on disk, checksum,
// loading, refusal of a damaged file, replacement of a read-only one, a file held open elsewhere,
// and a save stopped at each of its steps.
#include "engine/state/VekStateFile.h"

#include "common/base/qkCrc32.h"
#include "common/system/qkHandle.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using json = nlohmann::json;
using vek::VekStateFile;

namespace {

struct RecordedError {
    HRESULT code;
    bool send;
    std::wstring extra;
};

class RecordingSink : public vek::IEngineErrorSink {
public:
    void logError(HRESULT code, bool send, const std::wstring& extra) override
    {
        errors.push_back({code, send, extra});
    }
    std::vector<RecordedError> errors;
};

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = std::filesystem::temp_directory_path() / (std::string("vek_state_") + info->name());
        std::filesystem::remove_all(m_folder);
        std::filesystem::create_directories(m_folder);
    }
    void TearDown() override
    {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder, ignored)) {
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::filesystem::remove_all(m_folder, ignored);
    }

    static json Document(const std::string& stage)
    {
        return json{{"vek",
                     {{"global", {{"manifest_id", "{5A1E-STATE}"}}},
                      {"job_array",
                       {{{"job_id", "j1"},
                         {"stage", stage},
                         {"HttpPausedDownload", {{"offset", 1048576}, {"etag", "\"e1\""}}}}}}}}};
    }
    static std::string Bytes(const std::wstring& path)
    {
        std::ifstream in(std::filesystem::path(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string StageOf(const json& state)
    {
        return state.at("vek").at("job_array").at(0).at("stage").get<std::string>();
    }

    std::filesystem::path m_folder;
    RecordingSink m_sink;
};

TEST_F(StateFileTest, PathCarriesManifestIdAndSid)
{
    EXPECT_EQ(VekStateFile::BuildPath(L"C:\\data", L"{ID}", L"S-1-5-21-1"), L"\\\\?\\C:\\data\\{ID}-S-1-5-21-1.dat");
    EXPECT_EQ(VekStateFile::BuildPath(L"C:\\data", L"{ID}", L""), L"\\\\?\\C:\\data\\{ID}.dat");

    std::wstring sid;
    ASSERT_TRUE(vek::GetUserSIDAsString(sid));
    VekStateFile file(m_folder.wstring(), &m_sink);
    EXPECT_EQ(file.Path(Document("a")), VekStateFile::BuildPath(m_folder.wstring(), L"{5A1E-STATE}", sid));
}

TEST_F(StateFileTest, SavedBytesAreOneCompactLineWithChecksum)
{
    VekStateFile file(m_folder.wstring(), &m_sink);
    json document = Document("\xC3\xA9t\xC3\xA9"); // text outside ASCII stays UTF-8
    file.Save(document);

    const std::string bytes = Bytes(file.Path(document));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.front(), '{'); // no byte-order mark
    EXPECT_EQ(bytes.back(), '\n');
    EXPECT_EQ(bytes.find('\n'), bytes.size() - 1);
    EXPECT_NE(bytes.find("\xC3\xA9t\xC3\xA9"), std::string::npos);

    const json onDisk = json::parse(bytes);
    const std::wstring vekText = vek::WriteStateJsonText(onDisk.at("vek"));
    EXPECT_EQ(onDisk.at("crc").get<uint32_t>(), qkLib::Crc32(vekText.data(), static_cast<DWORD>(vekText.size() * 2)));
    EXPECT_EQ(document.at("crc"), onDisk.at("crc")); // the document keeps its checksum
    EXPECT_EQ(vek::CheckStateCrc(onDisk), S_OK);
    EXPECT_TRUE(m_sink.errors.empty());
    EXPECT_FALSE(std::filesystem::exists(file.Path(document) + L".tmp"));

    json loaded;
    EXPECT_EQ(file.Load(document, loaded), S_OK);
    EXPECT_EQ(loaded, document); // the transfer's resumption data comes back with the jobs
}

// A data folder that is a link (another user could have made it so) gets no state: nothing is
// written into it, and a state file there is neither read nor deleted, but counts as absent.
TEST_F(StateFileTest, DataFolderBehindALinkIsRefused)
{
    for (const untrusted::RefusedFolder& c : untrusted::kRefusedDataFolders) {
        if (c.refusal == E_ACCESSDENIED)
            continue; // another account's data folder keeps the state: see the test below
        SCOPED_TRACE(std::filesystem::path(c.folder).string());
        const std::filesystem::path content = untrusted::Path(c.contentFolder);
        m_sink.errors.clear();
        VekStateFile file(untrusted::Path(c.folder), &m_sink);
        json document = Document("a");
        const std::wstring name = std::filesystem::path(file.Path(document)).filename().wstring();
        std::ofstream(content / name, std::ios::binary) << "planted";

        file.Save(document);
        EXPECT_EQ(Bytes((content / name).wstring()), "planted");
        size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(content))
            ++entries;
        EXPECT_EQ(entries, 1u) << "nothing written into the folder";
        std::vector<HRESULT> reported;
        for (const auto& error : m_sink.errors)
            reported.push_back(error.code);
        EXPECT_EQ(reported, std::vector<HRESULT>{vek::VEK_E_STATE_FILE});

        json loaded;
        EXPECT_EQ(file.Load(document, loaded), vek::VEK_E_FILE_NOT_FOUND);
        EXPECT_TRUE(loaded.is_null());
        EXPECT_TRUE(FAILED(file.Remove(document)));
        EXPECT_TRUE(std::filesystem::exists(content / name));
        std::filesystem::remove(content / name);
    }
}

// With full rights, a data folder of another account keeps the state: the files in it are our
// own, checked through their handles.
TEST_F(StateFileTest, DataFolderOfAnotherAccountKeepsTheState)
{
    const std::wstring folder = untrusted::Path(L"foreign");
    if (!untrusted::IsForeign(folder))
        GTEST_SKIP() << untrusted::kNotGivenAway;
    VekStateFile file(folder, &m_sink);
    json document = Document("a");
    file.Save(document);
    EXPECT_TRUE(m_sink.errors.empty());
    json loaded;
    ASSERT_EQ(file.Load(document, loaded), S_OK);
    EXPECT_EQ(StageOf(loaded), "a");
    EXPECT_EQ(file.Remove(document), S_OK);
    EXPECT_FALSE(std::filesystem::exists(file.Path(document)));
}

// A state file that another account put in our own folder is never read: the run goes on as if
// there were none. Clean-up leaves it; the next save replaces it by a file of our own.
TEST_F(StateFileTest, StateFileOfAnotherAccountCountsAsAbsentAndIsReplaced)
{
    const std::wstring planted = untrusted::Path(L"foreign-1.txt");
    if (!untrusted::IsForeign(planted))
        GTEST_SKIP() << untrusted::kNotGivenAway;
    VekStateFile file(untrusted::Path(L"plain"), &m_sink);
    json document = Document("a");
    const std::wstring path = file.Path(document);
    ASSERT_TRUE(::MoveFileW(planted.c_str(), path.c_str())) << ::GetLastError();
    json loaded;
    EXPECT_EQ(file.Load(document, loaded), vek::VEK_E_FILE_NOT_FOUND);
    EXPECT_TRUE(loaded.is_null());
    EXPECT_EQ(file.Remove(document), E_ACCESSDENIED);
    EXPECT_EQ(Bytes(path), "foreign\n");

    file.Save(document);
    EXPECT_TRUE(m_sink.errors.empty());
    EXPECT_FALSE(untrusted::IsForeign(path));
    ASSERT_EQ(file.Load(document, loaded), S_OK);
    EXPECT_EQ(StageOf(loaded), "a");
    std::filesystem::remove(path);
}

// A state file that is a second name of another file (a hard link to a read-only file of the
// user's choice) is neither read nor deleted, and no load, save or clean-up changes that file's
// bytes or attributes.
TEST_F(StateFileTest, StateFileThatIsASecondNameIsNotWrittenThrough)
{
    VekStateFile file(m_folder.wstring(), &m_sink);
    json document = Document("a");
    const std::wstring path = file.Path(document);
    const std::wstring victim = (m_folder / L"victim.txt").wstring();
    std::ofstream(std::filesystem::path(victim), std::ios::binary) << "victim";
    ASSERT_TRUE(::SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::CreateHardLinkW(path.c_str(), victim.c_str(), nullptr)) << ::GetLastError();
    auto victimIntact = [&] {
        EXPECT_EQ(Bytes(victim), "victim");
        EXPECT_NE(::GetFileAttributesW(victim.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    };

    json loaded;
    EXPECT_EQ(file.Load(document, loaded), vek::VEK_E_FILE_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::exists(path));
    victimIntact();
    EXPECT_EQ(file.Remove(document), HRESULT_FROM_WIN32(4395));
    EXPECT_TRUE(std::filesystem::exists(path));
    victimIntact();

    // The name of a read-only file cannot go: the state is not saved, and that is reported.
    file.Save(document);
    victimIntact();
    EXPECT_EQ(file.Load(document, loaded), vek::VEK_E_FILE_NOT_FOUND);
    ASSERT_EQ(m_sink.errors.size(), 1u);
    EXPECT_EQ(m_sink.errors[0].code, vek::VEK_E_STATE_FILE);

    // Once it may go, the save replaces the name alone.
    ASSERT_TRUE(::SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_NORMAL));
    m_sink.errors.clear();
    file.Save(document);
    EXPECT_TRUE(m_sink.errors.empty());
    EXPECT_EQ(Bytes(victim), "victim");
    ASSERT_EQ(file.Load(document, loaded), S_OK);
    EXPECT_EQ(StageOf(loaded), "a");
    EXPECT_EQ(file.Remove(document), S_OK);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(Bytes(victim), "victim");
}

// A temporary file put there as a second name of another file (a hard link) is replaced by a
// new file, never written through.
TEST_F(StateFileTest, PlantedTemporaryFileIsNotWrittenThrough)
{
    const std::wstring plain = untrusted::Path(L"plain");
    const std::wstring victim = untrusted::Path(L"victim.txt");
    VekStateFile file(plain, &m_sink);
    json document = Document("a");
    const std::wstring temporary = file.Path(document) + L".tmp";
    ASSERT_TRUE(CreateHardLinkW(temporary.c_str(), victim.c_str(), nullptr)) << GetLastError();
    file.Save(document);
    EXPECT_EQ(Bytes(victim), "victim\n");
    EXPECT_FALSE(std::filesystem::exists(temporary));
    json loaded;
    ASSERT_EQ(file.Load(document, loaded), S_OK);
    EXPECT_EQ(StageOf(loaded), "a");
    std::filesystem::remove(file.Path(document));
}

TEST_F(StateFileTest, DamagedFileIsRefusedAndDeleted)
{
    VekStateFile file(m_folder.wstring(), &m_sink);
    const json manifest = Document("a");
    json loaded;
    EXPECT_EQ(file.Load(manifest, loaded), vek::VEK_E_FILE_NOT_FOUND);

    struct Case {
        const char* name;
        std::string text;
        HRESULT hr;
    };
    json saved = Document("b");
    file.Save(saved);
    std::string wrongCrc = Bytes(file.Path(manifest));
    wrongCrc.replace(wrongCrc.find("\"b\""), 3, "\"c\"");
    const Case cases[] = {
        {"not JSON", "{\"vek\":", vek::VEK_E_JSON_NOT_PARSED},
        {"checksum of another text", wrongCrc, vek::VEK_E_STATE_CRC_MISMATCH},
        {"no checksum", "{\"vek\":{}}\n", vek::VEK_E_STATE_CRC_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(std::filesystem::path(file.Path(manifest)), std::ios::binary) << c.text;
        EXPECT_EQ(file.Load(manifest, loaded), c.hr);
        EXPECT_FALSE(std::filesystem::exists(file.Path(manifest)));
    }
}

TEST_F(StateFileTest, ReadOnlyFileIsReplaced)
{
    VekStateFile file(m_folder.wstring(), &m_sink);
    json old = Document("old");
    file.Save(old);
    const std::wstring path = file.Path(old);
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));

    json next = Document("new");
    file.Save(next);
    json loaded;
    ASSERT_EQ(file.Load(next, loaded), S_OK);
    EXPECT_EQ(StageOf(loaded), "new");
    EXPECT_TRUE(m_sink.errors.empty());
}

TEST_F(StateFileTest, FileHeldOpenStaysAndIsReportedOnce)
{
    VekStateFile file(m_folder.wstring(), &m_sink);
    json old = Document("old");
    file.Save(old);
    const std::wstring path = file.Path(old);
    const std::string before = Bytes(path);
    {
        // Another process's handle without delete sharing.
        qkHandle held(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.IsValid());
        json next = Document("new");
        file.Save(next);
    }
    EXPECT_EQ(Bytes(path), before);
    ASSERT_EQ(m_sink.errors.size(), 1u);
    EXPECT_TRUE(FAILED(m_sink.errors[0].code));
    EXPECT_TRUE(m_sink.errors[0].send);
    EXPECT_EQ(m_sink.errors[0].extra, L"vek::VekEngineBase::saveState(373)");
    EXPECT_FALSE(std::filesystem::exists(path + L".tmp"));
}

TEST_F(StateFileTest, SaveStoppedAtAnyStepLeavesOldOrNewState)
{
    using Step = VekStateFile::Step;
    const Step steps[] = {Step::Checksummed, Step::TempCreated, Step::Written,
                          Step::Flushed,     Step::Closed,      Step::BeforeMove};
    for (const Step stop : steps) {
        for (const bool hadOld : {true, false}) {
            SCOPED_TRACE(static_cast<int>(stop) * 2 + hadOld);
            VekStateFile file(m_folder.wstring(), &m_sink);
            json old = Document("old");
            const std::wstring path = file.Path(old);
            std::filesystem::remove(path);
            if (hadOld) {
                file.Save(old);
            }
            file.SetStepHook([stop](Step step) { return step != stop; });
            json next = Document("new");
            file.Save(next);

            // The next start reads what the stopped one left.
            VekStateFile restarted(m_folder.wstring(), &m_sink);
            json loaded;
            if (hadOld) {
                ASSERT_EQ(restarted.Load(old, loaded), S_OK);
                EXPECT_EQ(StageOf(loaded), "old");
            } else {
                EXPECT_EQ(restarted.Load(old, loaded), vek::VEK_E_FILE_NOT_FOUND);
            }
            // A later complete save succeeds over the leftovers.
            restarted.Save(next);
            ASSERT_EQ(restarted.Load(old, loaded), S_OK);
            EXPECT_EQ(StageOf(loaded), "new");
        }
    }
    EXPECT_TRUE(m_sink.errors.empty());
}

} // namespace
