// The instance factory: registrations of every kind against the fixture DLLs, their counts and
// sameness rules, and the object repository as the fall-back for ids registered nowhere.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <thread>

#include "ObjectTestSupport.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/objects/qkTalInstanceFactoryImpl.h"
#include "common/objects/qkTalModuleLifetimeMgrImpl.h"
#include "common/objects/qkTalResult.h"
#include "common/system/CPathHook.h"
#include "common/system/qkHandle.h"
#include "fixtures/FixtureObjects.h"

using Microsoft::WRL::ComPtr;
using objtest::BinPath;
using objtest::IsModuleLoaded;
using objtest::ScopedRoot;

namespace {

// {6A1C2E18-...} and {6A1C2E19-...}: ids the tests register.
constexpr GUID kIdA = {0x6A1C2E18, 0x3B4D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x51}};
constexpr GUID kIdB = {0x6A1C2E19, 0x3B4D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x51}};

// In-process objects whose value tells which creator made it.
template <LONG Value>
using LocalWidget = fixture::Widget<Value>;

IUnknown* STDAPICALLTYPE CreateSeven()
{
    return qkTalCreateObject<LocalWidget<7>, IFixtureWidget>();
}
IUnknown* STDAPICALLTYPE CreateEight()
{
    return qkTalCreateObject<LocalWidget<8>, IFixtureWidget>();
}
IUnknown* STDAPICALLTYPE CreateNothing()
{
    return nullptr;
}

class InstanceFactory : public ::testing::Test {
protected:
    void SetUp() override
    {
        countBefore = qkTalCountedObject::GetModuleObjectCount();
        *factory.ReleaseAndGetAddressOf() = qkTalInstanceFactoryImpl::Create(); // mingw ComPtr::Attach adds a reference
        ASSERT_TRUE(factory);
    }
    void TearDown() override
    {
        factory.Reset();
        EXPECT_EQ(qkTalCountedObject::GetModuleObjectCount(), countBefore)
            << "the factory, its entries and every object made are gone";
    }

    // The widget's value, or 0 when the creation failed with the given result.
    LONG Make(REFGUID id, HRESULT expected = QK_S_OK)
    {
        ComPtr<IFixtureWidget> widget;
        EXPECT_EQ(factory->CreateInstance(id, IID_IFixtureWidget, reinterpret_cast<void**>(widget.GetAddressOf())),
                  expected);
        return widget ? widget->GetValue() : 0;
    }

    LONG countBefore = 0;
    ComPtr<IInstanceFactory> factory;
};

