// The plain DLL loader against the fixture component DLLs.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "ObjectTestSupport.h"
#include "common/objects/GetCallerAddress.h"
#include "common/objects/qkTalDllLoader.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkFolderTrust.h"
#include "fixtures/FixtureIds.h"
#include "support/OtherAccounts.h"

#include <filesystem>

using Microsoft::WRL::ComPtr;
using objtest::BinDir;
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

// The file the loaded module of that name was mapped from; empty when none is loaded.
std::wstring LoadedFrom(const wchar_t* name)
{
    const HMODULE module = GetModuleHandleW(name);
    wchar_t path[MAX_PATH] = {};
    if (module == nullptr || GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return {};
    return path;
}

// A DLL that a plug-in imports is looked for in the plug-in's folder first. With full rights that
// folder, and every one above it, must be one that no other account can write: elsewhere another
// account could plant a DLL of that name beside the plug-in and have it run with those rights, so
// the imports then come from the system folder alone. Without full rights the plug-in's folder
// still comes first.
TEST(qkTalDllLoader, ImportsBesideTheDllOnlyWhereNoOtherAccountWrites)
{
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                          (L"vek-loader-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::remove_all(scratch);
    const std::filesystem::path closed = scratch / L"closed";
    const std::filesystem::path open = scratch / L"open";
    const std::filesystem::path openThenClosed = open / L"closed";
    std::filesystem::create_directories(closed);
    std::filesystem::create_directories(openThenClosed);
    ASSERT_EQ(others::SetAccess(closed.wstring(), others::kOnlyTrustedWrite), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(others::SetAccess(open.wstring(), others::kEveryoneWrites), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(others::SetAccess(openThenClosed.wstring(), others::kOnlyTrustedWrite),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::filesystem::path fixtures = std::filesystem::path(BinDir()) / L"objfix_planted";
    for (const auto& folder : {closed, open, openThenClosed}) {
        for (const wchar_t* name : {L"objfix_importer.dll", L"objfix_planted.dll"})
            std::filesystem::copy_file(fixtures / name, folder / name);
    }
    std::filesystem::copy_file(BinPath(L"objfix_component.dll"), open / L"objfix_open_component.dll");

    qkHandle limited(others::TokenWithoutFullRights());
    struct Case {
        const char* name;
        std::filesystem::path folder;
        const wchar_t* dll;
        bool fullRights;
        HRESULT expected;
        bool importsPlanted; // the planted DLL beside it was loaded with it
    } cases[] = {
        {"beside it in a folder only trusted accounts write", closed, L"objfix_importer.dll", true, QK_S_OK, true},
        {"planted where other accounts write", open, L"objfix_importer.dll", true, QK_E_LOADFAILED, false},
        {"planted below a folder other accounts write", openThenClosed, L"objfix_importer.dll", true,
         QK_E_LOADFAILED, false},
        {"only the system's DLLs, where other accounts write", open, L"objfix_open_component.dll", true, QK_S_OK,
         false},
        {"without full rights, where other accounts write", open, L"objfix_importer.dll", false, QK_S_OK, true},
    };
    bool skipped = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = (c.folder / c.dll).wstring();
        ASSERT_EQ(GetModuleHandleW(L"objfix_planted.dll"), nullptr);
        HRESULT loaded = E_UNEXPECTED;
        bool fullRights = !c.fullRights;
        std::wstring plantedFrom;
        LONG value = 0;
        const auto load = [&] {
            fullRights = qkFolderTrust::HasFullRights();
            qkTalDllLoader loader;
            loaded = loader.Load(path.c_str());
            plantedFrom = LoadedFrom(L"objfix_planted.dll");
            ComPtr<IFixtureWidget> widget;
            if (SUCCEEDED(loaded) &&
                SUCCEEDED(loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget,
                                              reinterpret_cast<void**>(widget.GetAddressOf()))))
                value = widget->GetValue();
        };
        if (c.fullRights) {
            load();
        } else if (!limited.IsValid() || !others::RunAs(limited.Get(), load)) {
            skipped = true;
            continue;
        }
        if (fullRights != c.fullRights) {
            skipped = true;
            continue;
        }
        EXPECT_EQ(loaded, c.expected);
        if (c.importsPlanted)
            EXPECT_EQ(_wcsicmp(plantedFrom.c_str(), (c.folder / L"objfix_planted.dll").c_str()), 0)
                << std::filesystem::path(plantedFrom).string();
        else
            EXPECT_EQ(plantedFrom, L"");
        EXPECT_EQ(value, SUCCEEDED(c.expected) ? kWidgetValueComponent : 0);
        EXPECT_EQ(GetModuleHandleW(L"objfix_planted.dll"), nullptr) << "freed with the DLL that imported it";
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    if (skipped)
        GTEST_SKIP() << "some cases need a thread with full rights and one without";
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
