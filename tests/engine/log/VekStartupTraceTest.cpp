#include "engine/log/VekStartupTrace.h"

#include "services/session/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

constexpr wchar_t kLauncherKey[] = L"Software\\Vallor\\Vek";
constexpr wchar_t kSwitch[] = L"StartupTrace";

// Sets the switch value for the life of the scope (only the value: the key is shared).
class SwitchValue {
public:
    explicit SwitchValue(DWORD value)
    {
        EXPECT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLauncherKey, kSwitch, REG_DWORD, &value, sizeof(value)),
                  ERROR_SUCCESS);
    }
    ~SwitchValue() { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLauncherKey, kSwitch); }
    SwitchValue(const SwitchValue&) = delete;
    SwitchValue& operator=(const SwitchValue&) = delete;
};

TEST(VekStartupTrace, SwitchIsTheLaunchersRegistryValue)
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLauncherKey, kSwitch);
    EXPECT_FALSE(vek::VekStartupTrace::SwitchedOn());
    {
        SwitchValue on(1);
        EXPECT_TRUE(vek::VekStartupTrace::SwitchedOn());
    }
    {
        SwitchValue off(0);
        EXPECT_FALSE(vek::VekStartupTrace::SwitchedOn());
    }
}

TEST(VekStartupTrace, StepLineOnlyWhenSwitchedOn)
{
    vek::test::LogCapture log;
    vek::VekStartupTrace(false).Step(vek::StartupStep::TrayAndDialog);
    EXPECT_EQ(log.All(), L"");

    vek::VekStartupTrace(true).Step(vek::StartupStep::TrayAndDialog);
    const std::wstring all = log.All();
    EXPECT_NE(all.find(L"Start-up step tray and dialog at "), std::wstring::npos) << all;
    EXPECT_NE(all.find(L" ms after the process start"), std::wstring::npos) << all;
}

TEST(VekStartupTrace, EveryStepHasItsName)
{
    for (int step = static_cast<int>(vek::StartupStep::Hardening); step <= static_cast<int>(vek::StartupStep::Jobs);
         ++step) {
        EXPECT_STRNE(vek::StartupStepName(static_cast<vek::StartupStep>(step)), L"?") << step;
    }
}

} // namespace