TEST_F(InstanceFactory, AnswersItsInterfaceIds)
{
    for (const GUID& iid : {GUID_NULL, IID_IInstanceFactory, IID_IInstanceFactory2}) {
        ComPtr<IInstanceFactory> same;
        EXPECT_EQ(factory->QueryInterface(iid, reinterpret_cast<void**>(same.GetAddressOf())), QK_S_OK);
        EXPECT_EQ(same.Get(), factory.Get());
    }
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(IID_IFixtureWidget, &other), QK_E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(InstanceFactory, CreatorRegistrationsCountAndMustBeTheSame)
{
    EXPECT_EQ(factory->RegisterCreator(kIdA, nullptr), QK_E_INVALIDARG);
    EXPECT_FALSE(factory->IsRegisteredLocally(kIdA));

    EXPECT_EQ(factory->RegisterCreator(kIdA, &CreateSeven), QK_S_OK);
    EXPECT_EQ(factory->RegisterCreator(kIdA, &CreateSeven), QK_S_OK);
    EXPECT_EQ(factory->RegisterCreator(kIdA, &CreateEight), QK_E_INVALIDARG) << "another creator";
    EXPECT_EQ(factory->RegisterDllPath(kIdA, BinPath(L"objfix_component.dll").c_str()), QK_E_INVALIDARG)
        << "another kind";
    EXPECT_EQ(factory->RegisterDll(kIdA, L"x.dll", nullptr, 0), QK_E_INVALIDARG);

    // Each creation is a new object with one reference; the first registration stays.
    ComPtr<IFixtureWidget> first, second;
    ASSERT_EQ(factory->CreateInstance(kIdA, IID_IFixtureWidget, reinterpret_cast<void**>(first.GetAddressOf())),
              QK_S_OK);
    ASSERT_EQ(factory->CreateInstance(kIdA, GUID_NULL, reinterpret_cast<void**>(second.GetAddressOf())), QK_S_OK);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(first->GetValue(), 7);
    EXPECT_EQ(first->AddRef(), 2u);
    EXPECT_EQ(first->Release(), 1u);
    EXPECT_EQ(factory->CreateInstance(kIdA, IID_IFixtureWidget, nullptr), QK_E_INVALIDARG);
    EXPECT_EQ(Make(kIdA, QK_S_OK), 7);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(kIdA, IID_IInstanceFactory, &none), QK_E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    // Two registrations, two Unregister calls.
    EXPECT_EQ(factory->Unregister(kIdA), QK_S_OK);
    EXPECT_TRUE(factory->IsRegisteredLocally(kIdA));
    EXPECT_EQ(factory->Unregister(kIdA), QK_S_OK);
    EXPECT_FALSE(factory->IsRegisteredLocally(kIdA));
    EXPECT_EQ(factory->Unregister(kIdA), QK_E_INVALIDARG);

    ASSERT_EQ(factory->RegisterCreator(kIdB, &CreateNothing), QK_S_OK);
    EXPECT_EQ(Make(kIdB, QK_E_OUTOFMEMORY), 0) << "a creator that gives nothing";
}

TEST_F(InstanceFactory, CreatorInsideADllKeepsThatDllLoaded)
{
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    const auto creator =
        reinterpret_cast<PFN_CreateObject>(reinterpret_cast<void*>(GetProcAddress(module, "CreateWidget")));
    ASSERT_NE(creator, nullptr);
    ASSERT_EQ(factory->RegisterCreator(kIdA, creator), QK_S_OK);
    FreeLibrary(module);
    ASSERT_TRUE(IsModuleLoaded(path)) << "the entry pins the DLL that holds the creator";
    EXPECT_EQ(Make(kIdA), kWidgetValueOwnerFactory);
    EXPECT_EQ(factory->Unregister(kIdA), QK_S_OK);
    EXPECT_FALSE(IsModuleLoaded(path));

    // A creator in the program's own image pins nothing (and cannot be freed anyway).
    EXPECT_EQ(factory->RegisterCreator(kIdB, &CreateSeven), QK_S_OK);
}

TEST_F(InstanceFactory, ExportRegistrations)
{
    const std::wstring path = BinPath(L"objfix_factory_component.dll");
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'x') + L".dll";
    struct Case {
        const char* what;
        HRESULT result;
        HRESULT (*call)(IInstanceFactory*, HMODULE, const std::wstring&, const std::wstring&);
    } cases[] = {
        {"null module", QK_E_INVALIDARG,
         [](IInstanceFactory* f, HMODULE, const std::wstring&, const std::wstring&) {
             return f->RegisterExport(kIdA, nullptr, "CreateWidget");
         }},
        {"null name", QK_E_INVALIDARG,
         [](IInstanceFactory* f, HMODULE m, const std::wstring&, const std::wstring&) {
             return f->RegisterExport(kIdA, m, nullptr);
         }},
        {"missing export", QK_E_NOENTRYPOINT,
         [](IInstanceFactory* f, HMODULE m, const std::wstring&, const std::wstring&) {
             return f->RegisterExport(kIdA, m, "NoSuchExport");
         }},
        {"empty path", QK_E_INVALIDARG,
         [](IInstanceFactory* f, HMODULE, const std::wstring&, const std::wstring&) {
             return f->RegisterExportByPath(kIdA, L"", "CreateWidget");
         }},
        {"path over 260 characters", QK_E_INVALIDARG,
         [](IInstanceFactory* f, HMODULE, const std::wstring&, const std::wstring& l) {
             return f->RegisterExportByPath(kIdA, l.c_str(), "CreateWidget");
         }},
        {"missing file", QK_E_FAIL,
         [](IInstanceFactory* f, HMODULE, const std::wstring&, const std::wstring&) {
             return f->RegisterExportByPath(kIdA, L"C:\\objfix_no_such.dll", "CreateWidget");
         }},
        {"missing export by path", QK_E_NOENTRYPOINT,
         [](IInstanceFactory* f, HMODULE, const std::wstring& p, const std::wstring&) {
             return f->RegisterExportByPath(kIdA, p.c_str(), "NoSuchExport");
         }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(factory.Get(), module, path, tooLong), c.result) << c.what;
        EXPECT_FALSE(factory->IsRegisteredLocally(kIdA)) << c.what;
    }

    ASSERT_EQ(factory->RegisterExport(kIdA, module, "CreateWidget"), QK_S_OK);
    EXPECT_EQ(factory->RegisterExport(kIdA, module, "CreateWidget"), QK_S_OK) << "same module, same export";
    EXPECT_EQ(factory->RegisterExport(kIdA, module, "GetFactory"), QK_E_INVALIDARG) << "another export";
    EXPECT_EQ(Make(kIdA), kWidgetValueComponent);

    ASSERT_EQ(factory->RegisterExportByPath(kIdB, path.c_str(), "CreateWidget"), QK_S_OK);
    EXPECT_EQ(factory->RegisterExportByPath(kIdB, path.c_str(), "CreateWidget"), QK_S_OK) << "the same DLL file";
    EXPECT_EQ(factory->RegisterExportByPath(kIdB, BinPath(L"objfix_ownerfactory.dll").c_str(), "CreateWidget"),
              QK_E_INVALIDARG);
    EXPECT_EQ(Make(kIdB), kWidgetValueComponent);

    FreeLibrary(module);
    EXPECT_TRUE(IsModuleLoaded(path)) << "the entries hold loads of their own";
    for (const GUID* id : {&kIdA, &kIdA, &kIdB, &kIdB})
        EXPECT_EQ(factory->Unregister(*id), QK_S_OK);
    EXPECT_FALSE(IsModuleLoaded(path));
}

