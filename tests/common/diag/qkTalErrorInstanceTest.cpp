// Error instances reported from this test program (its version resource names it one of the
// company's own modules): sampling and configuration, the instance file in its bucket read back
// through the store, properties, the bucket limit, the embedded dump and the callback program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <fstream>
#include <sstream>

#include <wrl/client.h>

#include "DiagTestSupport.h"
#include "common/base/qkWideFormat.h"
#include "StackWalkSupport.h"
#include "common/objects/qkQueryInterface.h"
#include "common/diag/qkTalErrorInstanceStore.h"
#include "common/errors/qkTalErrorInstance.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/system/CIsolation.h"
#include "common/system/qkHandle.h"
#include "support/CreateProcessRetrying.h"
#include "tests/common/errors/LogTestSupport.h"

using Microsoft::WRL::ComPtr;
namespace fs = std::filesystem;

namespace {

const HRESULT kNotReported = HRESULT_FROM_WIN32(1292);

using diagtest::Text;

std::vector<fs::path> InstanceFiles(const std::wstring& directory)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(directory, ignored))
        if (entry.path().extension() == L".dat")
            files.push_back(entry.path());
    return files;
}

// One call site, so one failure address and one bucket.
__attribute__((noinline)) HRESULT ReportFromOneSite(DWORD divisor)
{
    return qkTalErrorInstance().Report(L"sampled", 0, 0, 0, 0, false, false, divisor, nullptr);
}

// Reports with a dump from a frame of its own; site: where it returns to in its caller.
__attribute__((noinline)) HRESULT ReportWithDump(qkTalErrorInstance& instance, ULONG_PTR& site)
{
    site = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    volatile HRESULT hr = instance.Report(L"dump", 0, 0, 0, 0, false, true, 1, nullptr);
    return hr;
}

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

class ErrorInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logtest::RemoveFixtures();
        // Directory is expanded through the installation's path map, which must exist.
        m_map = std::make_unique<logtest::FixtureKey>(std::wstring(CIsolation::GetSiloRegistryPath()) +
                                                      L"\\Keel Core\\PathExpansionMap");
        m_key = std::make_unique<logtest::FixtureKey>(logtest::DebugKeyPath() + L"\\ErrorClient");
        m_key->String(L"Directory", m_root.Path());
        m_key->String(L"ProductName", L"Vek Test");
        m_key->String(L"ProductVersion", L"9.8");
        m_key->Dword(L"MaxDumpsPerBucket", 100);
        SetEnvironmentVariableW(L"VEK_DIAG_RECORD", m_root.Path(L"callbacks.txt").c_str());
    }
    void TearDown() override
    {
        m_key.reset();
        m_map.reset();
        logtest::RemoveFixtures();
        SetEnvironmentVariableW(L"VEK_DIAG_RECORD", nullptr);
    }
    void UseRecorder()
    {
        m_key->Dword(L"CallbackOnLogicalFailure", 1);
        m_key->String(L"LogicalFailureCallback", diagtest::ProgramFolder() + L"\\diag_recorder.exe");
    }
    std::vector<std::wstring> Callbacks()
    {
        std::vector<BYTE> bytes = diagtest::ReadAll(m_root.Path(L"callbacks.txt"));
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        std::vector<std::wstring> lines;
        std::wstringstream in(text);
        for (std::wstring line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    diagtest::TempFolder m_root{L"errinst"};
    std::unique_ptr<logtest::FixtureKey> m_map;
    std::unique_ptr<logtest::FixtureKey> m_key;
};

TEST_F(ErrorInstanceTest, ConfigurationDecidesWhetherToReport)
{
    qkTalErrorInstance instance;
    EXPECT_EQ(E_INVALIDARG, instance.Report(L"id", 0, 0, 0, 0, false, false, 0, nullptr)) << "divisor 0";
    EXPECT_EQ(E_UNEXPECTED, instance.SetProperty(L"key", L"value")) << "no instance file yet";
    EXPECT_EQ(E_UNEXPECTED, instance.AddCertAnalysis(nullptr));

    m_key->Dword(L"LogLogicalFailures", 0);
    EXPECT_EQ(kNotReported, qkTalErrorInstance().Report(L"id", 0, 0, 0, 0, false, false, 1, nullptr));
    m_key->Dword(L"LogLogicalFailures", 1);
    m_key->String(L"Directory", L"");
    EXPECT_EQ(E_INVALIDARG, qkTalErrorInstance().Report(L"id", 0, 0, 0, 0, false, false, 1, nullptr));
    m_key.reset();
    logtest::RemoveFixtures();
    EXPECT_EQ(kNotReported, qkTalErrorInstance().Report(L"id", 0, 0, 0, 0, false, false, 1, nullptr))
        << "no ErrorClient key: dormant";
    EXPECT_TRUE(InstanceFiles(m_root.Path()).empty());
}

TEST_F(ErrorInstanceTest, WritesTheInstanceIntoItsBucketAndRunsTheCallback)
{
    UseRecorder();
    std::wstring file;
    {
        qkTalErrorInstance instance;
        ASSERT_EQ(S_OK, instance.Report(nullptr, 0, 7, 0x80004005, 1, false, true, 1, L"extra"));
        EXPECT_EQ(S_OK, instance.SetProperty(L"key", L"value one"));
        EXPECT_EQ(S_OK, instance.SetProperty(L"Host IP", L"127.0.0.1"));
        ComPtr<qkTalMemoryStreamImpl> analysis;
        qkAdopt(analysis, qkTalMemoryStreamImpl::Create());
        analysis->Write("certs", 5);
        EXPECT_EQ(S_OK, instance.AddCertAnalysis(analysis.Get()));
        const auto files = InstanceFiles(m_root.Path());
        ASSERT_EQ(1u, files.size());
        file = files[0].wstring();
        EXPECT_TRUE(Callbacks().empty()) << "the callback runs when the instance is finished";
    }
    const auto lines = Callbacks();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"\" /file \"" + file + L"\"")) << lines[0];
    EXPECT_EQ(std::wstring::npos, lines[0].find(L"/tempfile"));

    qkTalErrorInstanceStore store;
    qkTalErrorInstanceStore::OpenParams params;
    params.path = file.c_str();
    params.access = GENERIC_READ;
    params.options = qkTalErrorInstanceStore::OptionAttachmentIndex;
    ASSERT_EQ(S_OK, store.Open(params));
    ComPtr<IKeyValueCollection> main;
    ASSERT_EQ(S_OK, store.LoadMainRecord(&main));

    GUID id{};
    ULONG bucket = 0, divisor = 0, number = 0;
    ASSERT_TRUE(main->GetGuid(2, &id));
    ASSERT_TRUE(main->GetUInt32(3, &bucket));
    wchar_t expected[80];
    qkLib::FormatWide(expected, 80, L"%08X\\%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X.dat", bucket, id.Data1,
                      id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5],
                      id.Data4[6], id.Data4[7]);
    EXPECT_EQ(m_root.Path(expected), file);
    EXPECT_EQ(L"common_diag_tests", Text(main.Get(), 11));
    EXPECT_EQ(L"common_diag_tests", Text(main.Get(), 16)) << "no id text: the failing module's name";
    EXPECT_EQ(L"4.3.2.1", Text(main.Get(), 12));
    EXPECT_EQ(L"common_diag_tests", Text(main.Get(), 8));
    EXPECT_EQ(L"Vek Test", Text(main.Get(), 4));
    EXPECT_EQ(L"9.8", Text(main.Get(), 5));
    EXPECT_EQ(L"extra", Text(main.Get(), 32));
    EXPECT_TRUE(main->GetUInt32(31, &divisor) && divisor == 1);
    EXPECT_TRUE(main->GetUInt32(18, &number) && number == 0x80004005);
    bool own = false;
    EXPECT_TRUE(main->GetBool(25, &own) && own);
    ULONGLONG offset = 0;
    EXPECT_TRUE(main->GetUInt64(14, &offset) && offset > 0);
    for (ULONG key : {0u, 1u, 6u, 7u, 10u, 13u, 15u, 26u, 27u, 33u})
        EXPECT_TRUE(main->Exists(key)) << key;

    ComPtr<IIndexValueCollection> list;
    ASSERT_EQ(S_OK, store.LoadPropertyList(&list));
    ASSERT_EQ(2u, list->GetCount());
    ComPtr<IUnknown> entryObject;
    ComPtr<IKeyValueCollection> entry;
    ASSERT_TRUE(list->GetObject(1, &entryObject));
    ASSERT_TRUE(SUCCEEDED(qkQueryInterface(entryObject.Get(), CLSID_qkTalKeyValueCollection, entry)));
    EXPECT_EQ(L"Host IP", Text(entry.Get(), 0));
    EXPECT_EQ(L"127.0.0.1", Text(entry.Get(), 1));
    ASSERT_EQ(1u, store.GetAttachments().size());
    EXPECT_EQ(L"Cert Analysis", store.GetAttachments()[0].name);
}

