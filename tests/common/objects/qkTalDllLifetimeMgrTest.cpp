// The DLL lifetime manager and the module lifetime manager against the fixture DLLs. The idle
// rule runs on an injected clock.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <functional>
#include <thread>

#include "ObjectTestSupport.h"
#include "common/objects/qkTalDllLifetimeMgr.h"
#include "common/objects/qkTalDllLifetimeMgrLocal.h"
#include "common/objects/qkTalModuleLifetimeMgrImpl.h"
#include "common/objects/qkTalResult.h"
#include "fixtures/FixtureIds.h"

using Microsoft::WRL::ComPtr;
using objtest::BinPath;
using objtest::IsModuleLoaded;
using objtest::ScopedRoot;
using objtest::TrustLog;

namespace {

DWORD g_now = 0;
DWORD WINAPI FakeTick()
{
    return g_now;
}

class DllLifetime : public ::testing::Test {
protected:
    void SetUp() override
    {
        qkTalDllLifetimeMgr::SetTickSource(&FakeTick);
        g_now = 1000;
        *manager.ReleaseAndGetAddressOf() =
            qkTalModuleLifetimeMgrImpl::Create(); // mingw ComPtr::Attach adds a reference
        ASSERT_TRUE(manager);
    }
    void TearDown() override { qkTalDllLifetimeMgr::SetTickSource(nullptr); }

    HRESULT Create(const std::wstring& path, ComPtr<IFixtureWidget>& widget)
    {
        return manager->CreateInstanceFromPath(path.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget,
                                               reinterpret_cast<void**>(widget.ReleaseAndGetAddressOf()));
    }

    ComPtr<IModuleLifetimeMgr> manager;
    qkTalDllLifetimeMgr dlls;
};

TEST_F(DllLifetime, OwnedObjectsKeepTheirDllUntilItHasBeenIdleTenMinutes)
{
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    ComPtr<IFixtureWidget> first, second;
    ASSERT_EQ(Create(path, first), QK_S_OK);
    ASSERT_EQ(Create(path, second), QK_S_OK);
    EXPECT_EQ(first->GetValue(), kWidgetValueOwnerFactory);
    const HMODULE module = first->GetModule();
    EXPECT_EQ(GetModuleHandleW(path.c_str()), module);
    EXPECT_EQ(second->GetModule(), module) << "one load per path";

    first.Reset();
    g_now += 3600000;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_FALSE) << "the second object still locks it";
    EXPECT_TRUE(IsModuleLoaded(path));

    second.Reset(); // idle from now on
    const DWORD idleSince = g_now;
    g_now = idleSince + 599999;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_FALSE);
    EXPECT_TRUE(IsModuleLoaded(path));

    g_now = idleSince + 600001;
    EXPECT_EQ(dlls.UnloadUnusedModules(module), QK_S_FALSE) << "the keep module is never freed";
    EXPECT_TRUE(IsModuleLoaded(path));
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_OK);
    EXPECT_FALSE(IsModuleLoaded(path));
    EXPECT_EQ(dlls.LockModule(module), QK_E_INVALIDARG) << "the record went with the DLL";
}

TEST_F(DllLifetime, IdleTimeSurvivesTheTickCounterWrapping)
{
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    g_now = 0xFFFFFF00;
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(Create(path, widget), QK_S_OK);
    widget.Reset();
    g_now += 1000; // wrapped past 0
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_FALSE);
    g_now += qkTalDllLifetimeMgr::kIdleMilliseconds;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_OK);
    EXPECT_FALSE(IsModuleLoaded(path));
}

TEST_F(DllLifetime, OneLoadReferencePerDllWhateverThePath)
{
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    std::wstring other = path;
    other.insert(other.find_last_of(L'\\'), L"\\.");
    ComPtr<IFixtureWidget> a, b;
    ASSERT_EQ(Create(path, a), QK_S_OK);
    ASSERT_EQ(Create(other, b), QK_S_OK);
    EXPECT_EQ(a->GetModule(), b->GetModule());
    a.Reset();
    b.Reset();
    g_now += 600001;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_OK);
    EXPECT_FALSE(IsModuleLoaded(path)) << "one FreeLibrary frees it: the second load reference was given back";
}

TEST_F(DllLifetime, RefusedPathsAndUnknownModules)
{
    struct Case {
        const wchar_t* name;
        HRESULT expected;
    } cases[] = {
        {nullptr, QK_E_INVALIDARG},
        {L"objfix_no_such_file.dll", QK_E_LOADFAILED},
        {L"objfix_noexport.dll", QK_E_NOENTRYPOINT},
    };
    for (const Case& c : cases) {
        const std::wstring path = c.name ? BinPath(c.name) : std::wstring();
        SCOPED_TRACE(path);
        void* object = nullptr;
        EXPECT_EQ(manager->CreateInstanceFromPath(c.name ? path.c_str() : nullptr, CLSID_FixtureWidget,
                                                  IID_IFixtureWidget, &object),
                  c.expected);
        EXPECT_EQ(object, nullptr);
        if (c.name) {
            EXPECT_FALSE(IsModuleLoaded(path)) << "a DLL missing an export is not kept";
        }
    }
    const HMODULE notLoadedHere = GetModuleHandleW(nullptr);
    EXPECT_EQ(manager->LockModule(notLoadedHere), QK_E_INVALIDARG);
    EXPECT_EQ(manager->UnlockModule(notLoadedHere), QK_E_INVALIDARG);
}