TEST_F(InstanceFactory, DllFactoryRegistrationsAndTheDllsObjectCount)
{
    const std::wstring path = BinPath(L"objfix_factory_component.dll");
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    const auto objectCount =
        reinterpret_cast<PFN_GetObjectCount>(reinterpret_cast<void*>(GetProcAddress(module, "GetObjectCount")));
    ASSERT_NE(objectCount, nullptr);

    EXPECT_EQ(factory->RegisterModule(CLSID_FixtureWidget, nullptr), QK_E_INVALIDARG);
    ASSERT_EQ(factory->RegisterModule(CLSID_FixtureWidget, module), QK_S_OK);
    EXPECT_EQ(factory->RegisterModule(CLSID_FixtureWidget, module), QK_S_OK);
    EXPECT_EQ(factory->RegisterModule(CLSID_FixtureWidget, GetModuleHandleW(nullptr)), QK_E_INVALIDARG);
    EXPECT_EQ(objectCount(), 1) << "the DLL's factory, held by the entry";
    {
        ComPtr<IFixtureWidget> a, b;
        ASSERT_EQ(factory->CreateInstance(CLSID_FixtureWidget, IID_IFixtureWidget,
                                          reinterpret_cast<void**>(a.GetAddressOf())),
                  QK_S_OK);
        ASSERT_EQ(factory->CreateInstance(CLSID_FixtureWidget, IID_IFixtureWidget,
                                          reinterpret_cast<void**>(b.GetAddressOf())),
                  QK_S_OK);
        EXPECT_EQ(a->GetModule(), module);
        EXPECT_EQ(objectCount(), 3);
    }
    EXPECT_EQ(objectCount(), 1);
    EXPECT_EQ(factory->Unregister(CLSID_FixtureWidget), QK_S_OK);
    EXPECT_EQ(factory->Unregister(CLSID_FixtureWidget), QK_S_OK);
    EXPECT_EQ(objectCount(), 0) << "the module object count balances to zero";
    FreeLibrary(module);
    EXPECT_FALSE(IsModuleLoaded(path));

    // By path: GetFactory's refusal of an id it does not serve is returned and the DLL freed.
    EXPECT_EQ(factory->RegisterDllPath(kIdA, L""), QK_E_INVALIDARG);
    EXPECT_EQ(factory->RegisterDllPath(kIdA, path.c_str()), QK_E_INVALIDARG);
    EXPECT_FALSE(factory->IsRegisteredLocally(kIdA));
    EXPECT_FALSE(IsModuleLoaded(path));
    EXPECT_EQ(factory->RegisterDllPath(kIdA, BinPath(L"objfix_no_such_file.dll").c_str()), QK_E_LOADFAILED);

    ASSERT_EQ(factory->RegisterDllPath(CLSID_FixtureWidget, path.c_str()), QK_S_OK);
    EXPECT_EQ(factory->RegisterDllPath(CLSID_FixtureWidget, path.c_str()), QK_S_OK) << "the same DLL file";
    EXPECT_EQ(factory->RegisterDllPath(CLSID_FixtureWidget, BinPath(L"objfix_ownerfactory.dll").c_str()),
              QK_E_INVALIDARG);
    EXPECT_EQ(Make(CLSID_FixtureWidget), kWidgetValueComponent);
    EXPECT_TRUE(IsModuleLoaded(path));
    factory.Reset(); // the destructor unloads every entry
    EXPECT_FALSE(IsModuleLoaded(path));
}

