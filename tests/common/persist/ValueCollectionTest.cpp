// The key/value and index/value collections: typed access with conversion, objects, the
// interface table, copying, and the saved forms of versions 1 and 2.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <wrl/client.h>

#include "PersistTestSupport.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/persist/qkTalIndexValueCollectionImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/persist/qkTalValueCollectionConvert.h"

using namespace persisttest;
using Microsoft::WRL::ComPtr;

namespace {

using persisttest::Query;

Bytes Save(IUnknown* collection)
{
    auto stream = Own(qkTalMemoryStreamImpl::Create());
    EXPECT_TRUE(Query<ISerializable>(collection, IID_ISerializable)->Save(stream.Get()));
    const BYTE* data = static_cast<const BYTE*>(stream->GetMemory().GetData());
    return Bytes(data, data + stream->GetMemory().GetSize());
}

bool Load(IUnknown* collection, const Bytes& bytes)
{
    auto stream = Own(qkTalMemoryStreamImpl::Create());
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()));
    stream->SetPosition(0);
    return Query<ISerializable>(collection, IID_ISerializable)->Load(stream.Get());
}

// The shared part of version 1 with the convert switch on and the clone switch off, then the
// container's version.
const Bytes kHeader = {0x06, 1, 0, 0, 0, 0x0A, 1, 0x0A, 0, 0x06, 1, 0, 0, 0};

Bytes U32(ULONG v)
{
    return {0x03, BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
}

TEST(ValueCollections, GettersConvertWithoutChangingWhatIsStored)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(c->SetInt16(1, -7));
    ASSERT_TRUE(c->SetInt64(2, 5));
    ASSERT_TRUE(c->SetInt32(3, -1));
    ASSERT_TRUE(c->SetUInt32(4, 0xFFFFFFFF));
    LONG i32 = 0;
    EXPECT_TRUE(c->GetInt32(1, &i32));
    EXPECT_EQ(i32, -7);
    i32 = 99;
    EXPECT_FALSE(c->GetInt32(2, &i32));
    EXPECT_EQ(i32, 99);
    bool flag = true;
    EXPECT_TRUE(c->GetBool(3, &flag));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(c->GetBool(4, &flag));
    EXPECT_TRUE(flag);
    EXPECT_EQ(c->GetValueType(1), ULONG(qkTalValue::eInt16));
    ASSERT_TRUE(c->SetConvertTypes(false));
    EXPECT_FALSE(c->GetInt32(1, &i32));
    EXPECT_TRUE(c->GetInt32(3, &i32));
    EXPECT_EQ(c->GetValueType(9), 0u);
    EXPECT_EQ(c->GetValueSize(9), 0u);
    EXPECT_FALSE(c->Exists(9));
    // A setter replaces the kind.
    ASSERT_TRUE(c->SetString(5, "abc"));
    ASSERT_TRUE(c->SetInt32(5, 8));
    EXPECT_EQ(c->GetValueType(5), ULONG(qkTalValue::eInt32));
}

