// The process-wide trust registration: it takes effect once per process, so this program has a
// test executable of its own and its cases run in one order.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include <atomic>
#include <thread>
#include <vector>

#include "services/trust/CLockedFileVerifier.h"
#include "services/trust/Jux_TrustFactory.h"
#include "services/trust/TrustTestSupport.h"
#include "services/trust/qkVerifyTrustStatic.h"

using Microsoft::WRL::ComPtr;
using trust_test::Fixture;

namespace {

std::wstring Signed(const wchar_t* signer)
{
    return Fixture(std::wstring(signer) + L"\\" + trust_test::kPlugin);
}

// What the registered function does, switched by each case.
enum class Mode { Fail, NoObject, RealObject };
Mode g_mode = Mode::RealObject;
int g_calls = 0;

HRESULT FirstFactory(IVerifyTrust** out)
{
    ++g_calls;
    *out = nullptr;
    switch (g_mode) {
    case Mode::Fail:
        return E_ACCESSDENIED;
    case Mode::NoObject:
        return S_OK;
    case Mode::RealObject:
        break;
    }
    ComPtr<IVerifyTrustOptions> options;
    options.Attach(qkVerifyTrustStatic::CreateObject());
    if (!options)
        return E_OUTOFMEMORY;
    if (options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(out)) < 0 || *out == nullptr)
        return E_NOINTERFACE;
    (*out)->Create(TRUE);
    return S_OK;
}

HRESULT SecondFactory(IVerifyTrust**)
{
    return E_FAIL;
}

} // namespace

TEST(TrustRegistrationTest, RegisterOnceThenFactoryObjectAfterUnregister)
{
    trust_test::ScopedSignerNames names;

    // Nothing registered: the instance factory's object, ready for use.
    ComPtr<IVerifyTrust> fromFactory;
    ASSERT_EQ(Jux::GetTrustObject(fromFactory.GetAddressOf()), S_OK);
    ASSERT_NE(fromFactory, nullptr);
    EXPECT_EQ(fromFactory->VerifyFile(Signed(L"level3").c_str(), 3), static_cast<DWORD>(VT_TRUSTED));
    EXPECT_EQ(Jux::GetTrustObject(nullptr), E_POINTER);

    ASSERT_EQ(Jux::RegisterVerifyTrustFactory(&FirstFactory), S_OK);
    // A second registration fails and keeps the first function, also with a null one.
    EXPECT_EQ(Jux::RegisterVerifyTrustFactory(&SecondFactory), E_UNEXPECTED);
    EXPECT_EQ(Jux::RegisterVerifyTrustFactory(nullptr), E_UNEXPECTED);

    struct Case {
        Mode mode;
        const wchar_t* file;
        bool strict;
        HRESULT result;
    } cases[] = {
        {Mode::RealObject, L"level3", true, S_OK},
        {Mode::RealObject, L"level4", true, TRUST_E_SUBJECT_NOT_TRUSTED},
        {Mode::RealObject, L"level4", false, S_OK},
        {Mode::RealObject, L"unsigned", false, TRUST_E_SUBJECT_NOT_TRUSTED},
        {Mode::Fail, L"level3", false, E_ACCESSDENIED}, // the function's own failure
        {Mode::NoObject, L"level3", false, E_POINTER},
    };
    for (const Case& c : cases) {
        g_mode = c.mode;
        const int calls = g_calls;
        EXPECT_EQ(Jux::VerifyFileTrust(Signed(c.file).c_str(), c.strict), c.result) << static_cast<int>(c.mode);
        // The verifier holding the file takes its object from the registered function too.
        CLockedFileVerifier verifier;
        EXPECT_EQ(verifier.VerifyFile(Signed(c.file).c_str(), c.strict), c.result);
        EXPECT_EQ(g_calls, calls + 2);
    }

    // Unregistered: back to the instance factory; the registration stays used up.
    EXPECT_EQ(Jux::UnregisterVerifyTrustFactory(), S_OK);
    g_mode = Mode::Fail;
    const int calls = g_calls;
    EXPECT_EQ(Jux::VerifyFileTrust(Signed(L"level3").c_str(), true), S_OK);
    EXPECT_EQ(g_calls, calls);
    EXPECT_EQ(Jux::RegisterVerifyTrustFactory(&FirstFactory), E_UNEXPECTED);
    EXPECT_EQ(Jux::VerifyFileTrust(Signed(L"level3").c_str(), true), S_OK);
}

TEST(TrustRegistrationTest, NullFunctionAtFirstRegistration)
{
    // Runs alone in a process of its own (a CTest entry of its own), where the registration is
    // still unused.
    if (GetEnvironmentVariableW(L"VEK_TRUST_FRESH_PROCESS", nullptr, 0) == 0) {
        GTEST_SKIP() << "needs a process of its own";
    }
    EXPECT_EQ(Jux::RegisterVerifyTrustFactory(nullptr), E_INVALIDARG);
    EXPECT_EQ(Jux::RegisterVerifyTrustFactory(&FirstFactory), E_UNEXPECTED);
}

TEST(TrustRegistrationTest, RacingRegistrationsHaveOneWinner)
{
    // Runs alone in a process of its own (a CTest entry of its own), where the registration is
    // still unused.
    if (GetEnvironmentVariableW(L"VEK_TRUST_FRESH_PROCESS", nullptr, 0) == 0) {
        GTEST_SKIP() << "needs a process of its own";
    }
    // Threads released at one moment: exactly one of them is told that its function counts.
    constexpr int kThreads = 16;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    HRESULT results[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go.load()) {}
            results[i] = Jux::RegisterVerifyTrustFactory(i % 2 ? &FirstFactory : &SecondFactory);
        });
    }
    while (ready.load() < kThreads) {}
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    int winners = 0;
    for (HRESULT hr : results) {
        if (hr == S_OK)
            ++winners;
        else
            EXPECT_EQ(hr, E_UNEXPECTED);
    }
    EXPECT_EQ(winners, 1);
}