TEST_F(ErrorInstanceTest, ASecondReportFinishesTheFirstInstance)
{
    UseRecorder();
    {
        qkTalErrorInstance instance;
        ASSERT_EQ(S_OK, instance.Report(L"first", 0, 0, 0, 0, false, false, 1, nullptr));
        EXPECT_TRUE(Callbacks().empty());
        ASSERT_EQ(S_OK, instance.Report(L"second", 0, 0, 0, 0, false, false, 1, nullptr));
        EXPECT_EQ(1u, Callbacks().size()) << "the first instance's callback ran when the second began";
    }
    EXPECT_EQ(2u, Callbacks().size());
    EXPECT_EQ(2u, InstanceFiles(m_root.Path()).size());
}

TEST_F(ErrorInstanceTest, SamplingDivisorsAndTheBucketLimit)
{
    auto report = ReportFromOneSite;
    int written = 0, skipped = 0;
    for (int i = 0; i < 24; ++i) {
        const HRESULT hr = report(2);
        ASSERT_TRUE(hr == S_OK || hr == kNotReported) << std::hex << hr;
        (hr == S_OK ? written : skipped)++;
    }
    EXPECT_GT(written, 0);
    EXPECT_GT(skipped, 0);
    EXPECT_EQ(static_cast<size_t>(written), InstanceFiles(m_root.Path()).size());

    // The limit counts "*.dat" files only.
    m_key->Dword(L"MaxDumpsPerBucket", static_cast<DWORD>(written + 1));
    const fs::path bucket = InstanceFiles(m_root.Path())[0].parent_path();
    std::ofstream(bucket / L"notes.txt") << "not an instance";
    EXPECT_EQ(S_OK, report(1));
    EXPECT_EQ(S_FALSE, report(1)) << "bucket full";
    EXPECT_EQ(static_cast<size_t>(written + 1), InstanceFiles(m_root.Path()).size());
}

TEST_F(ErrorInstanceTest, EmbedsAMinidumpWhenAsked)
{
    m_key->Dword(L"DumpOnLogicalFailure", 1);
    m_key->Dword(L"DumpType", 0);
    std::wstring file;
    ULONG_PTR site = 0;
    {
        qkTalErrorInstance instance;
        ASSERT_EQ(S_OK, ReportWithDump(instance, site));
        file = InstanceFiles(m_root.Path()).at(0).wstring();
        EXPECT_FALSE(fs::exists(file + L".tmp")) << "the temporary dump is removed";
    }
    qkTalErrorInstanceStore store;
    qkTalErrorInstanceStore::OpenParams params;
    params.path = file.c_str();
    params.access = GENERIC_READ;
    params.options = qkTalErrorInstanceStore::OptionAttachmentIndex;
    ASSERT_EQ(S_OK, store.Open(params));
    ASSERT_EQ(1u, store.GetAttachments().size());
    const auto& dump = store.GetAttachments()[0];
    EXPECT_EQ(L"Dump", dump.name);
    EXPECT_EQ(file + L".tmp", dump.type);
    std::vector<BYTE> payload;
    ASSERT_EQ(S_OK, store.ReadAttachment(dump, payload));
    ASSERT_GT(payload.size(), 4u);
    EXPECT_EQ(0, memcmp(payload.data(), "MDMP", 4));

    // The dump's thread context is the reporting code's: its stack walks back through
    // ReportWithDump to this test, at the call.
    const diagtest::DumpWalk walk = diagtest::WalkDump(payload, ProgramPath());
    ASSERT_TRUE(walk.ok) << walk.error;
    const ULONGLONG siteOffset = site - reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr));
    EXPECT_NE(walk.offsets.end(), std::find(walk.offsets.begin(), walk.offsets.end(), siteOffset))
        << "frames found: " << walk.offsets.size();
}

