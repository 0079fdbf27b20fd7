// The machine identifier is worked out once per process, whichever reporter asks first; an
// answer without an identifier is not kept.
#include "engine/mid/QuvMidCodes.h"
#include "engine/mid/zubLifecycle.h"
#include "engine/report/VekDataReporter.h"
#include "engine/report/VekMachineIdCache.h"
#include "engine/report/VekStatusReporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kId[] = L"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";

// The process's cache over a counting source for the length of a test.
class CountingProcessSource {
public:
    CountingProcessSource()
    {
        vek::VekMachineIdCache::Process().Reset([this](std::wstring& id) {
            ++calls;
            id = kId;
            return S_OK;
        });
    }
    ~CountingProcessSource()
    {
        vek::VekMachineIdCache::Process().Reset([](std::wstring& id) { return zubLifecycle::RunMID(id); });
    }
    std::atomic<int> calls{0};
};

TEST(VekMachineIdCache, KeepsOnlyAnIdentifier)
{
    const struct {
        const char* name;
        HRESULT result;
        const wchar_t* id;
        int callsForTwoAsks;
    } cases[] = {
        {"identifier", S_OK, kId, 1},
        {"first-run setup still running", QUV_S_OOBE_IN_PROGRESS, L"", 2},
        {"failure", E_ACCESSDENIED, L"", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        vek::VekMachineIdCache cache([&](std::wstring& id) {
            ++calls;
            id = c.id;
            return c.result;
        });
        for (int ask = 0; ask < 2; ++ask) {
            std::wstring id = L"stale";
            EXPECT_EQ(cache.Get(id), c.result);
            EXPECT_EQ(id, c.id);
        }
        EXPECT_EQ(calls, c.callsForTwoAsks);
    }
}

TEST(VekMachineIdCache, ThreadsAskingAtOnceRunTheSourceOnce)
{
    std::atomic<int> calls{0};
    vek::VekMachineIdCache cache([&](std::wstring& id) {
        ++calls;
        ::Sleep(50);
        id = kId;
        return S_OK;
    });
    std::vector<std::wstring> ids(6);
    std::vector<std::thread> threads;
    for (std::wstring& id : ids)
        threads.emplace_back([&cache, &id] { cache.Get(id); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(calls.load(), 1);
    for (const std::wstring& id : ids)
        EXPECT_EQ(id, kId);
}

TEST(VekMachineIdCache, EveryReporterAsksTheProcessCache)
{
    CountingProcessSource source;
    vek::VekStatusReporter status;
    vek::VekDataReporter data(nullptr), other(nullptr);
    EXPECT_EQ(status.GetMachineId(), kId);
    data.initMachineID();
    other.initMachineID();
    EXPECT_EQ(data.GetMachineId(), kId);
    EXPECT_EQ(other.GetMachineId(), kId);
    EXPECT_EQ(source.calls.load(), 1);
}

} // namespace