TEST(ValueCollections, TextAndBlocksNegotiateTheirSize)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(c->SetString(1, "abc"));
    char three[3];
    ULONG size = 0;
    EXPECT_FALSE(c->GetStringEx(1, three, 3, &size));
    EXPECT_EQ(size, 4u);
    char four[4];
    EXPECT_TRUE(c->GetStringEx(1, four, 4, &size));
    EXPECT_STREQ(four, "abc");
    wchar_t wide[4];
    EXPECT_FALSE(c->GetWStringEx(1, wide, 6, &size));
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(c->GetWString(1, wide, 8));
    EXPECT_STREQ(wide, L"abc");

    const BYTE block[] = {1, 2, 3};
    ASSERT_TRUE(c->SetBinary(2, block, 3));
    size = 7;
    EXPECT_FALSE(c->GetBinaryEx(2, nullptr, 3, &size));
    EXPECT_EQ(size, 0u);
    BYTE two[2];
    EXPECT_FALSE(c->GetBinaryEx(2, two, 2, &size));
    EXPECT_EQ(size, 3u);
    ASSERT_TRUE(c->SetBinary(3, nullptr, 0));
    BYTE one[1];
    EXPECT_TRUE(c->GetBinaryEx(3, one, 1, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(c->SetBinary(2, nullptr, 5));
    EXPECT_FALSE(c->SetBinary(2, block, 0));
    EXPECT_EQ(c->GetValueSize(2), 3u);

    // The converting readers size their buffers from the value.
    ASSERT_TRUE(c->SetWString(4, L"wide"));
    std::string narrow;
    EXPECT_TRUE(qkTalValueCollectionConvert::GetStringValue(c.Get(), 4, narrow));
    EXPECT_EQ(narrow, "wide");
    std::wstring widened;
    EXPECT_TRUE(qkTalValueCollectionConvert::GetWStringValue(c.Get(), 1, widened));
    EXPECT_EQ(widened, L"abc");
    qkMemory memory;
    EXPECT_TRUE(qkTalValueCollectionConvert::GetBinaryValue(c.Get(), 2, memory));
    EXPECT_EQ(memory.GetSize(), 3u);
    EXPECT_FALSE(qkTalValueCollectionConvert::GetStringValue(nullptr, 1, narrow));
    EXPECT_FALSE(qkTalValueCollectionConvert::GetStringValue(c.Get(), 99, narrow));
}

TEST(ValueCollections, ObjectsAreSharedOrClonedByTheSwitch)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    auto text = Own(qkTalStringImpl::CreateWithText(L"obj"));
    ASSERT_TRUE(c->SetObject(1, text.Get()));
    IUnknown* out = nullptr;
    ASSERT_TRUE(c->GetObject(1, &out));
    EXPECT_EQ(out, static_cast<IUnknown*>(text.Get()));
    ASSERT_TRUE(c->SetCloneObjects(true));
    ASSERT_TRUE(c->GetObject(1, &out)); // releases what out held
    EXPECT_NE(out, static_cast<IUnknown*>(text.Get()));
    EXPECT_STREQ(Query<IStringObject>(out, CLSID_qkTalString)->GetStringW(), L"obj");
    out->Release();
    EXPECT_FALSE(c->SetObject(2, nullptr));
    EXPECT_FALSE(c->Exists(2));
    // A collection holding an object that cannot be cloned refuses it when cloning.
    auto plainHolder = Own(qkTalKeyValueCollectionImpl::Create());
    auto stream = Own(qkTalMemoryStreamImpl::Create()); // answers no ICloneable
    EXPECT_FALSE(c->SetObject(3, stream.Get()));
}

TEST(ValueCollections, BothAnswerTheInterfaceTable)
{
    auto kv = Own(qkTalKeyValueCollectionImpl::Create());
    auto iv = Own(qkTalIndexValueCollectionImpl::Create());
    const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    for (const auto& [object, ownId, otherId] :
         {std::tuple{static_cast<IUnknown*>(kv.Get()), CLSID_qkTalKeyValueCollection, CLSID_qkTalIndexValueCollection},
          std::tuple{static_cast<IUnknown*>(iv.Get()), CLSID_qkTalIndexValueCollection,
                     CLSID_qkTalKeyValueCollection}}) {
        void* collection = nullptr;
        ASSERT_EQ(object->QueryInterface(ownId, &collection), QK_S_OK);
        for (const GUID& id : {GUID_NULL, IID_IValueCollection}) {
            void* same = nullptr;
            ASSERT_EQ(object->QueryInterface(id, &same), QK_S_OK);
            EXPECT_EQ(same, collection);
            static_cast<IUnknown*>(same)->Release();
        }
        void* serializable = nullptr;
        void* serializable2 = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_ISerializable, &serializable), QK_S_OK);
        ASSERT_EQ(object->QueryInterface(IID_ISizeCachingSerializable, &serializable2), QK_S_OK);
        EXPECT_EQ(serializable, serializable2);
        void* cloneable = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_ICloneable, &cloneable), QK_S_OK);
        void* none = &none;
        EXPECT_EQ(object->QueryInterface(other, &none), QK_E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(object->QueryInterface(otherId, &none), QK_E_NOINTERFACE);
        EXPECT_EQ(object->QueryInterface(ownId, nullptr), QK_E_INVALIDARG);
        for (void* itf : {collection, serializable, serializable2, cloneable})
            static_cast<IUnknown*>(itf)->Release();
    }
}