TEST_F(DllLifetime, DllWithoutOwnerFactoryIsGovernedByItsObjectCount)
{
    // A plain factory hands out objects that do not lock the DLL, so the idle rule never frees it.
    const std::wstring path = BinPath(L"objfix_badstamp_component.dll");
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(Create(path, widget), QK_S_OK);
    EXPECT_EQ(widget->GetValue(), kWidgetValueComponent);
    widget.Reset();
    g_now += 10 * 600001;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_FALSE);
    EXPECT_TRUE(IsModuleLoaded(path));
}

TEST_F(DllLifetime, CreateFromModuleUsesTheCallersLoad)
{
    const std::wstring path = BinPath(L"objfix_untrusted_component.dll");
    const HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    ComPtr<IFixtureWidget> widget;
    EXPECT_EQ(manager->CreateInstanceFromModule(module, CLSID_FixtureWidget, IID_IFixtureWidget,
                                                reinterpret_cast<void**>(widget.GetAddressOf())),
              QK_S_OK);
    ASSERT_TRUE(widget);
    EXPECT_EQ(widget->GetModule(), module);
    EXPECT_EQ(manager->LockModule(module), QK_E_INVALIDARG) << "the module is not recorded";
    EXPECT_EQ(manager->CreateInstanceFromModule(nullptr, CLSID_FixtureWidget, IID_IFixtureWidget,
                                                reinterpret_cast<void**>(widget.ReleaseAndGetAddressOf())),
              QK_E_INVALIDARG);
    FreeLibrary(module);
    EXPECT_FALSE(IsModuleLoaded(path)) << "the manager took no load reference";
}

TEST_F(DllLifetime, AnsiPathReachesTheManagerConverted)
{
    std::string narrow;
    for (wchar_t ch : BinPath(L"objfix_ownerfactory.dll"))
        narrow += static_cast<char>(ch); // the build folder is plain ASCII
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(manager->CreateInstanceFromPathA(narrow.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget, 0,
                                               reinterpret_cast<void**>(widget.GetAddressOf())),
              QK_S_OK);
    EXPECT_EQ(widget->GetValue(), kWidgetValueOwnerFactory);
    widget.Reset();
    g_now += 600001;
    EXPECT_EQ(dlls.UnloadUnusedModules(nullptr), QK_S_OK);
}

TEST_F(DllLifetime, ModuleLifetimeMgrAnswersItsInterfaceIds)
{
    void* out = nullptr;
    EXPECT_EQ(manager->QueryInterface(GUID_NULL, &out), QK_S_OK);
    EXPECT_EQ(out, manager.Get());
    manager->Release();
    EXPECT_EQ(manager->QueryInterface(IID_IModuleLifetimeMgr, &out), QK_S_OK);
    manager->Release();
    EXPECT_EQ(manager->QueryInterface(IID_IFixtureWidget, &out), QK_E_NOINTERFACE);
}

TEST_F(DllLifetime, TrustCheckRefusesEveryAnswerButTrusted)
{
    ScopedRoot root(L"objfix_root");
    TrustLog log;
    struct Case {
        const wchar_t* name;
        DWORD flags;
        HRESULT expected;
    } cases[] = {
        {L"objfix_untrusted_component.dll", 1, QK_E_UNTRUSTED}, // answer 3
        {L"objfix_untrusted_component.dll", 3, QK_E_UNTRUSTED},
        {L"objfix_badstamp_component.dll", 1, QK_E_UNTRUSTED}, // answer 20
        {L"objfix_component.dll", 1, QK_S_OK},
    };
    for (const Case& c : cases) {
        const std::wstring path = BinPath(c.name);
        SCOPED_TRACE(path);
        ComPtr<IFixtureWidget> widget;
        EXPECT_EQ(manager->CreateInstanceFromPath(path.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget, c.flags,
                                                  reinterpret_cast<void**>(widget.GetAddressOf())),
                  c.expected);
        EXPECT_EQ(static_cast<bool>(widget), c.expected == QK_S_OK);
        EXPECT_GE(log.Count(L"VerifyFile " + path + L" 3"), 1);
    }
    // The trust level (flags bit 1) is set before each check.
    EXPECT_EQ(log.Count(L"SetOption 0"), 3);
    EXPECT_EQ(log.Count(L"SetOption 1"), 1);
}

