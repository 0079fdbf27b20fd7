#include "engine/mid/QuvAdapterSource.h"
#include "engine/mid/QuvGlobal.h"
#include "engine/mid/QuvIniDocument.h"
#include "engine/mid/QuvMaster.h"
#include "engine/mid/QuvMidCodes.h"
#include "engine/mid/zubLifecycle.h"

#include "common/system/CIsolation.h"
#include "common/system/qkRegistry.h"

#include <objbase.h>

#include "MidTestSupport.h"
#include "support/UntrustedFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

using midtest::ReadBytes;
using midtest::TempFolder;
using midtest::WriteBytes;

namespace {

// The silo of this test process (a child started by a test takes its parent's), so that the
// registry copy lies under a key of its own; removed at the end.
class SiloEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        wchar_t silo[64] = {};
        if (!::GetEnvironmentVariableW(L"VEK_MID_TEST_SILO", silo, 64)) {
            GUID guid;
            ::CoCreateGuid(&guid);
            ::StringFromGUID2(guid, silo, 64);
            m_owner = true;
        }
        ASSERT_TRUE(CIsolation::SetSiloID(silo));
    }
    void TearDown() override
    {
        if (m_owner)
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                             (std::wstring(L"SOFTWARE\\Vallor\\") + CIsolation::GetSiloID()).c_str());
    }

private:
    bool m_owner = false;
};

const auto* const g_silo = ::testing::AddGlobalTestEnvironment(new SiloEnvironment);

const std::wregex kIdentifier(L"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

class MidStamp : public ::testing::Test {
protected:
    std::wstring StampPath() const
    {
        return m_folder.Path() + L"\\Vallor\\{086A63F0-6B13-4F29-9695-134E7A01E963}\\LC.INI";
    }
    void WriteStamp(const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(StampPath()).parent_path());
        WriteBytes(StampPath(), text);
    }
    std::wstring Value(const wchar_t* section, const wchar_t* key)
    {
        QuvIniDocument doc;
        EXPECT_EQ(S_OK, doc.Load(StampPath().c_str()));
        std::wstring value;
        bool found = false;
        doc.GetValue(section, key, value, found);
        return found ? value : L"<absent>";
    }
    HRESULT Run(const std::wstring& adapters, std::wstring& id, const std::wstring& folder = {})
    {
        QuvAdapterSource source([adapters](std::wstring& out) {
            out = adapters;
            return S_OK;
        });
        QuvMaster::Options options;
        options.folderOverride = folder.empty() ? m_folder.Path() : folder;
        bool has = false;
        const HRESULT hr = QuvMaster::GetMachineId(source, id, has, options);
        EXPECT_EQ(hr == S_OK, has);
        return hr;
    }

    TempFolder m_folder;
};

constexpr char kOldId[] = "11111111-2222-3333-4444-555555555555";

} // namespace

// A first run writes the six lines, ANSI with CR LF and no final line ending, and the registry
// copy; the next run answers the same identifier and changes nothing.
TEST_F(MidStamp, FirstRunWritesStampFileAndRegistryCopy)
{
    std::wstring id;
    ASSERT_EQ(S_OK, Run(L"001122334455|005056C00008", id));
    ASSERT_TRUE(std::regex_match(id, kIdentifier)) << id;
    const std::string narrow(id.begin(), id.end());
    EXPECT_EQ("[MID]\r\nValue=" + narrow +
                  "\r\nXRef=Adapters|MID\r\n[Stamp_Adapters]\r\n"
                  "Value=001122334455|005056C00008\r\nXRef=" +
                  narrow,
              ReadBytes(StampPath()));

    std::wstring registry;
    ASSERT_EQ(S_OK, QuvMaster::ReadRegistryMid(registry));
    EXPECT_EQ(id, registry);

    const std::string before = ReadBytes(StampPath());
    std::wstring again;
    ASSERT_EQ(S_OK, Run(L"001122334455|005056C00008", again));
    EXPECT_EQ(id, again);
    EXPECT_EQ(before, ReadBytes(StampPath()));

    // A registry copy that went missing is written again.
    std::wstring key;
    ASSERT_EQ(S_OK, QuvMaster::RegistryKeyPath(key));
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()));
    ASSERT_EQ(S_OK, Run(L"001122334455|005056C00008", again));
    ASSERT_EQ(S_OK, QuvMaster::ReadRegistryMid(registry));
    EXPECT_EQ(id, registry);
}