// Every operation holds the collection's lock: threads may share one collection.
TEST(ValueCollections, ThreadsShareOneCollection)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    std::vector<std::thread> threads;
    for (ULONG t = 0; t < 4; ++t) {
        threads.emplace_back([&c, t] {
            for (ULONG i = 0; i < 500; ++i) {
                const ULONG key = t * 1000 + i;
                c->SetUInt32(key, key);
                c->SetString(100000 + key % 7, "shared");
                ULONG back = 0;
                if (!c->GetUInt32(key, &back) || back != key)
                    ADD_FAILURE() << "key " << key;
                LONGLONG widened = 0;
                c->GetInt64(key, &widened); // converts in the shared scratch value
                if (widened != static_cast<LONGLONG>(key))
                    ADD_FAILURE() << "converted key " << key;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(c->GetCount(), 4u * 500u + 7u);
}

TEST(qkTalKeyValueCollectionImpl, SavesEntriesInKeyOrder)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    EXPECT_EQ(Hex(Save(c.Get())), Hex(Concat({kHeader, U32(0)})));
    ASSERT_TRUE(c->SetUInt8(0xFFFFFFFF, 9));
    ASSERT_TRUE(c->SetBool(7, true));
    ASSERT_TRUE(c->SetInt16(0, -2));
    const Bytes saved = Concat({kHeader,
                                U32(3),
                                U32(0),
                                {0x01, 0x04, 0x0D, 0xFE, 0xFF},
                                U32(7),
                                {0x01, 0x01, 0x0A, 1},
                                U32(0xFFFFFFFF),
                                {0x01, 0x03, 0x01, 9}});
    EXPECT_EQ(Hex(Save(c.Get())), Hex(saved));
    ULONG key = 0;
    EXPECT_TRUE(c->GetKeyAt(0, &key));
    EXPECT_EQ(key, 0u);
    EXPECT_FALSE(c->GetKeyAt(3, &key));
    EXPECT_FALSE(c->Remove(5));
    EXPECT_TRUE(c->Remove(7));
    EXPECT_EQ(c->GetCount(), 2u);

    auto loaded = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(Load(loaded.Get(), saved));
    EXPECT_EQ(Hex(Save(loaded.Get())), Hex(saved));
    // Another container version, or a short list, leaves an empty collection.
    Bytes version2 = saved;
    version2[10] = 2;
    EXPECT_FALSE(Load(loaded.Get(), version2));
    EXPECT_EQ(loaded->GetCount(), 0u);
    EXPECT_FALSE(Load(loaded.Get(), Bytes(saved.begin(), saved.end() - 1)));
    EXPECT_EQ(loaded->GetCount(), 0u);
    EXPECT_TRUE(loaded->Clear());
}

TEST(ValueCollections, SizeCachingWritesVersion2)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    auto serializable = Query<ISizeCachingSerializable>(c.Get(), IID_ISizeCachingSerializable);
    ASSERT_TRUE(c->SetUInt32(1, 5));
    ASSERT_TRUE(serializable->SetSizeCaching(true));
    const Bytes first = Save(c.Get());
    ULONGLONG size = 0;
    ASSERT_TRUE(serializable->GetSize(&size));
    EXPECT_EQ(size, first.size());
    // The second save records the size the first one measured.
    const Bytes saved = Save(c.Get());
    const Bytes expected = Concat({{0x06, 2, 0, 0, 0, 0x0A, 1, 0x0A, 0, 0x0A, 1, 0x04},
                                   {BYTE(first.size()), 0, 0, 0, 0, 0, 0, 0},
                                   {0x06, 1, 0, 0, 0},
                                   U32(1),
                                   U32(1),
                                   {0x01, 0x07, 0x03, 5, 0, 0, 0}});
    EXPECT_EQ(Hex(saved), Hex(expected));
    ASSERT_TRUE(c->SetUInt32(2, 6)); // a change measures again
    EXPECT_TRUE(serializable->IsModified());
    ASSERT_TRUE(serializable->GetSize(&size));
    EXPECT_EQ(size, first.size() + 12);

    auto loaded = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(Load(loaded.Get(), saved));
    auto loadedSerializable = Query<ISizeCachingSerializable>(loaded.Get(), IID_ISizeCachingSerializable);
    EXPECT_TRUE(loadedSerializable->GetSizeCaching());
    EXPECT_FALSE(loadedSerializable->IsModified());
    Bytes version3 = saved;
    version3[1] = 3;
    EXPECT_FALSE(Load(loaded.Get(), version3));
}

TEST(ValueCollections, BothKindsRoundTripVersion2)
{
    auto kv = Own(qkTalKeyValueCollectionImpl::Create());
    auto iv = Own(qkTalIndexValueCollectionImpl::Create());
    ASSERT_TRUE(kv->SetInt8(3, -3));
    ASSERT_TRUE(iv->AppendInt8(-3));
    const auto fresh = [](IUnknown* like) -> ComPtr<IValueCollection> {
        if (Query<IKeyValueCollection>(like, CLSID_qkTalKeyValueCollection))
            return Own<IValueCollection>(qkTalKeyValueCollectionImpl::Create());
        return Own<IValueCollection>(qkTalIndexValueCollectionImpl::Create());
    };
    for (IValueCollection* c : {static_cast<IValueCollection*>(kv.Get()), static_cast<IValueCollection*>(iv.Get())}) {
        auto serializable = Query<ISizeCachingSerializable>(c, IID_ISizeCachingSerializable);
        ASSERT_TRUE(c->SetCloneObjects(true));
        ASSERT_TRUE(serializable->SetSizeCaching(true));
        Save(c);
        const Bytes saved = Save(c);
        EXPECT_EQ(saved[1], 2);
        auto loaded = fresh(c);
        ASSERT_TRUE(Load(loaded.Get(), saved));
        EXPECT_TRUE(Query<ISizeCachingSerializable>(loaded.Get(), IID_ISizeCachingSerializable)->GetSizeCaching());
        EXPECT_TRUE(loaded->GetCloneObjects());
        signed char v = 0;
        EXPECT_TRUE(loaded->GetInt8(c == kv.Get() ? 3 : 0, &v));
        EXPECT_EQ(v, -3);
        // A load through the stream interface drops the cached size: the next save records 0,
        // the one after it the measured size again.
        Bytes uncached = saved;
        std::fill(uncached.begin() + 12, uncached.begin() + 20, 0);
        EXPECT_EQ(Hex(Save(loaded.Get())), Hex(uncached));
        EXPECT_EQ(Hex(Save(loaded.Get())), Hex(saved));
    }
}

// Loading object values makes sure the process-wide factory knows the library's own objects.
TEST(ValueCollections, LoadingRegistersTheLibraryObjectsAgain)
{
    auto c = Own(qkTalKeyValueCollectionImpl::Create());
    auto text = Own(qkTalStringImpl::CreateWithText(L"again"));
    ASSERT_TRUE(c->SetObject(1, text.Get()));
    const Bytes saved = Save(c.Get());
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    ASSERT_EQ(factory->Unregister(CLSID_qkTalString), QK_S_OK);
    ASSERT_FALSE(factory->IsRegisteredLocally(CLSID_qkTalString));
    auto loaded = Own(qkTalKeyValueCollectionImpl::Create());
    EXPECT_TRUE(Load(loaded.Get(), saved));
    EXPECT_TRUE(factory->IsRegisteredLocally(CLSID_qkTalString));
}

TEST(qkTalIndexValueCollectionImpl, PositionsAppendRemoveAndLoadInAnyOrder)
{
    auto c = Own(qkTalIndexValueCollectionImpl::Create());
    EXPECT_FALSE(c->SetInt32(0, 1));
    ASSERT_TRUE(c->AppendInt32(10));
    ASSERT_TRUE(c->SetInt32(0, 11));
    ASSERT_TRUE(c->AppendString("b"));
    ASSERT_TRUE(c->AppendBool(true));
    EXPECT_FALSE(c->AppendBinary(nullptr, 4));
    EXPECT_FALSE(c->AppendObject(nullptr));
    EXPECT_EQ(c->GetCount(), 3u);
    const Bytes saved = Concat({kHeader,
                                U32(3),
                                U32(0),
                                {0x01, 0x06, 0x06, 11, 0, 0, 0},
                                U32(1),
                                {0x01, 0x0D, 0x07, 2, 0, 0, 0, 'b', 0},
                                U32(2),
                                {0x01, 0x01, 0x0A, 1}});
    EXPECT_EQ(Hex(Save(c.Get())), Hex(saved));
    ASSERT_TRUE(c->Remove(0));
    EXPECT_EQ(c->GetCount(), 2u);
    EXPECT_EQ(c->GetValueType(0), ULONG(qkTalValue::eString));
    EXPECT_FALSE(c->Remove(2));

    // Indices 1 then 0 restore both in their places; an index at the count is refused.
    auto loaded = Own(qkTalIndexValueCollectionImpl::Create());
    const Bytes swapped = Concat(
        {kHeader, U32(2), U32(1), {0x01, 0x0A, 0x05, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, U32(0), {0x01, 0x03, 0x01, 7}});
    ASSERT_TRUE(Load(loaded.Get(), swapped));
    BYTE b = 0;
    double d = 0;
    EXPECT_TRUE(loaded->GetUInt8(0, &b));
    EXPECT_TRUE(loaded->GetDouble(1, &d));
    EXPECT_EQ(b, 7);
    EXPECT_EQ(d, 1.0);
    const Bytes beyond = Concat({kHeader, U32(1), U32(1), {0x01, 0x03, 0x01, 7}});
    EXPECT_FALSE(Load(loaded.Get(), beyond));
    EXPECT_EQ(loaded->GetCount(), 0u);
    // A count beyond what the data can hold is refused before any value is made.
    AllocationMeter meter;
    EXPECT_FALSE(Load(loaded.Get(), Concat({kHeader, U32(0x7FFFFFFF), U32(0)})));
    EXPECT_LT(meter.Largest(), 4096u);
}

TEST(ValueCollections, CopiesTakeEmptyValuesAndGapsAsTheyAre)
{
    // Loaded data that stores position 0 twice and never position 1 leaves a gap there; position 0
    // holds an empty block.
    auto source = Own(qkTalIndexValueCollectionImpl::Create());
    ASSERT_TRUE(Load(source.Get(), Concat({kHeader,
                                           U32(3),
                                           U32(0),
                                           {0x01, 0x07, 0x03, 1, 0, 0, 0},
                                           U32(2),
                                           {0x01, 0x0E, 0x08, 4, 0, 0, 0, 'z', 0, 0, 0},
                                           U32(0),
                                           {0x01, 0x0F, 0x09, 0, 0, 0, 0}})));
    auto target = Own(qkTalIndexValueCollectionImpl::Create());
    ASSERT_TRUE(target->AppendInt8(1));
    auto cloneable = Query<ICloneable>(target.Get(), IID_ICloneable);
    ASSERT_TRUE(cloneable->CopyFrom(source.Get()));
    EXPECT_EQ(target->GetCount(), 3u);
    EXPECT_EQ(target->GetValueType(0), ULONG(qkTalValue::eBinary));
    EXPECT_EQ(target->GetValueType(1), ULONG(qkTalValue::eEmpty));
    EXPECT_EQ(Hex(Save(target.Get())), Hex(Save(source.Get())));

    // From a collection of the other kind nothing is copied.
    auto kv = Own(qkTalKeyValueCollectionImpl::Create());
    EXPECT_FALSE(cloneable->CopyFrom(kv.Get()));
    EXPECT_EQ(target->GetCount(), 3u);

    // Key/value copies carry every kind, the object shared as the source shares it.
    ASSERT_TRUE(kv->SetWString(1, L"w"));
    ASSERT_TRUE(kv->SetBinary(2, nullptr, 0));
    ASSERT_TRUE(kv->SetDouble(3, 2.5));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 3;
    ASSERT_TRUE(kv->SetVariant(4, &v));
    auto text = Own(qkTalStringImpl::CreateWithText(L"o"));
    ASSERT_TRUE(kv->SetObject(5, text.Get()));
    auto copy = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(Query<ICloneable>(copy.Get(), IID_ICloneable)->CopyFrom(kv.Get()));
    EXPECT_EQ(Hex(Save(copy.Get())), Hex(Save(kv.Get())));
    IUnknown* clone = nullptr;
    ASSERT_TRUE(Query<ICloneable>(kv.Get(), IID_ICloneable)->Clone(&clone));
    EXPECT_EQ(Hex(Save(clone)), Hex(Save(kv.Get())));
    clone->Release();
}

// An object that, while a copy of the collection holding it takes a reference, asks another
// thread whether the source collection's lock is free.
class LockProbe : public IUnknown {
public:
    qkCriticalSection* sourceLock = nullptr;
    int copies = 0;
    int copiesUnderTheLock = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = iid == IID_IUnknown ? this : nullptr;
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        if (sourceLock) {
            ++copies;
            bool taken = false;
            std::thread other([&] {
                taken = sourceLock->TryEnter() != FALSE;
                if (taken)
                    sourceLock->Unlock();
            });
            other.join();
            if (!taken)
                ++copiesUnderTheLock;
        }
        return ++m_references;
    }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }

private:
    ULONG m_references = 1;
};