TEST_F(DllLifetime, DllRecordedWithoutTrustCheckIsCheckedWhenAskedWithOne)
{
    ScopedRoot root(L"objfix_root");
    TrustLog log;
    const std::wstring path = BinPath(L"objfix_untrusted_cached.dll");
    ComPtr<IFixtureWidget> widget;
    ASSERT_EQ(manager->CreateInstanceFromPath(path.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget, 0,
                                              reinterpret_cast<void**>(widget.GetAddressOf())),
              QK_S_OK);
    EXPECT_EQ(manager->CreateInstanceFromPath(path.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget, 1,
                                              reinterpret_cast<void**>(widget.ReleaseAndGetAddressOf())),
              QK_E_UNTRUSTED)
        << "the unverified load must not serve a request that asks for a trust check";
    EXPECT_FALSE(widget);
}

} // namespace

namespace {

// A map lock that runs a step of the test's on the thread that is about to take the exclusive
// side, once: the unloader then stands between its first look at the creations and its lock.
class PausingMapLock : public qkReadWriteLock {
public:
    std::function<void()> beforeExclusive;
    bool LockExclusive(DWORD timeout, BOOL pumpMessages) override
    {
        if (auto step = std::exchange(beforeExclusive, nullptr))
            step();
        return qkReadWriteLock::LockExclusive(timeout, pumpMessages);
    }
};

// An owner that forwards module locks to one manager and, when armed, holds the next object
// that takes it (the creating thread, inside the DLL's factory) until released.
class GateOwner : public IModuleLifetimeMgr {
public:
    explicit GateOwner(qkTalDllLifetimeMgrLocal& manager) : m_manager(manager) {}
    ~GateOwner()
    {
        CloseHandle(m_entered);
        CloseHandle(m_release);
    }
    void Arm() { m_armed = true; }
    bool WaitEntered() { return WaitForSingleObject(m_entered, 10000) == WAIT_OBJECT_0; }
    void Open() { SetEvent(m_release); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IModuleLifetimeMgr))
            return E_NOINTERFACE;
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        if (m_armed.exchange(false)) {
            SetEvent(m_entered);
            WaitForSingleObject(m_release, 10000);
        }
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE, REFGUID, REFIID, DWORD, void**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, DWORD, void**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, DWORD, void**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockModule(HMODULE module) override { return m_manager.UnlockModule(module); }
    HRESULT STDMETHODCALLTYPE LockModule(HMODULE module) override { return m_manager.LockModule(module); }

private:
    qkTalDllLifetimeMgrLocal& m_manager;
    std::atomic<bool> m_armed{false};
    HANDLE m_entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE m_release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

} // namespace

// A creation that begins after the unloader's first look at the count of creations, and gets
// the DLL's record before the unloader has the lock, keeps that record: the unloader asks again
// under the lock and frees nothing.
TEST_F(DllLifetime, UnloaderLeavesTheRecordOfACreationThatBeganBeforeItsLock)
{
    const std::wstring path = BinPath(L"objfix_ownerfactory.dll");
    // Our own load reference keeps the code mapped whatever the manager does.
    const HMODULE ours = LoadLibraryW(path.c_str());
    ASSERT_NE(ours, nullptr);
    auto lock = std::make_unique<PausingMapLock>();
    PausingMapLock& mapLock = *lock;
    {
        qkTalDllLifetimeMgrLocal local(std::move(lock));
        GateOwner owner(local);
        auto create = [&](ComPtr<IFixtureWidget>& widget) {
            return local.CreateInstanceFromPath(path.c_str(), CLSID_FixtureWidget, IID_IFixtureWidget, 0, 0, &owner,
                                                reinterpret_cast<void**>(widget.ReleaseAndGetAddressOf()));
        };
        ComPtr<IFixtureWidget> first;
        ASSERT_EQ(create(first), QK_S_OK);
        const HMODULE module = first->GetModule();
        first.Reset(); // idle from now on, and long enough to be freed
        g_now += 3600000;

        ComPtr<IFixtureWidget> second;
        HRESULT created = QK_E_FAIL;
        std::thread creator;
        mapLock.beforeExclusive = [&] {
            owner.Arm();
            creator = std::thread([&] { created = create(second); });
            ASSERT_TRUE(owner.WaitEntered()) << "the creation never reached the DLL's factory";
        };
        EXPECT_EQ(local.UnloadUnusedModules(nullptr), QK_S_FALSE) << "freed the record a creation holds";
        owner.Open();
        if (creator.joinable())
            creator.join();
        EXPECT_EQ(created, QK_S_OK);
        EXPECT_EQ(local.LockModule(module), QK_S_OK) << "the record is still there";
        EXPECT_EQ(local.UnlockModule(module), QK_S_FALSE);
        second.Reset();
        g_now += 3600000;
        EXPECT_EQ(local.UnloadUnusedModules(nullptr), QK_S_OK);
    }
    FreeLibrary(ours);
}