TEST_F(InstanceFactory, DllThroughAModuleLifetimeManager)
{
    ComPtr<IModuleLifetimeMgr> owner, other;
    *owner.ReleaseAndGetAddressOf() = qkTalModuleLifetimeMgrImpl::Create(); // mingw ComPtr::Attach adds a reference
    *other.ReleaseAndGetAddressOf() = qkTalModuleLifetimeMgrImpl::Create();
    ASSERT_TRUE(owner && other);
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'x') + L".dll";

    EXPECT_EQ(factory->RegisterDll(kIdA, path.c_str(), owner.Get(), 4), QK_E_INVALIDARG);
    EXPECT_EQ(factory->RegisterDll(kIdA, path.c_str(), nullptr, 0), QK_E_INVALIDARG);
    EXPECT_EQ(factory->RegisterDll(kIdA, nullptr, owner.Get(), 0), QK_E_INVALIDARG);
    EXPECT_EQ(factory->RegisterDll(kIdA, tooLong.c_str(), owner.Get(), 0), QK_E_INVALIDARG);
    EXPECT_FALSE(factory->IsRegisteredLocally(kIdA));

    // Registered under the widget's id, so that the DLL's factory serves it.
    ASSERT_EQ(factory->RegisterDll(CLSID_FixtureWidget, path.c_str(), owner.Get(), 0), QK_S_OK);
    EXPECT_EQ(factory->RegisterDll(CLSID_FixtureWidget, L"D:\\elsewhere\\OBJFIX_OWNERFACTORY.DLL", owner.Get(), 0),
              QK_S_OK)
        << "same owner, same file name";
    EXPECT_EQ(factory->RegisterDll(CLSID_FixtureWidget, path.c_str(), other.Get(), 0), QK_E_INVALIDARG);
    EXPECT_EQ(Make(CLSID_FixtureWidget), kWidgetValueOwnerFactory);
}

TEST_F(InstanceFactory, RepositoryServesIdsRegisteredNowhere)
{
    ScopedRoot root(L"objfix_root");
    EXPECT_FALSE(factory->IsRegisteredLocally(CLSID_FixtureWidget));
    EXPECT_TRUE(factory->IsRegistered(CLSID_FixtureWidget)) << "known to the repository";
    EXPECT_FALSE(factory->IsRegistered(CLSID_FixtureUnknown));

    // The settings DLL names "%QKROOT%\..\objfix_component.dll".
    EXPECT_EQ(Make(CLSID_FixtureWidget), kWidgetValueComponent);
    EXPECT_TRUE(factory->IsRegisteredLocally(CLSID_FixtureWidget)) << "registered on the fly, and it stays";
    EXPECT_EQ(Make(CLSID_FixtureUnknown, QK_E_INVALIDARG), 0);
    EXPECT_FALSE(factory->IsRegisteredLocally(CLSID_FixtureUnknown));

    // Through an owner: the repository's path registered with the module lifetime manager.
    ComPtr<IModuleLifetimeMgr> owner;
    *owner.ReleaseAndGetAddressOf() = qkTalModuleLifetimeMgrImpl::Create(); // mingw ComPtr::Attach adds a reference
    ComPtr<IInstanceFactory> second;
    *second.ReleaseAndGetAddressOf() = qkTalInstanceFactoryImpl::Create();
    EXPECT_EQ(second->RegisterFromRepository(CLSID_FixtureUnknown, owner.Get(), 0), QK_E_INVALIDARG);
    ASSERT_EQ(second->RegisterFromRepository(CLSID_FixtureWidget, owner.Get(), 0), QK_S_OK);
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(second->CreateInstance(CLSID_FixtureWidget, IID_IFixtureWidget,
                                     reinterpret_cast<void**>(widget.GetAddressOf())),
              QK_S_OK);
    EXPECT_EQ(widget->GetValue(), kWidgetValueComponent);
}