// A clone reads the source under the source's lock, so that a setter on another thread cannot
// change what is being copied.
TEST(ValueCollections, ACloneHoldsTheSourcesLockWhileItCopies)
{
    LockProbe probe;
    auto kv = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(kv->SetObject(1, &probe));
    auto iv = Own(qkTalIndexValueCollectionImpl::Create());
    ASSERT_TRUE(iv->AppendObject(&probe));
    const struct {
        const char* name;
        IUnknown* collection;
        qkCriticalSection& lock;
    } cases[] = {
        {"key/value", kv.Get(), static_cast<qkTalKeyValueCollectionImpl*>(kv.Get())->GetLock()},
        {"index/value", iv.Get(), static_cast<qkTalIndexValueCollectionImpl*>(iv.Get())->GetLock()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        probe.sourceLock = &c.lock;
        probe.copies = probe.copiesUnderTheLock = 0;
        IUnknown* clone = nullptr;
        ASSERT_TRUE(Query<ICloneable>(c.collection, IID_ICloneable)->Clone(&clone));
        probe.sourceLock = nullptr;
        EXPECT_EQ(probe.copies, 1);
        EXPECT_EQ(probe.copiesUnderTheLock, 1);
        EXPECT_EQ(Query<IValueCollection>(clone, IID_IValueCollection)->GetCount(), 1u);
        clone->Release();
    }
}

TEST(ValueCollections, NestedObjectsAreSavedAndMadeAgainByTheirIds)
{
    auto inner = Own(qkTalIndexValueCollectionImpl::Create());
    ASSERT_TRUE(inner->AppendWString(L"deep"));
    auto text = Own(qkTalStringImpl::CreateWithText(L"leaf"));
    ASSERT_TRUE(inner->AppendObject(text.Get()));
    auto outer = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(outer->SetObject(42, inner.Get()));
    const Bytes saved = Save(outer.Get());
    ULONGLONG size = 0;
    ASSERT_TRUE(Query<ISerializable>(outer.Get(), IID_ISerializable)->GetSize(&size));
    EXPECT_EQ(size, saved.size());

    auto loaded = Own(qkTalKeyValueCollectionImpl::Create());
    ASSERT_TRUE(Load(loaded.Get(), saved));
    IUnknown* object = nullptr;
    ASSERT_TRUE(loaded->GetObject(42, &object));
    auto loadedInner = Query<IIndexValueCollection>(object, CLSID_qkTalIndexValueCollection);
    object->Release();
    ASSERT_TRUE(loadedInner);
    wchar_t deep[5];
    EXPECT_TRUE(loadedInner->GetWString(0, deep, sizeof(deep)));
    EXPECT_STREQ(deep, L"deep");
    IUnknown* leaf = nullptr;
    ASSERT_TRUE(loadedInner->GetObject(1, &leaf));
    EXPECT_STREQ(Query<IStringObject>(leaf, CLSID_qkTalString)->GetStringW(), L"leaf");
    leaf->Release();
    EXPECT_EQ(Hex(Save(loaded.Get())), Hex(saved));
}

} // namespace

