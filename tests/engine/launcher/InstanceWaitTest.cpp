#include "engine/launcher/VekInstanceWait.h"

#include "LauncherTestSupport.h"
#include "support/UntrustedFolders.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using launchertest::BackgroundProgram;
using launchertest::ScratchFolder;

struct Report {
    HRESULT code;
    bool send;
    std::wstring extra;
};

// A manifest id of the test's own; its registry key is removed at the end.
class InstanceWaitTest : public ::testing::Test {
protected:
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, KeyPath().c_str()); }

    std::wstring KeyPath() const { return L"Software\\Vallor\\Vek\\" + m_id; }

    // FailureCount, or -1 when absent.
    int64_t FailureCount() const
    {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (::RegGetValueW(HKEY_CURRENT_USER, KeyPath().c_str(), L"FailureCount", RRF_RT_REG_DWORD, nullptr, &value,
                           &size) != ERROR_SUCCESS) {
            return -1;
        }
        return value;
    }

    // A wait over a second guard of this process, its pauses counted and its reports kept.
    HRESULT Wait(vek::VekSingleInstance& guard, bool longWait, HKEY root = HKEY_CURRENT_USER)
    {
        m_pauses = 0;
        m_reports.clear();
        vek::VekInstanceWait wait(guard, root, [this](HRESULT code, bool send, const std::wstring& extra) {
            m_reports.push_back({code, send, extra});
        });
        wait.SetDataFolder(m_dataFolder.empty() ? m_folder.Path().wstring() : m_dataFolder);
        wait.SetPause([this](DWORD milliseconds) {
            EXPECT_EQ(milliseconds, 1000u);
            ++m_pauses;
        });
        return wait.canRun(m_id.c_str(), longWait);
    }

    std::wstring ProbeArguments(const wchar_t* mode, const std::wstring& switches = L"") const
    {
        return std::wstring(mode) + L" \"" + m_folder.Path().wstring() + L"\" " + m_id + L" " + m_events + L" " +
               switches;
    }

    ScratchFolder m_folder{L"instance"};
    std::wstring m_dataFolder; // the scratch folder when empty
    std::wstring m_id = launchertest::UniqueName(L"{vek-test-") + L"}";
    std::wstring m_events = launchertest::UniqueName(L"vek_instance_test_");
    unsigned m_pauses = 0;
    std::vector<Report> m_reports;
};

TEST_F(InstanceWaitTest, GivesUpAfterTheWaitAndCountsFailures)
{
    vek::VekSingleInstance holder;
    ASSERT_TRUE(holder.CreateInFolder(m_folder.Path().c_str(), m_id.c_str(), qkSingleInstance::kGlobal));
    struct Case {
        bool longWait;
        unsigned pauses;
        int64_t failureCount;
    };
    for (const Case c : {Case{false, 11, 0}, Case{true, 61, 1}, Case{false, 11, 2}}) {
        vek::VekSingleInstance second;
        EXPECT_EQ(Wait(second, c.longWait), vek::VEK_E_ANOTHER_INSTANCE);
        EXPECT_EQ(m_pauses, c.pauses);
        EXPECT_EQ(FailureCount(), c.failureCount);
        ASSERT_EQ(m_reports.size(), 1u);
        EXPECT_EQ(m_reports[0].code, vek::VEK_E_ANOTHER_INSTANCE);
        EXPECT_TRUE(m_reports[0].send);
        EXPECT_EQ(m_reports[0].extra, L"0");
    }
    // Once the holder lets go the next wait takes the lock at once.
    holder.Release();
    vek::VekSingleInstance third;
    EXPECT_EQ(Wait(third, false), S_OK);
    EXPECT_EQ(m_pauses, 0u);
    EXPECT_TRUE(third.IsHeld());
}

TEST_F(InstanceWaitTest, UncountedFailureIsReportedToo)
{
    vek::VekSingleInstance holder;
    ASSERT_TRUE(holder.CreateInFolder(m_folder.Path().c_str(), m_id.c_str(), qkSingleInstance::kGlobal));
    vek::VekSingleInstance second;
    // A root that cannot be opened: the count is not recorded.
    EXPECT_EQ(Wait(second, false, reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7654))), vek::VEK_E_ANOTHER_INSTANCE);
    ASSERT_EQ(m_reports.size(), 2u);
    EXPECT_EQ(m_reports[0].code, vek::VEK_E_INSTANCE_WAIT);
    EXPECT_TRUE(m_reports[0].send);
    EXPECT_EQ(m_reports[1].code, vek::VEK_E_ANOTHER_INSTANCE);
}

