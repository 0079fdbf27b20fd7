// The plain DLL loader against the fixture component DLLs.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "ObjectTestSupport.h"
#include "common/objects/GetCallerAddress.h"
#include "common/objects/qkTalDllLoader.h"
#include "common/objects/qkTalResult.h"
#include "fixtures/FixtureIds.h"

using Microsoft::WRL::ComPtr;
using objtest::BinPath;

namespace {

TEST(qkTalDllLoader, CreatesObjectsByClassIdAndTheCountBalances)
{
    const std::wstring path = BinPath(L"objfix_loader_component.dll");
    qkTalDllLoader loader;
    ASSERT_EQ(loader.Load(path.c_str()), QK_S_OK);
    EXPECT_TRUE(loader.IsBound());
    EXPECT_TRUE(objtest::IsModuleLoaded(path));
    EXPECT_EQ(loader.GetObjectCount(), 0);

    ComPtr<IFixtureWidget> first, second;
    ASSERT_EQ(
        loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, reinterpret_cast<void**>(first.GetAddressOf())),
        QK_S_OK);
    ASSERT_EQ(loader.CreateObject(CLSID_FixtureWidget, GUID_NULL, reinterpret_cast<void**>(second.GetAddressOf())),
              QK_S_OK);
    EXPECT_EQ(first->GetValue(), kWidgetValueComponent);
    EXPECT_EQ(first->GetModule(), loader.GetModule());
    EXPECT_EQ(loader.GetObjectCount(), 2) << "the factories are gone, the two widgets live";

    first.Reset();
    second.Reset();
    EXPECT_EQ(loader.GetObjectCount(), 0);

    loader.Unload();
    EXPECT_FALSE(loader.IsBound());
    EXPECT_FALSE(objtest::IsModuleLoaded(path));
}

TEST(qkTalDllLoader, CreateObjectPassesFactoryAndCreationFailuresOn)
{
    qkTalDllLoader loader;
    void* out = reinterpret_cast<void*>(7);
    EXPECT_EQ(loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, &out), QK_E_INVALIDARG);
    EXPECT_EQ(out, reinterpret_cast<void*>(7)) << "nothing loaded: the out pointer is untouched";

    ASSERT_EQ(loader.Load(BinPath(L"objfix_loader_component.dll").c_str()), QK_S_OK);
    EXPECT_EQ(loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, nullptr), QK_E_INVALIDARG);
    EXPECT_EQ(loader.CreateObject(CLSID_FixtureUnknown, IID_IFixtureWidget, &out), QK_E_INVALIDARG)
        << "GetFactory's refusal of an id it does not serve";
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(loader.CreateObject(CLSID_FixtureWidget, CLSID_FixtureUnknown, &out), QK_E_NOINTERFACE);
    EXPECT_EQ(loader.GetObjectCount(), 0) << "failed creations leave nothing alive";
}

TEST(qkTalDllLoader, RefusedLoadsLeaveTheLoaderEmpty)
{
    struct Case {
        const wchar_t* name; // null: a null path
        HRESULT expected;
    } cases[] = {
        {nullptr, QK_E_INVALIDARG},
        {L"objfix_no_such_file.dll", QK_E_LOADFAILED},
        {L"objfix_noexport.dll", QK_E_NOENTRYPOINT},
    };
    for (const Case& c : cases) {
        const std::wstring path = c.name ? BinPath(c.name) : std::wstring();
        SCOPED_TRACE(path);
        qkTalDllLoader loader;
        EXPECT_EQ(loader.Load(c.name ? path.c_str() : nullptr), c.expected);
        EXPECT_FALSE(loader.IsBound());
        EXPECT_EQ(loader.GetModule(), nullptr);
        if (c.name) {
            EXPECT_FALSE(objtest::IsModuleLoaded(path)) << "a DLL missing an export is freed again";
        }
        void* out = nullptr;
        EXPECT_EQ(loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, &out), QK_E_INVALIDARG);
    }
}

TEST(qkTalDllLoader, SecondLoadSucceedsOnlyForTheSamePath)
{
    const std::wstring path = BinPath(L"objfix_loader_component.dll");
    qkTalDllLoader loader;
    ASSERT_EQ(loader.Load(path.c_str()), QK_S_OK);
    const HMODULE module = loader.GetModule();

    std::wstring upper = path;
    for (auto& ch : upper)
        ch = towupper(ch);
    EXPECT_EQ(loader.Load(path.c_str()), QK_S_OK);
    EXPECT_EQ(loader.Load(upper.c_str()), QK_S_OK) << "paths compare without regard to case";
    EXPECT_EQ(loader.Load(BinPath(L"objfix_ownerfactory.dll").c_str()), QK_E_INVALIDARG);
    EXPECT_EQ(loader.GetModule(), module) << "the first DLL stays";
    EXPECT_FALSE(objtest::IsModuleLoaded(BinPath(L"objfix_ownerfactory.dll")));

    loader.Unload();
    EXPECT_EQ(loader.Load(BinPath(L"objfix_ownerfactory.dll").c_str()), QK_S_OK) << "after Unload any path loads";
}

TEST(qkTalDllLoader, DestructorFreesTheModule)
{
    const std::wstring path = BinPath(L"objfix_loader_component.dll");
    {
        qkTalDllLoader loader;
        ASSERT_EQ(loader.Load(path.c_str()), QK_S_OK);
    }
    EXPECT_FALSE(objtest::IsModuleLoaded(path));
}

__attribute__((noinline)) void* CallSite(void** behind)
{
    void* address = nullptr;
    qkLib::GetCallerAddress(&address);
    *behind = reinterpret_cast<void*>(&CallSite);
    return address;
}

TEST(GetCallerAddress, GivesAnAddressInsideTheCaller)
{
    void* function = nullptr;
    void* address = CallSite(&function);
    EXPECT_GT(reinterpret_cast<char*>(address), reinterpret_cast<char*>(function));
    EXPECT_LT(reinterpret_cast<char*>(address), reinterpret_cast<char*>(function) + 256);
    qkLib::GetCallerAddress(nullptr); // a null pointer is ignored
}

} // namespace