// What the stored data says decides whether the identifier stays, and what the stamp becomes.
TEST_F(MidStamp, StoredDataDecidesIdentifierAndStamp)
{
    const std::string longHistory(2100, 'h');
    const std::string goodMid = std::string("[MID]\r\nValue=") + kOldId + "\r\nXRef=Adapters|MID\r\n";
    const struct {
        const char* name;
        std::string file;
        const wchar_t* adapters;
        bool sameId;
        std::wstring history; // expected MID/XRef with "<old>" for the previous identifier text
        const wchar_t* stamp;
    } cases[] = {
        {"no adapters at first run", goodMid + "[Stamp_Adapters]\r\nValue=N/A\r\nXRef=" + kOldId, L"001122334455", true,
         L"Adapters|MID", L"001122334455"},
        {"one more card", goodMid + "[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=" + kOldId,
         L"001122334455|00AA00AA00AA", true, L"Adapters|MID", L"001122334455|00AA00AA00AA"},
        {"all adapters replaced", goodMid + "[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=" + kOldId, L"00AA00AA00AA",
         true, L"Adapters|MID", L"00AA00AA00AA"},
        {"host-only adapters", goodMid + "[Stamp_Adapters]\r\nValue=005056C00001\r\nXRef=" + kOldId, L"005056C00002",
         true, L"Adapters|MID", L"005056C00001|005056C00002"},
        {"no adapters now", goodMid + "[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=" + kOldId, L"", true,
         L"Adapters|MID", L"001122334455"},
        {"stamp reference in other case",
         goodMid + "[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=11111111-2222-3333-4444-555555555555",
         L"001122334455", true, L"Adapters|MID", L"001122334455"},
        {"stamp of another identifier", goodMid + "[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=OTHER",
         L"00AA00AA00AA", true, L"Adapters|MID", L"00AA00AA00AA"},
        {"bad identifier",
         "[MID]\r\nValue=not-a-guid\r\nXRef=Adapters|MID\r\n[Stamp_Adapters]\r\n"
         "Value=001122334455\r\nXRef=not-a-guid",
         L"001122334455", false, L"Adapters|MID|not-a-guid|Adapters|BadMID", L"001122334455"},
        {"identifier missing", "[MID]\r\nXRef=Adapters|MID\r\n", L"001122334455", false, L"Adapters|MID|Adapters|MIDV",
         L"001122334455"},
        {"history missing", std::string("[MID]\r\nValue=") + kOldId + "\r\n", L"001122334455", false,
         std::wstring(kOldId, kOldId + 36) + L"|Adapters|MIDX", L"001122334455"},
        {"stamp value missing", goodMid + "[Stamp_Adapters]\r\nXRef=" + kOldId, L"001122334455", false,
         std::wstring(L"Adapters|MID|") + std::wstring(kOldId, kOldId + 36) + L"|Adapters|StampV", L"001122334455"},
        {"stamp reference missing", goodMid + "[Stamp_Adapters]\r\nValue=001122334455", L"001122334455", false,
         std::wstring(L"Adapters|MID|") + std::wstring(kOldId, kOldId + 36) + L"|Adapters|StampX", L"001122334455"},
        {"history over 2048 characters",
         std::string("[MID]\r\nValue=not-a-guid\r\nXRef=x") + longHistory +
             "\r\n[Stamp_Adapters]\r\nValue=001122334455\r\nXRef=not-a-guid",
         L"001122334455", false, L"~" + std::wstring(2048, L'h') + L"|not-a-guid|Adapters|BadMID", L"001122334455"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteStamp(c.file + "\r\n[System]\r\nValue=sys\r\nXRef=keep\r\n[Other]\r\nmine=1");
        std::wstring id;
        ASSERT_EQ(S_OK, Run(c.adapters, id));
        ASSERT_TRUE(std::regex_match(id, kIdentifier)) << id;
        EXPECT_EQ(c.sameId, id == std::wstring(kOldId, kOldId + 36));
        EXPECT_EQ(id, Value(L"MID", L"Value"));
        EXPECT_EQ(c.history, Value(L"MID", L"XRef"));
        EXPECT_EQ(c.stamp, Value(L"Stamp_Adapters", L"Value"));
        EXPECT_EQ(id, Value(L"Stamp_Adapters", L"XRef"));
        // Sections of others stay as they were.
        EXPECT_EQ(L"sys", Value(L"System", L"Value"));
        EXPECT_EQ(L"1", Value(L"Other", L"mine"));
    }
}

TEST_F(MidStamp, HistoryIsCutByCharacters)
{
    EXPECT_EQ(L"Adapters|MID", QuvMaster::BuildHistory(L"", L"", L"Adapters", L"MID"));
    EXPECT_EQ(L"H|old|Adapters|BadMID", QuvMaster::BuildHistory(L"H", L"old", L"Adapters", L"BadMID"));
    EXPECT_EQ(std::wstring(2048, L'a') + L"|Adapters|MIDX",
              QuvMaster::BuildHistory(std::wstring(2048, L'a'), L"", L"Adapters", L"MIDX"));
    EXPECT_EQ(L"~" + std::wstring(2048, L'b') + L"|Adapters|MIDX",
              QuvMaster::BuildHistory(L"aa" + std::wstring(2048, L'b'), L"", L"Adapters", L"MIDX"));
}

TEST_F(MidStamp, FirstRunSetupInProgressGivesNoIdentifier)
{
    struct Running : QuvOobeStrategy {
        bool IsInProgress() override { return true; }
        void Wait(HANDLE, HANDLE) override {}
        bool InitializeStrategy() override { return true; }
    };
    QuvAdapterSource source([](std::wstring& out) {
        out = L"001122334455";
        return S_OK;
    });
    QuvMaster::Options options;
    options.folderOverride = m_folder.Path();
    options.oobeStrategy = [] { return std::make_unique<Running>(); };
    std::wstring id;
    bool has = true;
    EXPECT_EQ(QUV_S_OOBE_IN_PROGRESS, QuvMaster::GetMachineId(source, id, has, options));
    EXPECT_FALSE(has);
    EXPECT_FALSE(std::filesystem::exists(StampPath()));
}

TEST_F(MidStamp, RefusesStampPathThatIsAFolderOrALink)
{
    std::filesystem::create_directories(StampPath());
    std::wstring id;
    EXPECT_TRUE(FAILED(Run(L"001122334455", id)));
    EXPECT_TRUE(id.empty());
}

// Run by the test below in a second process.
TEST(QuvRunMid, ChildWritesIdentifier)
{
    wchar_t out[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"VEK_MID_CHILD_OUT", out, MAX_PATH))
        GTEST_SKIP() << "only as the second process of StableAcrossProcesses";
    wchar_t* id = nullptr;
    ASSERT_EQ(S_OK, zubLifecycle::RunMID(&id));
    ASSERT_NE(nullptr, id);
    const std::wstring text = id;
    free(id);
    WriteBytes(out, std::string(text.begin(), text.end()));
}