namespace {

Bytes Le32(ULONG v)
{
    return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
}

// An index/value collection whose value 0 is an object holding the inner collection's bytes:
// its count claims as many values as the bytes after the count could hold.
Bytes GreedyLevel(const Bytes& inner)
{
    const BYTE* id = reinterpret_cast<const BYTE*>(&CLSID_qkTalIndexValueCollection);
    const Bytes value =
        Concat({U32(0), {0x01, 0x11, 0x09, 16, 0, 0, 0}, Bytes(id, id + 16), {0x09}, Le32(ULONG(inner.size())), inner});
    return Concat({kHeader, U32(ULONG(value.size() / 7)), value});
}

// Collections nested through object values to depth, each claiming the same padding at the end.
Bytes GreedyNestedCollections(int depth, ULONG padding)
{
    Bytes bytes = Concat({kHeader, U32(padding / 7), Bytes(padding, 0)});
    for (int i = 0; i < depth; ++i)
        bytes = GreedyLevel(bytes);
    return bytes;
}

// Collections nested as the writer makes them, each with values before and after the object.
// Each level caches its size, so that saving the whole does not measure every level again.
ComPtr<IIndexValueCollection> WrittenNesting(int depth)
{
    ComPtr<IIndexValueCollection> inner;
    for (int i = 0; i <= depth; ++i) {
        auto level = Own(qkTalIndexValueCollectionImpl::Create());
        auto serializable = Query<ISizeCachingSerializable>(level.Get(), IID_ISizeCachingSerializable);
        EXPECT_TRUE(serializable->SetSizeCaching(true));
        EXPECT_TRUE(level->AppendWString(L"level"));
        if (inner) {
            EXPECT_TRUE(level->AppendObject(inner.Get()));
        }
        EXPECT_TRUE(level->AppendUInt32(ULONG(i)));
        EXPECT_TRUE(level->AppendBinary("bytes", 5));
        ULONGLONG size = 0;
        EXPECT_TRUE(serializable->GetSize(&size));
        EXPECT_TRUE(serializable->SetModified(false));
        inner = level;
    }
    return inner;
}

} // namespace