TEST_F(InstanceFactory, AttachedPathHookStandsInForTheRepository)
{
    CPathHook& hook = CPathHook::Instance();
    ASSERT_TRUE(hook.SetModulePath(kIdB, BinPath(L"objfix_ownerfactory.dll").c_str()));
    hook.Attach(TRUE);
    EXPECT_TRUE(factory->IsRegistered(kIdB));
    // The DLL's factory serves only the widget's id, so GetFactory's refusal comes back.
    EXPECT_EQ(Make(kIdB, QK_E_INVALIDARG), 0);
    ASSERT_TRUE(hook.SetModulePath(CLSID_FixtureWidget, BinPath(L"objfix_ownerfactory.dll").c_str()));
    EXPECT_EQ(Make(CLSID_FixtureWidget), kWidgetValueOwnerFactory);
    hook.Attach(FALSE);
}

// An entry removed while another thread creates through it keeps its DLL until that creation
// returns: the creator runs inside the DLL, outside the factory's lock.
TEST_F(InstanceFactory, EntryRemovedWhileItCreatesKeepsItsDllUntilTheCreationEnds)
{
    const std::wstring path = BinPath(L"objfix_blocking.dll");
    ASSERT_FALSE(IsModuleLoaded(path));
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    qkHandle entered(CreateEventW(nullptr, TRUE, FALSE, (L"objfix_blocking_entered_" + pid).c_str()));
    qkHandle release(CreateEventW(nullptr, TRUE, FALSE, (L"objfix_blocking_release_" + pid).c_str()));
    ASSERT_TRUE(entered.IsValid() && release.IsValid());
    ASSERT_EQ(factory->RegisterExportByPath(kIdA, path.c_str(), "CreateBlocked"), QK_S_OK);

    HRESULT created = QK_S_OK;
    std::thread creation([&] {
        void* object = nullptr;
        created = factory->CreateInstance(kIdA, GUID_NULL, &object);
    });
    // Not a measure of time: only a creation that never starts ends the wait this way.
    ASSERT_EQ(WaitForSingleObject(entered.Get(), 120000), WAIT_OBJECT_0);
    HRESULT removed = QK_E_FAIL;
    std::thread removal([&] { removed = factory->Unregister(kIdA); });
    removal.join();
    EXPECT_EQ(removed, QK_S_OK);
    EXPECT_FALSE(factory->IsRegisteredLocally(kIdA));
    if (!IsModuleLoaded(path)) {
        ADD_FAILURE() << "the DLL was freed while its creator runs";
        creation.detach(); // its code is gone: it must never wake
        return;
    }
    SetEvent(release.Get());
    creation.join();
    EXPECT_EQ(created, QK_E_OUTOFMEMORY) << "the creator made nothing";
    EXPECT_FALSE(IsModuleLoaded(path)) << "the creation's reference was the last";
}

TEST(qkInstanceFactory, ProcessWideFactoryIsMadeOnce)
{
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(qkInstanceFactory::GetInstanceFactory(), factory);
    // Every built-in row has its creator and is registered.
    for (const auto& row : qkInstanceFactory::kBuiltIns) {
        EXPECT_NE(row.creator, nullptr) << objtest::GuidText(row.objectId);
        EXPECT_TRUE(factory->IsRegisteredLocally(row.objectId)) << objtest::GuidText(row.objectId);
    }
}

} // namespace
