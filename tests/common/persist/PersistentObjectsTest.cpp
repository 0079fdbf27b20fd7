// Byte streams, the string and memory objects, the digests, and their creation by object id.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include "PersistTestSupport.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/persist/qkTalDigest.h"
#include "common/persist/qkTalFileStreamImpl.h"
#include "common/persist/qkTalMemoryImpl.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStringImpl.h"

using namespace persisttest;
using Microsoft::WRL::ComPtr;

namespace {

using persisttest::Query;

// Saves the object into a new memory stream and gives the stream's bytes.
Bytes SavedBytes(IUnknown* object)
{
    ComPtr<ISerializable> serializable;
    EXPECT_EQ(object->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(serializable.GetAddressOf())),
              QK_S_OK);
    ComPtr<qkTalMemoryStreamImpl> stream;
    stream = Own(qkTalMemoryStreamImpl::Create());
    EXPECT_TRUE(serializable->Save(stream.Get()));
    const BYTE* data = static_cast<const BYTE*>(stream->GetMemory().GetData());
    return Bytes(data, data + stream->GetMemory().GetSize());
}

bool LoadBytes(IUnknown* object, const Bytes& bytes)
{
    ComPtr<ISerializable> serializable;
    object->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(serializable.GetAddressOf()));
    ComPtr<qkTalMemoryStreamImpl> stream;
    stream = Own(qkTalMemoryStreamImpl::Create());
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()));
    stream->SetPosition(0);
    return serializable->Load(stream.Get());
}