// The real stamp file: two processes get one identifier, and it is in the registry copy.
TEST(QuvRunMid, StableAcrossProcesses)
{
    wchar_t* first = nullptr;
    ASSERT_EQ(S_OK, zubLifecycle::RunMID(&first));
    ASSERT_NE(nullptr, first);
    const std::wstring id = first;
    free(first);
    ASSERT_TRUE(std::regex_match(id, kIdentifier)) << id;

    TempFolder folder;
    const std::wstring out = folder.File(L"child.txt");
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --gtest_filter=QuvRunMid.ChildWritesIdentifier";
    ::SetEnvironmentVariableW(L"VEK_MID_CHILD_OUT", out.c_str());
    ::SetEnvironmentVariableW(L"VEK_MID_TEST_SILO", CIsolation::GetSiloID());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started =
        ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    ::SetEnvironmentVariableW(L"VEK_MID_CHILD_OUT", nullptr);
    ::SetEnvironmentVariableW(L"VEK_MID_TEST_SILO", nullptr);
    ASSERT_TRUE(started) << ::GetLastError();
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(std::string(id.begin(), id.end()), ReadBytes(out));

    std::wstring registry;
    ASSERT_EQ(S_OK, QuvMaster::ReadRegistryMid(registry));
    EXPECT_EQ(id, registry);
}

// A planted link in place of the stamp folder is refused, not followed.
TEST_F(MidStamp, RefusesLinkedStampFolder)
{
    TempFolder elsewhere;
    const std::wstring vendor = m_folder.Path() + L"\\Vallor";
    if (!::CreateSymbolicLinkW(vendor.c_str(), elsewhere.Path().c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        GTEST_SKIP() << "no symbolic links here, error " << ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(vendor.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::RemoveDirectoryW(vendor.c_str());
        ::DeleteFileW(vendor.c_str());
        GTEST_SKIP() << "links made here are not reparse points";
    }
    std::wstring id;
    EXPECT_EQ(HRESULT_FROM_WIN32(4395), Run(L"001122334455", id)); // ERROR_REPARSE_POINT_ENCOUNTERED
    EXPECT_TRUE(id.empty());
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
    ::RemoveDirectoryW(vendor.c_str());
}

// A vendor folder, or the identifier's folder in it, that is a link or belongs to another account
// (another user could have made it so) is refused: no identifier comes from it and nothing is
// written into it.
TEST_F(MidStamp, RefusesVendorFolderBehindALinkOrOfAnotherAccount)
{
    const struct {
        const wchar_t* folder;        // whose "Vallor" is the vendor folder
        const wchar_t* contentFolder; // where the vendor folder's entries really lie
        HRESULT refusal;
    } cases[] = {
        {L"vendor-linked", L"target", HRESULT_FROM_WIN32(4395)}, // ERROR_REPARSE_POINT_ENCOUNTERED
        {L"vendor-foreign", L"vendor-foreign\\Vallor", E_ACCESSDENIED},
        {L"stamp-foreign", L"stamp-foreign\\Vallor\\{086A63F0-6B13-4F29-9695-134E7A01E963}", E_ACCESSDENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.folder).string());
        const std::wstring content = untrusted::Path(c.contentFolder);
        if (c.refusal == E_ACCESSDENIED && !untrusted::IsForeign(content))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        std::wstring id;
        EXPECT_EQ(c.refusal, Run(L"001122334455", id, untrusted::Path(c.folder)));
        EXPECT_TRUE(id.empty());
        EXPECT_TRUE(std::filesystem::is_empty(content));
    }
}
