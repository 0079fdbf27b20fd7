// The registry state per manifest and per job on the real registry (HKCU, under a base key of this
// test's own): one table of cases, each a fresh key tree, some operations, and the values left.
#include "engine/state/VekRegistryState.h"

#include "common/system/qkRegistry.h"
#include "engine/manifest/JobEngineException.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using json = nlohmann::json;
using vek::VekRegistryState;

namespace {

const wchar_t* const kTestRoot = L"Software\\VekRegistryStateTest";
const wchar_t* const kBase = L"Software\\VekRegistryStateTest\\Maker\\Vek";
const wchar_t* const kManifest = L"Software\\VekRegistryStateTest\\Maker\\Vek\\{REG-STATE}";
const wchar_t* const kJob1 = L"Software\\VekRegistryStateTest\\Maker\\Vek\\{REG-STATE}\\j1";
const wchar_t* const kJob2 = L"Software\\VekRegistryStateTest\\Maker\\Vek\\{REG-STATE}\\j2";
const wchar_t* const kRunValue = L"Vallor Download Manager{REG-STATE}";

class RecordingSink : public vek::IEngineErrorSink {
public:
    void logError(HRESULT code, bool, const std::wstring&) override { codes.push_back(code); }
    std::vector<HRESULT> codes;
};

std::optional<DWORD> Read(const wchar_t* path, const wchar_t* name)
{
    qkRegistry key;
    DWORD value = 0;
    if (key.Open(HKEY_CURRENT_USER, path, KEY_READ) && key.GetDWORDValue(name, value)) {
        return value;
    }
    return std::nullopt;
}

bool KeyExists(const wchar_t* path)
{
    qkRegistry key;
    return key.Open(HKEY_CURRENT_USER, path, KEY_READ) != FALSE;
}

void Write(const wchar_t* path, const wchar_t* name, DWORD value)
{
    qkRegistry key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, path, KEY_READ | KEY_WRITE));
    ASSERT_TRUE(key.SetDWORDValue(name, value));
}

bool RunValueExists()
{
    qkRegistry key;
    std::wstring text;
    return key.Open(HKEY_CURRENT_USER, VekRegistryState::kRunKey, KEY_READ) && key.QueryStringValue(kRunValue, text);
}

void SetRunValue()
{
    qkRegistry key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, VekRegistryState::kRunKey, KEY_READ | KEY_WRITE));
    ASSERT_TRUE(key.SetStringValue(kRunValue, L"launcher.exe /m"));
}

void RemoveAll()
{
    qkRegistry software;
    if (software.Open(HKEY_CURRENT_USER, L"Software", KEY_READ | KEY_WRITE)) {
        software.DeleteKeyTree(L"VekRegistryStateTest");
    }
    qkRegistry run;
    if (run.Open(HKEY_CURRENT_USER, VekRegistryState::kRunKey, KEY_READ | KEY_WRITE)) {
        run.DeleteValue(kRunValue);
    }
}

json Document()
{
    return json::parse(R"({"vek": {"global": {"manifest_id": "{REG-STATE}"},
        "job_array": [
          {"job_id": "j1", "download_duration": 42,
           "file_array": [{"source_file": "http://host/files/a.cab"}, {"source_file": "b.msi"}]},
          {"job_id": "j2"}]}})");
}

struct Context {
    json document = Document();
    RecordingSink sink;
    std::wstring commandLine = L"launcher.exe";
    VekRegistryState State() { return VekRegistryState(document, &sink, commandLine, kBase); }
    const json& Job(size_t i) const { return document.at("vek").at("job_array").at(i); }
};

struct Case {
    const char* name;
    std::function<void(Context&)> run;   // operations and their results
    std::function<void(Context&)> check; // the registry afterwards
};

class RegistryState : public ::testing::Test {
protected:
    void SetUp() override { RemoveAll(); }
    void TearDown() override { RemoveAll(); }
};