// One load, however deep its objects nest, claims each byte of its input for one value at most:
// what it holds at its peak stays in proportion to the input, and the nesting the writer makes
// still loads.
TEST(ValueCollections, ANestedLoadAllocatesInProportionToItsInput)
{
    const struct {
        const char* name;
        Bytes bytes;
        bool readable;
    } cases[] = {
        {"greedy nesting to the cap", GreedyNestedCollections(qkLib::CArchive::kMaxNesting, 4000), false},
        {"one greedy level", GreedyNestedCollections(1, 4000), false},
        {"written nesting to the cap", Save(WrittenNesting(qkLib::CArchive::kMaxNesting).Get()), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = Own(qkTalMemoryStreamImpl::Create());
        ASSERT_TRUE(stream->Write(c.bytes.data(), static_cast<ULONG>(c.bytes.size())));
        ASSERT_TRUE(stream->SetPosition(0));
        auto loaded = Own(qkTalIndexValueCollectionImpl::Create());
        auto serializable = Query<ISerializable>(loaded.Get(), IID_ISerializable);
        std::size_t peak = 0;
        {
            AllocationMeter meter;
            EXPECT_EQ(serializable->Load(stream.Get()), c.readable);
            peak = meter.PeakTotal();
        }
        EXPECT_LE(peak, 16 * c.bytes.size() + 4096) << c.bytes.size() << " bytes of input";
    }
}
