#include "engine/mid/QuvOobeCallbackStrategy.h"
#include "engine/mid/QuvOobeRegistryStrategy.h"
#include "engine/mid/QuvOobeWaiter.h"

#include "common/system/qkRegistry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>

namespace {

// A setup tree of the test's own under HKCU, read by the registry route.
class OobeRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_prefix = L"Software\\VekTests\\Oobe" + std::to_wstring(::GetCurrentProcessId());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_prefix.c_str());
    }
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, m_prefix.c_str()); }

    void Set(std::optional<DWORD> oobe, std::optional<DWORD> setup, const wchar_t* image)
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_prefix.c_str());
        qkRegistry key;
        ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, (m_prefix + L"\\SYSTEM\\Setup").c_str(), KEY_ALL_ACCESS));
        if (oobe)
            key.SetDWORDValue(L"OOBEInProgress", *oobe);
        if (setup)
            key.SetDWORDValue(L"SystemSetupInProgress", *setup);
        if (image) {
            qkRegistry state;
            ASSERT_TRUE(state.Create(
                HKEY_CURRENT_USER, (m_prefix + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup\\State").c_str(),
                KEY_ALL_ACCESS));
            state.SetStringValue(L"ImageState", image);
        }
    }

    bool InProgress()
    {
        QuvOobeRegistryStrategy strategy(HKEY_CURRENT_USER, m_prefix);
        EXPECT_TRUE(strategy.Initialize());
        return strategy.IsInProgress();
    }

    std::wstring m_prefix;
};

} // namespace

TEST_F(OobeRegistry, AnswersFromTheSetupValues)
{
    EXPECT_FALSE(InProgress()) << "no SYSTEM\\Setup key";
    const struct {
        const char* name;
        std::optional<DWORD> oobe, setup;
        const wchar_t* image;
        bool inProgress;
    } cases[] = {
        {"finished", 0, 0, L"IMAGE_STATE_COMPLETE", false},
        {"oobe running", 1, 0, L"IMAGE_STATE_COMPLETE", true},
        {"oobe and system setup", 1, 1, L"IMAGE_STATE_COMPLETE", false},
        {"oobe and system setup, image not complete", 1, 1, L"IMAGE_STATE_UNDEPLOYABLE", true},
        {"other image state", 0, 0, L"IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE", true},
        {"image state in lower case", 0, 0, L"image_state_complete", false},
        {"no image state", 1, 0, nullptr, true},
        {"no image state, oobe done", 0, 0, nullptr, false},
        {"values missing", std::nullopt, std::nullopt, L"IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.oobe, c.setup, c.image);
        EXPECT_EQ(c.inProgress, InProgress());
    }
}

// The wait ends when a caller handle is signalled, and at once when setup is already over.
TEST_F(OobeRegistry, WaitEndsOnCallerHandle)
{
    Set(1, 0, L"IMAGE_STATE_COMPLETE");
    QuvOobeRegistryStrategy strategy(HKEY_CURRENT_USER, m_prefix);
    ASSERT_TRUE(strategy.Initialize());
    HANDLE stop = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    strategy.Wait(stop, nullptr);
    ::CloseHandle(stop);

    // The wait looks again at a change notification or after its interval, and ends once setup
    // is over.
    Set(1, 0, L"IMAGE_STATE_COMPLETE");
    QuvOobeRegistryStrategy shortWait(HKEY_CURRENT_USER, m_prefix, 100);
    ASSERT_TRUE(shortWait.Initialize());
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread finisher([prefix = &m_prefix] {
            ::Sleep(50);
            qkRegistry setup;
            setup.Open(HKEY_CURRENT_USER, (*prefix + L"\\SYSTEM\\Setup").c_str(), KEY_ALL_ACCESS);
            setup.SetDWORDValue(L"OOBEInProgress", 0);
            qkRegistry state;
            state.Open(HKEY_CURRENT_USER,
                       (*prefix + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup\\State").c_str(),
                       KEY_ALL_ACCESS);
            state.SetStringValue(L"ImageState", L"IMAGE_STATE_COMPLETE");
        });
    shortWait.Wait(never, nullptr);
    EXPECT_FALSE(shortWait.IsInProgress());
    finisher.join();
    ::CloseHandle(never);
}

TEST(QuvOobeWaiter, UsesTheCallersStrategyOrTheSystems)
{
    struct Fixed : QuvOobeStrategy {
        bool answer;
        explicit Fixed(bool a) : answer(a) {}
        bool IsInProgress() override { return answer; }
        void Wait(HANDLE, HANDLE) override {}
        bool InitializeStrategy() override { return true; }
    };
    EXPECT_TRUE(QuvOobeWaiter(std::make_unique<Fixed>(true)).IsOobeInProgress());
    EXPECT_FALSE(QuvOobeWaiter(std::make_unique<Fixed>(false)).IsOobeInProgress());

    // This system has finished its first-run setup.
    QuvOobeWaiter system;
    EXPECT_FALSE(system.IsOobeInProgress());
    const bool hasExports = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "OOBEComplete") &&
                            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "RegisterWaitUntilOOBECompleted") &&
                            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "UnregisterWaitUntilOOBECompleted");
    ASSERT_NE(nullptr, system.GetStrategy());
    EXPECT_EQ(hasExports, dynamic_cast<QuvOobeCallbackStrategy*>(system.GetStrategy()) != nullptr);
    EXPECT_EQ(!hasExports, dynamic_cast<QuvOobeRegistryStrategy*>(system.GetStrategy()) != nullptr);
}