TEST_F(InstanceWaitTest, LockFileNameAndBadNames)
{
    vek::VekSingleInstance guard;
    EXPECT_EQ(Wait(guard, false), S_OK);
    const auto lockFolder = m_folder.Path() / L"_lck";
    EXPECT_TRUE(std::filesystem::exists(lockFolder / (L"_" + m_id + L"G")));
    guard.Release();
    EXPECT_FALSE(std::filesystem::exists(lockFolder / (L"_" + m_id + L"G")));

    // A backslash becomes "_" in the file name.
    vek::VekSingleInstance nested;
    ASSERT_TRUE(nested.CreateInFolder(m_folder.Path().c_str(), L"a\\b", qkSingleInstance::kGlobal));
    EXPECT_TRUE(std::filesystem::exists(lockFolder / L"_a_bG"));
    nested.Release();

    // A name that can never be a lock ends the wait at once instead of waiting for nobody.
    vek::VekInstanceWait wait(guard, HKEY_CURRENT_USER, nullptr);
    wait.SetDataFolder(m_folder.Path().wstring());
    unsigned pauses = 0;
    wait.SetPause([&](DWORD) { ++pauses; });
    EXPECT_EQ(wait.canRun(L"bad\"name", false), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pauses, 0u);
    EXPECT_EQ(wait.canRun(nullptr, false), E_INVALIDARG);
    EXPECT_FALSE(wait.incrementFailureCount(nullptr));
}

// A data folder that is a link (another user could have made it so) holds no lock of ours: the
// wait ends at once with the refusal, and nothing is made there.
TEST_F(InstanceWaitTest, DataFolderBehindALinkHoldsNoLock)
{
    for (const untrusted::RefusedFolder& c : untrusted::kRefusedDataFolders) {
        if (c.refusal == E_ACCESSDENIED)
            continue; // another account's data folder holds the lock: see the test below
        SCOPED_TRACE(std::filesystem::path(c.folder).string());
        const std::filesystem::path content = untrusted::Path(c.contentFolder);
        m_dataFolder = untrusted::Path(c.folder);
        vek::VekSingleInstance guard;
        EXPECT_EQ(Wait(guard, false), c.refusal);
        EXPECT_FALSE(guard.IsHeld());
        EXPECT_EQ(m_pauses, 0u);
        EXPECT_TRUE(m_reports.empty());
        EXPECT_TRUE(std::filesystem::is_empty(content));
    }
}

// A lock folder that another user turned into a link to a folder of theirs, or a lock file that is
// a second name of a file of theirs: the run takes its lock, again and again, and what the link
// leads to is never deleted.
TEST_F(InstanceWaitTest, LinkedLockFolderOrFileDeletesNothingAndBlocksNothing)
{
    struct Case {
        const wchar_t* dataFolder;
        std::wstring id;
        std::filesystem::path target; // what must stay
    };
    Case cases[] = {
        {L"lock-linked", m_id, std::filesystem::path(untrusted::Path(L"lock-target")) / (L"_" + m_id + L"G")},
        {L"lock-file-linked", untrusted::kLockId, untrusted::Path(L"lock-victim.txt")},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.dataFolder).string());
        std::ofstream(c.target, std::ios::binary) << "scratch";
        m_dataFolder = untrusted::Path(c.dataFolder);
        std::swap(m_id, c.id); // the key TearDown removes is this id's
        for (int run = 0; run < 2; ++run) {
            vek::VekSingleInstance guard;
            EXPECT_EQ(Wait(guard, false), S_OK);
            EXPECT_TRUE(guard.IsHeld());
            vek::VekSingleInstance second;
            EXPECT_EQ(Wait(second, false), vek::VEK_E_ANOTHER_INSTANCE);
            guard.Release();
            std::ifstream in(c.target, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "scratch") << "run " << run;
        }
        TearDown();
        std::swap(m_id, c.id); // the key TearDown removes is this id's
    }
}

// With full rights, a data folder, lock folder or lock file of another account keeps no run from
// its lock: each entry is reached through handles and checked, and a refused lock file is made
// anew.
TEST_F(InstanceWaitTest, EntriesOfAnotherAccountDoNotBlockTheLock)
{
    struct Case {
        const wchar_t* dataFolder;
        const wchar_t* foreignEntry;
        std::wstring id;
    };
    Case cases[] = {
        {L"data-foreign", L"data-foreign", m_id},
        {L"lck-foreign", L"lck-foreign\\_lck", m_id},
        {L"lockfile-foreign", L"lockfile-foreign\\_lck\\_{5A1E-LOCK}G", untrusted::kLockId},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(std::filesystem::path(c.dataFolder).string());
        if (!untrusted::IsForeign(untrusted::Path(c.foreignEntry)))
            GTEST_SKIP() << untrusted::kNotGivenAway;
        m_dataFolder = untrusted::Path(c.dataFolder);
        std::swap(m_id, c.id); // the key TearDown removes is this id's
        const std::filesystem::path lockFile = m_dataFolder + L"\\_lck\\_" + m_id + L"G";
        vek::VekSingleInstance guard;
        EXPECT_EQ(Wait(guard, false), S_OK);
        EXPECT_TRUE(guard.IsHeld());
        EXPECT_FALSE(untrusted::IsForeign(lockFile.wstring()));
        vek::VekSingleInstance second;
        EXPECT_EQ(Wait(second, false), vek::VEK_E_ANOTHER_INSTANCE);
        guard.Release();
        EXPECT_FALSE(std::filesystem::exists(lockFile));
        TearDown();
        std::swap(m_id, c.id); // the key TearDown removes is this id's
    }
}

