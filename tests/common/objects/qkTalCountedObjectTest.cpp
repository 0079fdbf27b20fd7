// The object model: query by interface id, reference counts, the module object count and owners.
#include <gtest/gtest.h>

#include "ObjectTestSupport.h"
#include "common/objects/qkComAdopt.h"
#include "common/objects/qkTalCountedObject.h"

namespace {

// {0E5A4F01-1C2B-4D3E-9F80-112233445566}
constexpr GUID IID_ITestA = {0x0E5A4F01, 0x1C2B, 0x4D3E, {0x9F, 0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
// {0E5A4F02-1C2B-4D3E-9F80-112233445566}
constexpr GUID IID_ITestB = {0x0E5A4F02, 0x1C2B, 0x4D3E, {0x9F, 0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
// {0E5A4F03-1C2B-4D3E-9F80-112233445566}
constexpr GUID IID_ITestUnknown = {0x0E5A4F03, 0x1C2B, 0x4D3E, {0x9F, 0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};

struct ITestA : IUnknown {
    virtual int STDMETHODCALLTYPE A() = 0;
};
struct ITestB : IUnknown {
    virtual int STDMETHODCALLTYPE B() = 0;
};

int g_finalReleases = 0;

class TestObject : public qkTalCountedObject, public ITestA, public ITestB {
public:
    QK_TAL_UNKNOWN_IMPL()
    int STDMETHODCALLTYPE A() override { return 1; }
    int STDMETHODCALLTYPE B() override { return 2; }
    void FinalRelease() override { ++g_finalReleases; }

protected:
    void* GetInterface(REFIID iid) override
    {
        if (IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_ITestA))
            return static_cast<ITestA*>(this);
        if (IsEqualGUID(iid, IID_ITestB))
            return static_cast<ITestB*>(this);
        return nullptr;
    }
};

TEST(qkTalCountedObject, QueryInterfaceAnswersItsIdsAndRefusesOthers)
{
    ITestA* a = qkTalCreateObject<TestObject, ITestA>();
    ASSERT_NE(a, nullptr);

    void* out = nullptr;
    EXPECT_EQ(a->QueryInterface(GUID_NULL, &out), QK_S_OK);
    EXPECT_EQ(out, static_cast<void*>(a)) << "the null id yields the first interface";
    EXPECT_EQ(a->Release(), 1u) << "the query added one reference";

    EXPECT_EQ(a->QueryInterface(IID_ITestB, &out), QK_S_OK);
    EXPECT_EQ(static_cast<ITestB*>(out)->B(), 2);
    static_cast<ITestB*>(out)->Release();

    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(a->QueryInterface(IID_ITestUnknown, &out), QK_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(a->QueryInterface(IID_ITestA, nullptr), QK_E_INVALIDARG);
    EXPECT_EQ(a->AddRef(), 2u) << "a refused query added no reference";
    a->Release();
    EXPECT_EQ(a->Release(), 0u);
}

TEST(qkTalCountedObject, ModuleObjectCountFollowsLiveObjects)
{
    const LONG before = qkTalCountedObject::GetModuleObjectCount();
    const int finalReleases = g_finalReleases;
    ITestA* objects[3] = {};
    for (auto& o : objects)
        o = qkTalCreateObject<TestObject, ITestA>();
    EXPECT_EQ(qkTalCountedObject::GetModuleObjectCount(), before + 3);
    for (auto* o : objects)
        o->Release();
    EXPECT_EQ(qkTalCountedObject::GetModuleObjectCount(), before);
    EXPECT_EQ(g_finalReleases, finalReleases + 3) << "FinalRelease runs before each destruction";
}

// An owner that adopts a created object's reference frees it with its last release; this
// toolchain's Attach would add a reference and keep the object alive.
TEST(qkTalCountedObject, AdoptedObjectIsFreedWithItsOwner)
{
    const LONG before = qkTalCountedObject::GetModuleObjectCount();
    {
        Microsoft::WRL::ComPtr<ITestA> owner;
        qkLib::Adopt(owner, qkTalCreateObject<TestObject, ITestA>());
        ASSERT_TRUE(owner);
        EXPECT_EQ(owner->A(), 1);
        Microsoft::WRL::ComPtr<ITestA> replaced = owner;
        qkLib::Adopt(owner, qkTalCreateObject<TestObject, ITestA>());
        EXPECT_EQ(qkTalCountedObject::GetModuleObjectCount(), before + 2);
    }
    EXPECT_EQ(qkTalCountedObject::GetModuleObjectCount(), before);
}

TEST(qkTalCountedObject, OwnerLocksTheModuleForTheObjectsLifetime)
{
    objtest::RecordingOwner owner;
    ITestA* a = qkTalCreateObject<TestObject, ITestA>();
    auto* object = static_cast<TestObject*>(a);

    EXPECT_EQ(object->AttachOwner(&owner), QK_S_OK);
    EXPECT_EQ(owner.locks, 1);
    EXPECT_EQ(owner.lastModule, qkTalCountedObject::GetCodeModule());
    EXPECT_EQ(object->GetOwner(), &owner);
    EXPECT_EQ(owner.refs, 2) << "the object holds a reference to its owner";

    a->Release();
    EXPECT_EQ(owner.unlocks, 1) << "the module is unlocked once, after destruction";
    EXPECT_EQ(owner.refs, 1) << "and the owner reference is given back";
}

TEST(qkTalCountedObject, AttachOwnerWhoseLockFailsStoresNothing)
{
    objtest::RecordingOwner first;
    objtest::RecordingOwner refusing;
    refusing.lockResult = QK_E_INVALIDARG;
    ITestA* a = qkTalCreateObject<TestObject, ITestA>();
    auto* object = static_cast<TestObject*>(a);
    ASSERT_EQ(object->AttachOwner(&first), QK_S_OK);

    EXPECT_EQ(object->AttachOwner(&refusing), QK_E_INVALIDARG);
    EXPECT_EQ(object->GetOwner(), &first);
    EXPECT_EQ(refusing.refs, 1);

    EXPECT_EQ(object->AttachOwner(nullptr), QK_S_OK) << "a null owner detaches";
    EXPECT_EQ(object->GetOwner(), nullptr);
    EXPECT_EQ(first.refs, 1);
    a->Release();
    EXPECT_EQ(first.unlocks, 0) << "a detached owner is not asked to unlock";
}

} // namespace