// A program that is not ours writes into the temporary folder; the callback is told so and takes
// the file; without a callback the file goes; a callback that outlives its time keeps it.
TEST_F(ErrorInstanceTest, AForeignProgramReportsIntoTheTemporaryFolder)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    auto tempInstances = [&] {
        std::set<std::wstring> names;
        for (const auto& entry : fs::directory_iterator(temp))
            if (entry.path().extension() == L".dat")
                names.insert(entry.path().wstring());
        return names;
    };
    auto runReporter = [&](DWORD timeout) {
        std::wstring command = L"\"" + diagtest::ProgramFolder() + L"\\diag_reporter.exe\" \"" +
                               logtest::SiloEnvironment::Root() + L"\" " + CIsolation::GetSiloID() + L" " +
                               std::to_wstring(timeout);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        if (!vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, DETACHED_PROCESS, nullptr, &startup,
                                              &started))
            return DWORD(0xDEAD);
        qkHandle process(started.hProcess), thread(started.hThread);
        WaitForSingleObject(process.Get(), 60000);
        DWORD code = 0;
        GetExitCodeProcess(process.Get(), &code);
        return code;
    };
    struct Case {
        const char* what;
        bool callback;
        const wchar_t* sleep;
        DWORD timeout;
        bool kept;
    } cases[] = {
        {"callback takes the file", true, nullptr, 60000, true},
        {"no callback: the file goes", false, nullptr, 60000, false},
        {"callback out of time: the file stays", true, L"1500", 200, true},
    };
    for (const Case& c : cases) {
        m_key->Dword(L"CallbackOnLogicalFailure", c.callback ? 1 : 0);
        m_key->String(L"LogicalFailureCallback", diagtest::ProgramFolder() + L"\\diag_recorder.exe");
        SetEnvironmentVariableW(L"VEK_DIAG_SLEEP", c.sleep);
        const auto before = tempInstances();
        EXPECT_EQ(0u, runReporter(c.timeout)) << c.what;
        SetEnvironmentVariableW(L"VEK_DIAG_SLEEP", nullptr);
        std::vector<std::wstring> added;
        for (const auto& name : tempInstances())
            if (!before.count(name))
                added.push_back(name);
        EXPECT_EQ(c.kept ? 1u : 0u, added.size()) << c.what;
        for (const auto& name : added)
            DeleteFileW(name.c_str());
        EXPECT_TRUE(InstanceFiles(m_root.Path()).empty()) << c.what;
    }
    // The late callback still runs; its line comes when it ends.
    for (int i = 0; i < 200 && Callbacks().size() < 2; ++i)
        Sleep(50);
    const auto lines = Callbacks();
    ASSERT_EQ(2u, lines.size());
    for (const auto& line : lines)
        EXPECT_NE(std::wstring::npos, line.find(L".dat\" /tempfile")) << line;
}

TEST_F(ErrorInstanceTest, AFailureAddressOutsideAnyModuleIsRefused)
{
    std::vector<BYTE> heap(64);
    EXPECT_EQ(E_INVALIDARG, qkTalErrorInstance().Report(L"heap", reinterpret_cast<ULONG_PTR>(heap.data()), 0, 0, 0,
                                                        false, false, 1, nullptr));
    EXPECT_TRUE(InstanceFiles(m_root.Path()).empty());
}

} // namespace
