// The trusted DLL loader through the real road to the trust DLL: the library root folder comes
// from the test silo's path-expansion map, where the token QKROOT names one of the fixture roots.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "ObjectTestSupport.h"
#include "common/objects/ReadLibraryRoot.h"
#include "common/objects/qkTalObjectLoader.h"
#include "common/objects/qkTalResult.h"
#include "fixtures/FixtureIds.h"
#include "common/objects/LoadVerifyTrustDll.h"

using Microsoft::WRL::ComPtr;
using objtest::BinPath;
using objtest::IsModuleLoaded;
using objtest::ScopedRoot;
using objtest::TrustLog;

namespace {

void ExpectCreatesWidget(qkTalDllLoader& loader)
{
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(
        loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, reinterpret_cast<void**>(widget.GetAddressOf())),
        QK_S_OK);
    EXPECT_EQ(widget->GetValue(), kWidgetValueComponent);
}

TEST(qkTalTrustedDllLoader, WithoutTrustDllChecksOnlyThatTheFileExists)
{
    // A root without "qkVrTrst.dll", and no root at all: either way no verifier.
    for (const wchar_t* root : {L"objfix_notrust_root", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(root ? root : L"(no root)");
        ScopedRoot scoped(root);
        qkTalObjectLoader holder;
        qkTalTrustedDllLoader& loader = holder.m_loader;
        EXPECT_EQ(loader.VerifyModule(nullptr), QK_E_INVALIDARG);
        EXPECT_EQ(loader.Load(BinPath(L"objfix_no_such_file.dll").c_str()), QK_E_LOADFAILED);
        EXPECT_FALSE(loader.IsBound());

        // Marked for rejection, but nobody checks it.
        ASSERT_EQ(loader.Load(BinPath(L"objfix_untrusted_component.dll").c_str()), QK_S_OK);
        ExpectCreatesWidget(loader);
    }
}

TEST(qkTalTrustedDllLoader, AcceptsOnlyWhatTheTrustDllAnswersTrusted)
{
    ScopedRoot root(L"objfix_root");
    struct Case {
        const wchar_t* name;
        HRESULT expected;
    } cases[] = {
        {L"objfix_component.dll", QK_S_OK},
        {L"objfix_untrusted_component.dll", QK_E_UNTRUSTED}, // the verifier answers 3
        {L"objfix_badstamp_component.dll", QK_E_UNTRUSTED},  // 20, a bad time stamp: not "trusted" either
    };
    for (const Case& c : cases) {
        const std::wstring path = BinPath(c.name);
        SCOPED_TRACE(path);
        TrustLog log;
        const bool loadedBefore = IsModuleLoaded(path);
        {
            qkTalObjectLoader holder;
            qkTalTrustedDllLoader& loader = holder.m_loader;
            EXPECT_EQ(loader.Load(path.c_str()), c.expected);
            EXPECT_EQ(loader.IsBound(), c.expected == QK_S_OK);
            if (c.expected == QK_S_OK) {
                ExpectCreatesWidget(loader);
            } else if (!loadedBefore) {
                EXPECT_FALSE(IsModuleLoaded(path)) << "a refused file is never loaded";
            }
            EXPECT_TRUE(IsModuleLoaded(root.Path() + L"qkVrTrst.dll"));
        }
        // The calls the loader made on the trust object, in order.
        const std::vector<std::wstring> expected = {L"Create 1", L"SetOption 1", L"VerifyFile " + path + L" 3"};
        EXPECT_EQ(log.Lines(), expected);
    }
}

TEST(qkTalTrustedDllLoader, VerifierThatIsNotReadyIsDroppedAndTriedAgain)
{
    ScopedRoot root(L"objfix_root");
    TrustLog log(L"0"); // Create answers 0: the verifier cannot be used
    qkTalObjectLoader holder;
    qkTalTrustedDllLoader& loader = holder.m_loader;
    EXPECT_EQ(loader.VerifyModule(BinPath(L"objfix_untrusted_component.dll").c_str()), QK_S_OK);
    EXPECT_EQ(loader.VerifyModule(BinPath(L"objfix_untrusted_component.dll").c_str()), QK_S_OK);
    EXPECT_EQ(log.Count(L"Create "), 2) << "every check tries to set the verifier up again";
    EXPECT_EQ(log.Count(L"VerifyFile "), 0);
    EXPECT_EQ(log.Count(L"SetOption "), 0);
}

TEST(qkTalTrustedDllLoader, TrustDllIsLoadedFromTheLibraryRoot)
{
    // The root read twice when it is longer than the first buffer; unreadable without QKROOT.
    const std::wstring longRoot = L"C:\\" + std::wstring(300, L'r') + L"\\";
    struct Case {
        const wchar_t* rootValue; // null: QKROOT undefined
        HRESULT readResult;
        HRESULT loadResult;
    } cases[] = {
        {nullptr, QK_E_LOADFAILED, QK_E_LOADFAILED},
        {longRoot.c_str(), QK_S_OK, QK_E_LOADFAILED}, // read, but no DLL there
    };
    for (const Case& c : cases) {
        ScopedRoot scoped(nullptr);
        if (c.rootValue) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, objtest::SiloMapPath().c_str(), L"QKROOT", REG_SZ, c.rootValue,
                            static_cast<DWORD>((wcslen(c.rootValue) + 1) * sizeof(wchar_t)));
        }
        std::wstring read;
        EXPECT_EQ(qkLib::ReadLibraryRoot(read), c.readResult);
        if (c.rootValue) {
            EXPECT_EQ(read, c.rootValue);
        }
        qkTalDllLoader loader;
        EXPECT_EQ(Jux::LoadVerifyTrustDll(&loader), c.loadResult);
        EXPECT_FALSE(loader.IsBound());
    }

    ScopedRoot root(L"objfix_root");
    qkTalDllLoader loader;
    EXPECT_EQ(Jux::LoadVerifyTrustDll(nullptr), QK_E_INVALIDARG);
    ASSERT_EQ(Jux::LoadVerifyTrustDll(&loader), QK_S_OK);
    EXPECT_EQ(loader.GetModule(), GetModuleHandleW((root.Path() + L"qkVrTrst.dll").c_str()));
}

} // namespace