// A lock file of another account that its owner's run holds open is that run's lock: a run with
// full rights waits for it instead of locking elsewhere, and takes the lock once it is let go.
TEST_F(InstanceWaitTest, HeldLockFileOfAnotherAccountIsWaitedFor)
{
    const std::wstring planted = untrusted::Path(L"lockheld-foreign\\_lck\\_{5A1E-LOCK}G");
    if (!untrusted::IsForeign(planted))
        GTEST_SKIP() << untrusted::kNotGivenAway;
    m_dataFolder = untrusted::Path(L"lockheld-foreign");
    m_id = untrusted::kLockId;
    {
        qkHandle holder(::CreateFileW(planted.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.IsValid()) << ::GetLastError();
        vek::VekSingleInstance guard;
        EXPECT_EQ(Wait(guard, false), vek::VEK_E_ANOTHER_INSTANCE);
        EXPECT_FALSE(guard.IsHeld());
        EXPECT_EQ(m_pauses, 11u);
    }
    vek::VekSingleInstance guard;
    EXPECT_EQ(Wait(guard, false), S_OK);
    EXPECT_TRUE(guard.IsHeld());
}

TEST_F(InstanceWaitTest, SecondProcessWaitsThenGivesUp)
{
    BackgroundProgram holder(launchertest::ProgramPath(L"launcher_instance_probe.exe"), ProbeArguments(L"hold"));
    qkHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (m_events + L"_ready").c_str()));
    qkHandle release(::CreateEventW(nullptr, TRUE, FALSE, (m_events + L"_release").c_str()));
    ASSERT_EQ(::WaitForSingleObject(ready.Get(), 30000), WAIT_OBJECT_0);

    struct Case {
        const wchar_t* switches;
        const char* expected;
        int64_t failureCount;
    };
    const Case cases[] = {
        {L"", "hr=0x80047E28 pauses=11\n", 0},
        {L"/SILENT", "hr=0x80047E28 pauses=61\n", 1},
        {L"-r", "hr=0x80047E28 pauses=61\n", 2},
        {L"/UNATTENDED", "hr=0x80047E28 pauses=11\n", 3},
    };
    for (const Case& c : cases) {
        std::string output;
        ASSERT_EQ(launchertest::RunProgram(launchertest::ProgramPath(L"launcher_instance_probe.exe"),
                                           ProbeArguments(L"wait", c.switches), output),
                  0);
        EXPECT_EQ(output, std::string("report 0x80047E28 send=1 extra=0\n") + c.expected) << c.failureCount;
        EXPECT_EQ(FailureCount(), c.failureCount);
    }
    ::SetEvent(release.Get());
    std::string output;
    EXPECT_EQ(holder.Finish(output), 0);
}

// The holder ends normally, or is killed: either way its lock goes with it.
TEST_F(InstanceWaitTest, SecondProcessTakesOverWhenTheFirstExits)
{
    for (const bool killed : {false, true}) {
        m_events = launchertest::UniqueName(L"vek_instance_test_");
        BackgroundProgram holder(launchertest::ProgramPath(L"launcher_instance_probe.exe"), ProbeArguments(L"hold"));
        qkHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (m_events + L"_ready").c_str()));
        qkHandle release(::CreateEventW(nullptr, TRUE, FALSE, (m_events + L"_release").c_str()));
        qkHandle waiting(::CreateEventW(nullptr, TRUE, FALSE, (m_events + L"_waiting").c_str()));
        ASSERT_EQ(::WaitForSingleObject(ready.Get(), 30000), WAIT_OBJECT_0);

        BackgroundProgram waiter(launchertest::ProgramPath(L"launcher_instance_probe.exe"),
                                 ProbeArguments(L"wait", L"/SILENT"));
        // The waiter failed once and paused; now the holder ends.
        ASSERT_EQ(::WaitForSingleObject(waiting.Get(), 30000), WAIT_OBJECT_0);
        if (killed) {
            holder.Kill();
        } else {
            ::SetEvent(release.Get());
        }
        std::string holderOutput;
        EXPECT_EQ(holder.Finish(holderOutput), killed ? 9 : 0);

        std::string output;
        EXPECT_EQ(waiter.Finish(output), 0);
        ASSERT_EQ(output.rfind("hr=0x00000000 pauses=", 0), 0u) << output;
        const int pauses = std::stoi(output.substr(std::string("hr=0x00000000 pauses=").size()));
        EXPECT_GE(pauses, 1);
        EXPECT_LE(pauses, 61);
        EXPECT_EQ(FailureCount(), -1);
    }
}

} // namespace
