// The reader/writer lock and read-locked calls running at once on one manager.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "settings/manager/CReaderWriterLock.h"
#include "settings/manager/qkSettingsModule.h"
#include "settings/store/qkSettingsResult.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using namespace settingstest;

namespace {

struct ManualEvent {
    ManualEvent() : handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ManualEvent() { ::CloseHandle(handle); }
    HANDLE handle;
};

} // namespace

// A reader held between leaving the lock's critical section and beginning its wait must still
// be woken when the writer leaves, even when another reader comes and goes in between.
TEST(ReaderWriterLock, ReaderHeldBeforeItsWaitIsStillWoken)
{
    CReaderWriterLock lock;
    ASSERT_TRUE(lock.Init());
    ManualEvent held, resume, done;
    std::atomic<bool> once{false};
    lock.SetReaderWaitHook([&] {
        if (!once.exchange(true)) {
            ::SetEvent(held.handle);
            ::WaitForSingleObject(resume.handle, INFINITE);
        }
    });
    lock.AcquireWrite();
    std::thread reader([&] {
        lock.AcquireRead();
        lock.ReleaseRead();
        ::SetEvent(done.handle);
    });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(held.handle, INFINITE));
    lock.ReleaseWrite();
    lock.AcquireRead(); // another reader comes and goes before the held one waits
    lock.ReleaseRead();
    ::SetEvent(resume.handle);
    // A bound on a wait that must end, not a measure of speed.
    DWORD woken = ::WaitForSingleObject(done.handle, 20000);
    EXPECT_EQ(WAIT_OBJECT_0, woken);
    if (woken != WAIT_OBJECT_0) {
        // Release the stranded reader so that the test ends.
        lock.AcquireWrite();
        lock.ReleaseWrite();
    }
    reader.join();
}

// Two threads read different sections of one manager at once; every value read is the one
// stored, through a node cache smaller than the sections read.
TEST(SettingsConcurrency, TwoThreadsReadOneManager)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    {
        TempDir dir;
        const std::wstring path = dir.Path(L"shared.dat");
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
        constexpr DWORD kSections = 32;
        ComPtr<ISettingsTransaction> tx;
        ASSERT_EQ(R(result::kOk), mgr->QueryInterface(IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf())));
        ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
        for (DWORD i = 0; i < kSections; ++i) {
            ComPtr<ISettings> s;
            std::wstring name = L"Group" + std::to_wstring(i % 4) + L"\\Section" + std::to_wstring(i);
            ASSERT_EQ(R(result::kOk), mgr->GetSettings(name.c_str(), &s));
            ASSERT_EQ(R(result::kOk), s->SetDword(L"Index", i));
            ASSERT_EQ(R(result::kOk), s->SetString(L"Name", name.c_str()));
            ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        }
        ASSERT_EQ(R(result::kOk), tx->CommitTransaction());

        std::atomic<int> wrong{0};
        auto reads = [&](DWORD seed) {
            for (DWORD k = 0; k < 10000; ++k) {
                DWORD i = (k * 7 + seed) % kSections;
                std::wstring name = L"Group" + std::to_wstring(i % 4) + L"\\Section" + std::to_wstring(i);
                ComPtr<ISettings> s;
                DWORD index = ~0u;
                wchar_t text[64] = {};
                DWORD size = 64;
                if (k % 16 == 0) {
                    ComPtr<IEnumSettings> names;
                    DWORD count = 0;
                    std::wstring group = L"Group" + std::to_wstring(i % 4);
                    if (mgr->EnumSettings(group.c_str(), &names) != R(result::kOk) ||
                        names->GetCount(&count) != R(result::kOk) || count != kSections / 4)
                        ++wrong;
                }
                if (mgr->OpenSettings(name.c_str(), &s) != R(result::kOk) ||
                    s->GetDword(L"Index", &index) != R(result::kOk) || index != i ||
                    s->GetString(L"Name", text, &size) != R(result::kOk) || name != text)
                    ++wrong;
            }
        };
        std::thread a(reads, 0), b(reads, 3);
        a.join();
        b.join();
        EXPECT_EQ(0, wrong.load());
    }
    ModuleRelease();
}