TEST_F(RegistryState, Cases)
{
    const Case cases[] = {
        {"a job that never started cannot finish",
         [](Context& c) {
             auto s = c.State();
             EXPECT_FALSE(s.startKeySet(c.Job(0)));
             EXPECT_FALSE(s.setFinishKey(c.Job(0)));
             EXPECT_FALSE(s.isJobFinished(c.Job(0)));
         },
         [](Context&) { EXPECT_FALSE(KeyExists(kJob1)); }},
        {"started then finished",
         [](Context& c) {
             auto s = c.State();
             EXPECT_TRUE(s.setStartKey(c.Job(0)));
             EXPECT_TRUE(s.startKeySet(c.Job(0)));
             EXPECT_FALSE(s.isJobFinished(c.Job(0)));
             EXPECT_TRUE(s.setFinishKey(c.Job(0)));
             EXPECT_TRUE(s.isJobFinished(c.Job(0)));
             EXPECT_FALSE(s.startKeySet(c.Job(1)));
         },
         [](Context&) {
             EXPECT_EQ(Read(kJob1, L"Started"), 1u);
             EXPECT_EQ(Read(kJob1, L"Finished"), 1u);
         }},
        {"Finished other than 1 is not finished; Started of any value counts",
         [](Context& c) {
             Write(kJob1, L"Finished", 2);
             Write(kJob1, L"Started", 7);
             auto s = c.State();
             EXPECT_FALSE(s.isJobFinished(c.Job(0)));
             EXPECT_TRUE(s.startKeySet(c.Job(0)));
         },
         [](Context&) {}},
        {"download complete is the value 0; 1 by hand is not complete; no job key writes nothing",
         [](Context& c) {
             auto s = c.State();
             EXPECT_TRUE(s.setDownloadFinishedStatus(c.Job(0))); // no key: nothing to do
             EXPECT_FALSE(KeyExists(kJob1));
             Write(kJob1, L"DownloadComplete", 1);
             EXPECT_FALSE(s.isDownloadComplete(c.Job(0)));
             EXPECT_TRUE(s.setDownloadFinishedStatus(c.Job(0)));
             EXPECT_TRUE(s.isDownloadComplete(c.Job(0)));
             Write(kJob2, L"DownloadComplete", 0);
             s.deleteDownloadCompleteKey();
             EXPECT_FALSE(s.isDownloadComplete(c.Job(0)));
         },
         [](Context&) {
             EXPECT_EQ(Read(kJob1, L"DownloadComplete"), std::nullopt);
             EXPECT_EQ(Read(kJob2, L"DownloadComplete"), std::nullopt);
         }},
        {"job failure count: 0 first, then +1",
         [](Context& c) {
             auto s = c.State();
             EXPECT_TRUE(s.updateJobFailureCount(c.Job(0)));
             EXPECT_EQ(Read(kJob1, L"FailureCount"), 0u);
             EXPECT_TRUE(s.updateJobFailureCount(c.Job(0)));
             EXPECT_TRUE(s.updateJobFailureCount(c.Job(0)));
         },
         [](Context&) { EXPECT_EQ(Read(kJob1, L"FailureCount"), 2u); }},
        {"download duration saved, restored into the node, deleted",
         [](Context& c) {
             auto s = c.State();
             s.SaveDownloadDuration(c.Job(1)); // no duration in the node: nothing written
             EXPECT_EQ(Read(kJob2, L"download_duration"), std::nullopt);
             s.SaveDownloadDuration(c.Job(0));
             EXPECT_EQ(Read(kJob1, L"download_duration"), 42u);
             c.document["vek"]["job_array"][0].erase("download_duration");
             const json job = c.Job(0);
             s.GetPreviousDownloadDuration(job);
             EXPECT_EQ(c.Job(0).value("download_duration", 0u), 42u);
             s.DeleteDownloadDurationKey(c.Job(0));
         },
         [](Context&) { EXPECT_EQ(Read(kJob1, L"download_duration"), std::nullopt); }},
        {"retry download: 1 without the manifest key, 0 without the value, set only in an existing key",
         [](Context& c) {
             auto s = c.State();
             EXPECT_EQ(s.getRetryDownload(), 1u);
             EXPECT_FALSE(s.setRetryDownload(1));
             EXPECT_FALSE(KeyExists(kManifest));
             Write(kManifest, L"Other", 0);
             EXPECT_EQ(s.getRetryDownload(), 0u);
             EXPECT_TRUE(s.setRetryDownload(1));
             EXPECT_EQ(s.getRetryDownload(), 1u);
             s.setRetryDownloadDone();
             EXPECT_EQ(s.getRetryDownload(), 2u);
         },
         [](Context&) { EXPECT_EQ(Read(kManifest, L"RetryDownload"), 2u); }},
        {"download accepted only for 1",
         [](Context& c) {
             auto s = c.State();
             EXPECT_FALSE(s.IsDownloadAccepted());
             Write(kManifest, L"DownloadAccepted", 2);
             EXPECT_FALSE(s.IsDownloadAccepted());
             Write(kManifest, L"DownloadAccepted", 1);
             EXPECT_TRUE(s.IsDownloadAccepted());
         },
         [](Context&) {}},
        {"reboot count: starts without the switch count nothing, the sixth with it exceeds",
         [](Context& c) {
             EXPECT_FALSE(c.State().exceededRebootCount());
             EXPECT_FALSE(KeyExists(kManifest));
             c.commandLine = L"launcher.exe /m";
             for (int start = 1; start <= 5; ++start) {
                 EXPECT_FALSE(c.State().exceededRebootCount()) << start;
             }
             EXPECT_TRUE(c.sink.codes.empty());
             EXPECT_TRUE(c.State().exceededRebootCount());
             EXPECT_EQ(c.sink.codes, std::vector<HRESULT>{vek::VEK_E_REBOOT_COUNT});
         },
         [](Context& c) {
             EXPECT_EQ(Read(kManifest, L"VDMCount"), 6u);
             c.State().resetRebootCount();
             EXPECT_EQ(Read(kManifest, L"VDMCount"), std::nullopt);
         }},
        {"clean-up after a finished engine removes everything up to the maker's key and the Run value",
         [](Context& c) {
             auto s = c.State();
             s.setStartKey(c.Job(0));
             s.setFinishKey(c.Job(0));
             s.updateJobFailureCount(c.Job(0));
             Write((std::wstring(kJob1) + L"\\file_array").c_str(), L"a.cab", 3);
             Write(kManifest, L"VDMCount", 2);
             Write(kManifest, L"FailureCount", 1);
             Write(kManifest, L"DownloadAccepted", 1);
             SetRunValue();
             s.deleteRegistryKeys(4);
         },
         [](Context&) {
             EXPECT_FALSE(KeyExists(L"Software\\VekRegistryStateTest\\Maker"));
             EXPECT_FALSE(RunValueExists());
         }},
        {"clean-up while the engine has not finished keeps failure counts and their job keys",
         [](Context& c) {
             auto s = c.State();
             s.setStartKey(c.Job(0));
             s.updateJobFailureCount(c.Job(0));
             s.setStartKey(c.Job(1));
             Write(kManifest, L"FailureCount", 1);
             SetRunValue();
             s.deleteRegistryKeys(2);
         },
         [](Context&) {
             EXPECT_EQ(Read(kJob1, L"FailureCount"), 0u);
             EXPECT_EQ(Read(kJob1, L"Started"), std::nullopt);
             EXPECT_FALSE(KeyExists(kJob2)); // emptied, so removed
             EXPECT_EQ(Read(kManifest, L"FailureCount"), 1u);
             EXPECT_FALSE(RunValueExists());
         }},
        {"clean-up after a 404 keeps DownloadAccepted and the Run value",
         [](Context& c) {
             c.document["vek"]["job_array"][0]["OtherErrors"] = 404;
             Write(kManifest, L"DownloadAccepted", 1);
             SetRunValue();
             c.State().deleteRegistryKeys(4);
         },
         [](Context&) {
             EXPECT_EQ(Read(kManifest, L"DownloadAccepted"), 1u);
             EXPECT_TRUE(RunValueExists());
         }},
        {"clean-up keeps the Run value when the manifest asks for none, or the download was refused",
         [](Context& c) {
             c.document["vek"]["bootstrap"]["options"]["shouldCreateRunKey"] = false;
             SetRunValue();
             c.State().deleteRegistryKeys(4);
             EXPECT_TRUE(RunValueExists());
             c.document["vek"].erase("bootstrap");
             Write(kManifest, L"DownloadAccepted", 0);
             c.State().deleteRegistryKeys(4);
             EXPECT_TRUE(RunValueExists());
             c.commandLine = L"launcher.exe /SHOWONECLICK";
             c.State().deleteRegistryKeys(4); // no stored answer: the switch decides
         },
         [](Context&) { EXPECT_TRUE(RunValueExists()); }},
        {"clean-up with the Run value already gone succeeds",
         [](Context& c) { EXPECT_NO_THROW(c.State().deleteRegistryKeys(4)); },
         [](Context&) { EXPECT_FALSE(KeyExists(kManifest)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveAll();
        Write(kTestRoot, L"Keep", 1); // the test's own root outlives every clean-up
        Context context;
        c.run(context);
        c.check(context);
    }
}

} // namespace
