// Typed values: the conversion table, sizes, saved forms and object copies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include <wrl/client.h>

#include "PersistTestSupport.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/persist/qkTalValue.h"

using namespace persisttest;
using V = qkTalValue;

namespace {

// A counted object that answers nothing but IUnknown: it cannot be cloned or saved.
class PlainObject : public qkTalCountedObject, public IUnknown {
public:
    QK_TAL_UNKNOWN_IMPL()

protected:
    void* GetInterface(REFIID iid) override
    {
        return iid == GUID_NULL || iid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
    }
};

ULONGLONG Bits(double d)
{
    ULONGLONG u;
    std::memcpy(&u, &d, 8);
    return u;
}

void Make(V& value, ULONG kind, ULONGLONG raw)
{
    ASSERT_TRUE(value.SetType(kind));
    std::memcpy(value.GetData(), &raw, V::FixedSizeOf(kind));
}

ULONGLONG Raw(const V& value)
{
    ULONGLONG raw = 0;
    std::memcpy(&raw, value.GetData(), V::FixedSizeOf(value.GetType()));
    return raw;
}

TEST(qkTalValue, ConversionTable)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        ULONG from;
        ULONGLONG raw;
        ULONG to;
        bool allowed;
        ULONGLONG expected; // raw bits of the converted value
    } cases[] = {
        {V::eInt8, 0xFF, V::eBool, true, 0}, // -1 is not greater than 0
        {V::eUInt8, 0xFF, V::eBool, true, 1},
        {V::eDouble, Bits(-0.5), V::eBool, true, 0},
        {V::eDouble, Bits(nan), V::eBool, true, 0},
        {V::eDouble, Bits(2.5), V::eBool, true, 1},
        {V::eInt32, 0xFFFFFFFF, V::eBool, true, 0},
        {V::eUInt32, 0xFFFFFFFF, V::eBool, true, 1},
        {V::eInt64, 0x8000000000000000ull, V::eBool, true, 0},
        {V::eBool, 1, V::eInt64, true, 1},
        {V::eBool, 1, V::eDouble, true, Bits(1.0)},
        {V::eInt8, 0xFF, V::eUInt8, true, 0xFF},
        {V::eInt8, 0xFF, V::eUInt16, true, 0xFFFF},
        {V::eInt8, 0x80, V::eInt32, true, 0xFFFFFF80},
        {V::eUInt8, 0x80, V::eInt32, true, 0x80},
        {V::eInt16, 5, V::eInt8, false, 0},
        {V::eInt16, 0xFFFE, V::eUInt32, true, 0xFFFFFFFE},
        {V::eInt16, 0xFFFE, V::eUInt16, true, 0xFFFE},
        {V::eInt16, 1, V::eUInt8, false, 0},
        {V::eUInt16, 0x8001, V::eInt16, true, 0x8001},
        {V::eUInt16, 0x8001, V::eInt64, true, 0x8001},
        {V::eUInt16, 1, V::eInt8, false, 0},
        {V::eInt32, 0xFFFFFFFF, V::eUInt64, true, 0xFFFFFFFFFFFFFFFFull},
        {V::eInt32, 0xFFFFFFFF, V::eDouble, true, Bits(-1.0)},
        {V::eInt32, 1, V::eInt16, false, 0},
        {V::eUInt32, 0xFFFFFFFF, V::eDouble, true, Bits(4294967295.0)},
        {V::eUInt32, 0xFFFFFFFF, V::eInt32, true, 0xFFFFFFFF},
        {V::eUInt32, 0xFFFFFFFF, V::eInt64, true, 0xFFFFFFFF},
        {V::eUInt32, 1, V::eUInt16, false, 0},
        {V::eInt64, 0xFFFFFFFFFFFFFFFDull, V::eDouble, true, Bits(-3.0)},
        {V::eInt64, 1, V::eInt32, false, 0},
        {V::eUInt64, 0x8000000000000000ull, V::eDouble, true, Bits(9223372036854775808.0)},
        {V::eUInt64, 0x8000000000000000ull, V::eInt64, true, 0x8000000000000000ull},
        {V::eUInt64, 1, V::eUInt32, false, 0},
        {V::eDouble, Bits(1.0), V::eInt32, false, 0},
        {V::eDouble, Bits(1.0), V::eInt64, false, 0},
        {V::eGuid, 0, V::eBool, false, 0},
        {V::eSystemTime, 0, V::eDouble, false, 0},
        {V::eInt32, 0, V::eEmpty, false, 0},
        {V::eInt32, 0, V::eString, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "from " << c.from << " to " << c.to << " raw " << c.raw);
        V value;
        Make(value, c.from, c.raw);
        EXPECT_EQ(value.CanChangeType(c.to), c.allowed);
        EXPECT_EQ(value.GetType(), c.from);
        EXPECT_EQ(Raw(value),
                  c.raw & (V::FixedSizeOf(c.from) == 8 ? ~0ull : (1ull << (8 * V::FixedSizeOf(c.from))) - 1));
        EXPECT_EQ(value.ChangeType(c.to), c.allowed);
        if (c.allowed) {
            EXPECT_EQ(value.GetType(), c.to);
            EXPECT_EQ(Raw(value), c.expected);
        } else {
            EXPECT_EQ(value.GetType(), c.from);
        }
    }
}

