// A start that fails is reported as an error instance: the failing result as its second number,
// and a dump whose stack comes back to the code that reported it.
#include "engine/VekProgram.h"

#include "common/objects/GetCallerAddress.h"
#include "tests/common/diag/InstanceFileSupport.h"
#include "tests/common/diag/StackWalkSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// As the start code reports: the failure address is the place of the reporting call.
__attribute__((noinline)) void StartFails(HRESULT hr, ULONG_PTR& site)
{
    site = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    void* caller = nullptr;
    qkLib::GetCallerAddress(&caller);
    vek::ReportStartFailure(hr, caller);
}

} // namespace

TEST(StartFailureReport, CarriesTheResultAndADumpThatWalksBackToTheCaller)
{
    diagtest::ErrorClientFixture errorClient;
    const HRESULT failed = static_cast<HRESULT>(0x80047E05);
    ULONG_PTR site = 0;
    StartFails(failed, site);

    const auto files = errorClient.InstanceFiles();
    ASSERT_EQ(files.size(), 1u);
    const diagtest::InstanceFile instance = diagtest::ReadInstance(files[0]);
    ASSERT_TRUE(instance.ok) << instance.error;
    ASSERT_TRUE(instance.hasNumbers);
    EXPECT_EQ(instance.numbers[0], 0u);
    EXPECT_EQ(instance.numbers[1], static_cast<ULONG>(failed)) << "the HRESULT is the second number";
    EXPECT_EQ(instance.idText, L"VekLauncher");
    ASSERT_NE(std::find(instance.attachments.begin(), instance.attachments.end(), L"Dump"),
              instance.attachments.end());
    EXPECT_EQ(diagtest::WalkReachesTheReporter(instance), "");
    // ... and on to the test that started it.
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const diagtest::DumpWalk walk = diagtest::WalkDump(instance.dump, program);
    const ULONGLONG siteOffset = site - reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr));
    EXPECT_NE(std::find(walk.offsets.begin(), walk.offsets.end(), siteOffset), walk.offsets.end());
}