TEST(ByteStreams, MemoryAndFileStreamsMoveBytesAndPositions)
{
    TempFolder folder;
    ComPtr<qkTalMemoryStreamImpl> memory;
    memory = Own(qkTalMemoryStreamImpl::Create());
    ComPtr<qkTalFileStreamImpl> file;
    file = Own(qkTalFileStreamImpl::Create());
    ASSERT_TRUE(file->GetFile().Open(folder.Path(L"stream.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    for (IByteStream* stream : {static_cast<IByteStream*>(memory.Get()), static_cast<IByteStream*>(file.Get())}) {
        ULONGLONG size = 9, position = 9;
        ASSERT_TRUE(stream->GetSize(&size));
        EXPECT_EQ(size, 0u);
        ASSERT_TRUE(stream->Write("abc", 3));
        stream->GetSize(&size);
        stream->GetPosition(&position);
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(position, 3u);
        ASSERT_TRUE(stream->SetPosition(0));
        char back[4] = {};
        ASSERT_TRUE(stream->Read(back, 3));
        EXPECT_STREQ(back, "abc");
        EXPECT_FALSE(stream->Read(back, 1));
        ASSERT_TRUE(stream->SetSize(10));
        ASSERT_TRUE(stream->SetPosition(5));
        ASSERT_TRUE(stream->SetSize(10));
        stream->GetPosition(&position);
        EXPECT_EQ(position, 0u);
    }
    EXPECT_FALSE(memory->SetPosition(0x100000000ull));
    EXPECT_FALSE(memory->SetPosition(11));
}

TEST(qkTalStringImpl, SavedFormsAndSizes)
{
    ComPtr<IStringObject> none;
    none = Own(qkTalStringImpl::Create());
    EXPECT_EQ(Hex(SavedBytes(none.Get())), Hex({6, 1, 0, 0, 0, 6, 0, 0, 0, 0}));

    ComPtr<IStringObject> wide;
    wide = Own(qkTalStringImpl::CreateWithText(L"a"));
    const Bytes wideBytes = {6, 1, 0, 0, 0, 6, 2, 0, 0, 0, 8, 4, 0, 0, 0, 'a', 0, 0, 0};
    EXPECT_EQ(Hex(SavedBytes(wide.Get())), Hex(wideBytes));
    ComPtr<ISerializable> serializable = Query<ISerializable>(wide.Get(), IID_ISerializable);
    ULONGLONG size = 0;
    ASSERT_TRUE(serializable->GetSize(&size));
    EXPECT_EQ(size, 19u);

    ComPtr<IStringObject> narrow;
    narrow = Own(qkTalStringImpl::Create());
    ASSERT_TRUE(narrow->SetStringA("xy"));
    EXPECT_EQ(Hex(SavedBytes(narrow.Get())), Hex({6, 1, 0, 0, 0, 6, 1, 0, 0, 0, 7, 3, 0, 0, 0, 'x', 'y', 0}));

    ComPtr<IStringObject> loaded;
    loaded = Own(qkTalStringImpl::Create());
    ASSERT_TRUE(LoadBytes(loaded.Get(), wideBytes));
    EXPECT_STREQ(loaded->GetStringW(), L"a");
    EXPECT_EQ(loaded->GetType(), IStringObject::TypeWide);
    Bytes version2 = wideBytes;
    version2[1] = 2;
    EXPECT_FALSE(LoadBytes(loaded.Get(), version2));
    Bytes badType = wideBytes;
    badType[6] = 3;
    EXPECT_FALSE(LoadBytes(loaded.Get(), badType));
}

TEST(qkTalStringImpl, ConvertsOnDemandAndCopiesOnlyStrings)
{
    ComPtr<IStringObject> text;
    text = Own(qkTalStringImpl::CreateWithText(L"abc"));
    EXPECT_STREQ(text->GetStringA(), "abc");
    EXPECT_EQ(text->GetType(), IStringObject::TypeWide);
    EXPECT_EQ(text->GetLength(), 3u);
    std::wstring out;
    ASSERT_TRUE(qkLib::GetStringObjectText(text.Get(), out));
    EXPECT_EQ(out, L"abc");

    ComPtr<ICloneable> cloneable = Query<ICloneable>(text.Get(), IID_ICloneable);
    ComPtr<IMemoryObject> memory;
    memory = Own(qkTalMemoryImpl::Create());
    EXPECT_FALSE(cloneable->CopyFrom(memory.Get()));
    EXPECT_STREQ(text->GetStringW(), L"abc");

    ComPtr<IStringObject> other;
    other = Own(qkTalStringImpl::Create());
    other->SetStringA("narrow");
    ASSERT_TRUE(cloneable->CopyFrom(other.Get()));
    EXPECT_EQ(text->GetType(), IStringObject::TypeAnsi);
    EXPECT_STREQ(text->GetStringW(), L"narrow");

    ComPtr<IUnknown> clone;
    ASSERT_TRUE(cloneable->Clone(clone.GetAddressOf()));
    ComPtr<IStringObject> cloned = Query<IStringObject>(clone.Get(), CLSID_qkTalString);
    ASSERT_TRUE(cloned);
    EXPECT_NE(cloned.Get(), text.Get());
    EXPECT_STREQ(cloned->GetStringA(), "narrow");
}

TEST(qkTalMemoryImpl, SavesItsBlockAndCopiesOnlyMemoryObjects)
{
    ComPtr<IMemoryObject> memory;
    memory = Own(qkTalMemoryImpl::Create());
    EXPECT_EQ(Hex(SavedBytes(memory.Get())), Hex({6, 1, 0, 0, 0, 9, 0, 0, 0, 0}));
    const BYTE data[] = {1, 2, 3};
    ASSERT_NE(memory->SetData(data, 3), nullptr);
    const Bytes saved = {6, 1, 0, 0, 0, 9, 3, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(Hex(SavedBytes(memory.Get())), Hex(saved));

    ComPtr<IMemoryObject> loaded;
    loaded = Own(qkTalMemoryImpl::Create());
    ASSERT_TRUE(LoadBytes(loaded.Get(), saved));
    ASSERT_EQ(loaded->GetSize(), 3u);
    EXPECT_EQ(static_cast<BYTE*>(loaded->GetData())[2], 3);

    ComPtr<ICloneable> cloneable = Query<ICloneable>(loaded.Get(), IID_ICloneable);
    ComPtr<IStringObject> text;
    text = Own(qkTalStringImpl::Create());
    EXPECT_FALSE(cloneable->CopyFrom(text.Get()));
    EXPECT_EQ(loaded->GetSize(), 3u);
    ComPtr<IUnknown> clone;
    ASSERT_TRUE(cloneable->Clone(clone.GetAddressOf()));
    EXPECT_EQ(Hex(SavedBytes(clone.Get())), Hex(saved));
}

struct DigestRow {
    const GUID& classId;
    const GUID& sizeId;
    ULONG size;
    ULONG kind;
};
const DigestRow kDigests[] = {
    {CLSID_qkTal128BitDigest, IID_I128BitDigest, 16, 1},
    {CLSID_qkTal160BitDigest, IID_I160BitDigest, 20, 2},
    {CLSID_qkTal256BitDigest, IID_I256BitDigest, 32, 3},
    {CLSID_qkTal512BitDigest, IID_I512BitDigest, 64, 4},
};

ComPtr<IDigest> MakeDigest(const GUID& classId)
{
    ComPtr<IDigest> digest;
    EXPECT_EQ(qkInstanceFactory::GetInstanceFactory()->CreateInstance(classId, IID_IDigest,
                                                                      reinterpret_cast<void**>(digest.GetAddressOf())),
              QK_S_OK);
    return digest;
}

TEST(qkTalDigest, EachSizeIsComparedClonedAndPersisted)
{
    for (const DigestRow& row : kDigests) {
        SCOPED_TRACE(row.kind);
        ComPtr<IDigest> digest = MakeDigest(row.classId);
        ASSERT_TRUE(digest);
        EXPECT_EQ(digest->GetKind(), row.kind);
        EXPECT_EQ(Bytes(digest->GetValue(), digest->GetValue() + row.size), Bytes(row.size, 0));
        const Bytes value = [&] {
            Bytes v(row.size);
            for (ULONG i = 0; i < row.size; ++i)
                v[i] = BYTE(i + row.kind);
            return v;
        }();
        digest->SetValue(value.data());
        ComPtr<ISerializable> serializable = Query<ISerializable>(digest.Get(), IID_ISerializable);
        EXPECT_TRUE(serializable->IsModified());

        // Saved as version 1 and the value as a blob.
        const Bytes saved = Concat({{6, 1, 0, 0, 0, 9, BYTE(row.size), 0, 0, 0}, value});
        EXPECT_EQ(Hex(SavedBytes(digest.Get())), Hex(saved));
        EXPECT_FALSE(serializable->IsModified());
        ComPtr<IDigest> loaded = MakeDigest(row.classId);
        ASSERT_TRUE(LoadBytes(loaded.Get(), saved));
        EXPECT_EQ(Bytes(loaded->GetValue(), loaded->GetValue() + row.size), value);
        Bytes version2 = saved;
        version2[1] = 2;
        EXPECT_FALSE(LoadBytes(loaded.Get(), version2));
        const Bytes shortValue = Concat({{6, 1, 0, 0, 0, 9, BYTE(row.size - 1), 0, 0, 0}, Bytes(row.size - 1, 0xEE)});
        EXPECT_FALSE(LoadBytes(loaded.Get(), shortValue));
        EXPECT_EQ(Bytes(loaded->GetValue(), loaded->GetValue() + row.size), value);

        // Clones are distinct objects with the same value and one reference.
        ComPtr<ICloneable> cloneable = Query<ICloneable>(digest.Get(), IID_ICloneable);
        IUnknown* clone = nullptr;
        ASSERT_TRUE(cloneable->Clone(&clone));
        ComPtr<IDigest> cloned;
        clone->QueryInterface(row.sizeId, reinterpret_cast<void**>(cloned.GetAddressOf()));
        EXPECT_EQ(clone->Release(), 1u);
        EXPECT_NE(cloned.Get(), digest.Get());
        EXPECT_EQ(Bytes(cloned->GetValue(), cloned->GetValue() + row.size), value);
    }
}

TEST(qkTalDigest, OnlyDigestsOfOneSizeCopyAndAnswerEachOther)
{
    for (const DigestRow& row : kDigests) {
        for (const DigestRow& other : kDigests) {
            SCOPED_TRACE(row.kind * 10 + other.kind);
            ComPtr<IDigest> target = MakeDigest(row.classId);
            ComPtr<IDigest> source = MakeDigest(other.classId);
            const Bytes filled(other.size, 0xA5);
            source->SetValue(filled.data());
            ComPtr<ICloneable> cloneable = Query<ICloneable>(target.Get(), IID_ICloneable);
            EXPECT_EQ(cloneable->CopyFrom(source.Get()), row.size == other.size);
            EXPECT_EQ(target->GetValue()[row.size - 1], row.size == other.size ? 0xA5 : 0);
            ComPtr<IUnknown> answer;
            EXPECT_EQ(target->QueryInterface(other.sizeId, reinterpret_cast<void**>(answer.GetAddressOf())),
                      row.size == other.size ? QK_S_OK : QK_E_NOINTERFACE);
        }
    }
}

TEST(qkInstanceFactory, MakesEveryLibraryObjectByItsId)
{
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    ASSERT_NE(factory, nullptr);
    for (const auto& row : qkInstanceFactory::kBuiltIns) {
        IUnknown* first = nullptr;
        IUnknown* second = nullptr;
        ASSERT_EQ(factory->CreateInstance(row.objectId,
                                          row.objectId == CLSID_qkTalString ? CLSID_qkTalString : GUID_NULL,
                                          reinterpret_cast<void**>(&first)),
                  QK_S_OK);
        ASSERT_EQ(factory->CreateInstance(row.objectId, GUID_NULL, reinterpret_cast<void**>(&second)), QK_S_OK);
        EXPECT_NE(first, second);
        ComPtr<ISerializable> serializable;
        ASSERT_EQ(first->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(serializable.GetAddressOf())),
                  QK_S_OK);
        GUID classId{};
        EXPECT_TRUE(serializable->GetClassId(&classId));
        EXPECT_TRUE(classId == row.objectId);
        serializable.Reset();
        EXPECT_EQ(first->Release(), 0u);
        EXPECT_EQ(second->Release(), 0u);
    }
}

} // namespace