TEST(qkTalValue, TextConvertsBetweenAnsiAndWide)
{
    V value;
    ASSERT_TRUE(value.SetType(V::eString));
    *value.GetString() = "abc";
    EXPECT_EQ(value.GetSize(), 4u);
    ASSERT_TRUE(value.ChangeType(V::eWString));
    EXPECT_EQ(*value.GetWString(), L"abc");
    EXPECT_EQ(value.GetSize(), 8u);
    EXPECT_FALSE(value.ChangeType(V::eBinary));
    ASSERT_TRUE(value.ChangeType(V::eString));
    EXPECT_EQ(*value.GetString(), "abc");
}

TEST(qkTalValue, SavedFormsAndLoadRefusals)
{
    const auto saved = [](const V& value) {
        qkMemoryArchive archive(qkLib::CArchive::ModeWrite);
        EXPECT_TRUE(value.Save(archive));
        return Written(archive);
    };
    V empty;
    EXPECT_EQ(Hex(saved(empty)), Hex({0x01, 0x00}));
    V i16;
    Make(i16, V::eInt16, 0xFFFE);
    EXPECT_EQ(Hex(saved(i16)), Hex({0x01, 0x04, 0x0D, 0xFE, 0xFF}));
    V wide;
    wide.SetType(V::eWString);
    *wide.GetWString() = L"abc";
    const Bytes wideBytes = {0x01, 0x0E, 0x08, 8, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(Hex(saved(wide)), Hex(wideBytes));
    V guid;
    Make(guid, V::eGuid, 0x1122);
    EXPECT_EQ(saved(guid).size(), 2u + 17u);

    for (const Bytes& bytes : {wideBytes, saved(i16), saved(guid)}) {
        qkMemoryArchive reader(qkLib::CArchive::ModeRead);
        Fill(reader, bytes);
        V back;
        ASSERT_TRUE(back.Load(nullptr, reader));
        EXPECT_EQ(Hex(saved(back)), Hex(bytes));
    }
    // A kind beyond the last, or a payload under another tag, is refused.
    for (const Bytes& bytes :
         {Bytes{0x01, 18}, Bytes{0x01, 0x04, 0x02, 0xFE, 0xFF}, Bytes{0x01, 0x11, 0x09, 16, 0, 0, 0}}) {
        qkMemoryArchive reader(qkLib::CArchive::ModeRead);
        Fill(reader, bytes);
        V back;
        EXPECT_FALSE(back.Load(nullptr, reader)) << Hex(bytes);
    }
    V refused;
    EXPECT_FALSE(refused.SetType(18));
    EXPECT_EQ(refused.GetType(), V::eEmpty);
}

TEST(qkTalValue, ObjectsAreSharedOrCloned)
{
    Microsoft::WRL::ComPtr<IStringObject> text;
    text = Own(qkTalStringImpl::CreateWithText(L"shared"));
    V source;
    ASSERT_TRUE(source.SetType(V::eObject));
    ASSERT_TRUE(V::CopyObject(text.Get(), source.GetObjectHolder(), false));

    V shared;
    ASSERT_TRUE(shared.Copy(source, false));
    EXPECT_EQ(*shared.GetObjectHolder(), *source.GetObjectHolder());
    V cloned;
    ASSERT_TRUE(cloned.Copy(source, true));
    ASSERT_NE(*cloned.GetObjectHolder(), *source.GetObjectHolder());
    IStringObject* clonedText = nullptr;
    (*cloned.GetObjectHolder())->QueryInterface(CLSID_qkTalString, reinterpret_cast<void**>(&clonedText));
    EXPECT_STREQ(clonedText->GetStringW(), L"shared");
    clonedText->Release();
    // Three holders now: the test's, source's and shared's.
    EXPECT_EQ(text->AddRef(), 4u);
    text->Release();

    auto* plain = new PlainObject();
    plain->AddRef();
    V withPlain;
    withPlain.SetType(V::eObject);
    ASSERT_TRUE(V::CopyObject(plain, withPlain.GetObjectHolder(), false));
    plain->Release();
    V target;
    Make(target, V::eInt32, 5);
    EXPECT_FALSE(target.Copy(withPlain, true));
    EXPECT_EQ(target.GetType(), V::eEmpty);
    // A plain object has no saved form: neither size nor record.
    EXPECT_EQ(withPlain.GetSize(), 0u);
    qkMemoryArchive archive(qkLib::CArchive::ModeWrite);
    EXPECT_FALSE(withPlain.Save(archive));
}

} // namespace
