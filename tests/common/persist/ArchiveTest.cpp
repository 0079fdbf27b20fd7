// Typed archive records, byte for byte in both directions, and the media under them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <wrl/client.h>

#include "PersistTestSupport.h"
#include "common/persist/qkByteArrayHolder.h"
#include "common/persist/qkDummyArchive.h"
#include "common/persist/qkMemoryArchive.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStreamArchive.h"
#include "common/persist/qkVariantArrayHolder.h"

using namespace persisttest;
using Microsoft::WRL::ComPtr;
using qkLib::CArchive;

namespace {

constexpr GUID kGuid = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const Bytes kGuidBytes = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07, 9, 10, 11, 12, 13, 14, 15, 16};

struct RecordCase {
    const char* name;
    std::function<BOOL(CArchive&)> write;
    Bytes bytes;
    // Reads the record back and checks the value.
    std::function<bool(CArchive&)> readBack;
};

TEST(CArchive, EveryTypedRecordWritesAndReadsItsGoldenBytes)
{
    SYSTEMTIME st{2026, 12, 4, 10, 17, 1, 2, 3};
    const RecordCase cases[] = {
        {"uint8",
         [](CArchive& a) { return a.WriteUInt8(0xAB); },
         {0x01, 0xAB},
         [](CArchive& a) {
             BYTE v = 0;
             return a.ReadUInt8(&v) && v == 0xAB;
         }},
        {"uint16",
         [](CArchive& a) { return a.WriteUInt16(0x1234); },
         {0x02, 0x34, 0x12},
         [](CArchive& a) {
             USHORT v = 0;
             return a.ReadUInt16(&v) && v == 0x1234;
         }},
        {"uint32",
         [](CArchive& a) { return a.WriteUInt32(1); },
         {0x03, 0x01, 0, 0, 0},
         [](CArchive& a) {
             ULONG v = 0;
             return a.ReadUInt32(&v) && v == 1;
         }},
        {"uint64",
         [](CArchive& a) { return a.WriteUInt64(0x0102030405060708ull); },
         {0x04, 8, 7, 6, 5, 4, 3, 2, 1},
         [](CArchive& a) {
             ULONGLONG v = 0;
             return a.ReadUInt64(&v) && v == 0x0102030405060708ull;
         }},
        {"double",
         [](CArchive& a) { return a.WriteDouble(1.0); },
         {0x05, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
         [](CArchive& a) {
             double v = 0;
             return a.ReadDouble(&v) && v == 1.0;
         }},
        {"long",
         [](CArchive& a) { return a.WriteLong(-2); },
         {0x06, 0xFE, 0xFF, 0xFF, 0xFF},
         [](CArchive& a) {
             LONG v = 0;
             return a.ReadLong(&v) && v == -2;
         }},
        {"ansi text",
         [](CArchive& a) { return a.WriteString("ab"); },
         {0x07, 3, 0, 0, 0, 'a', 'b', 0},
         [](CArchive& a) {
             std::string v;
             return a.ReadString(v) && v == "ab";
         }},
        {"empty wide text",
         [](CArchive& a) { return a.WriteWString(L""); },
         {0x08, 2, 0, 0, 0, 0, 0},
         [](CArchive& a) {
             std::wstring v = L"x";
             return a.ReadWString(v) && v.empty();
         }},
        {"wide text",
         [](CArchive& a) { return a.WriteWString(L"ab"); },
         {0x08, 6, 0, 0, 0, 'a', 0, 'b', 0, 0, 0},
         [](CArchive& a) {
             wchar_t v[3] = {};
             return a.ReadWString(v, sizeof(v)) && std::wstring(v) == L"ab";
         }},
        {"blob",
         [](CArchive& a) {
             const BYTE b[] = {1, 2, 3};
             return a.WriteBlob(b, 3);
         },
         {0x09, 3, 0, 0, 0, 1, 2, 3},
         [](CArchive& a) {
             qkMemory m;
             return a.ReadBlob(m) && m.GetSize() == 3 && static_cast<BYTE*>(m.GetData())[2] == 3;
         }},
        {"empty blob",
         [](CArchive& a) { return a.WriteBlob(nullptr, 0); },
         {0x09, 0, 0, 0, 0},
         [](CArchive& a) {
             qkMemory m;
             return a.ReadBlob(m) && m.GetSize() == 0;
         }},
        {"bool",
         [](CArchive& a) { return a.WriteBool(1); },
         {0x0A, 1},
         [](CArchive& a) {
             BYTE v = 0;
             return a.ReadBool(&v) && v == 1;
         }},
        {"int8",
         [](CArchive& a) { return a.WriteInt8(-1); },
         {0x0C, 0xFF},
         [](CArchive& a) {
             signed char v = 0;
             return a.ReadInt8(&v) && v == -1;
         }},
        {"int16",
         [](CArchive& a) { return a.WriteInt16(-2); },
         {0x0D, 0xFE, 0xFF},
         [](CArchive& a) {
             SHORT v = 0;
             return a.ReadInt16(&v) && v == -2;
         }},
        {"int64",
         [](CArchive& a) { return a.WriteInt64(-1); },
         {0x0E, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         [](CArchive& a) {
             LONGLONG v = 0;
             return a.ReadInt64(&v) && v == -1;
         }},
        {"guid", [](CArchive& a) { return a.WriteGuid(&kGuid); }, Concat({{0x0F}, kGuidBytes}),
         [](CArchive& a) {
             GUID v{};
             return a.ReadGuid(&v) && v == kGuid;
         }},
        {"systemtime",
         [&](CArchive& a) { return a.WriteSystemTime(&st); },
         {0x10, 0xEA, 0x07, 12, 0, 4, 0, 10, 0, 17, 0, 1, 0, 2, 0, 3, 0},
         [&](CArchive& a) {
             SYSTEMTIME v{};
             return a.ReadSystemTime(&v) && std::memcmp(&v, &st, 16) == 0;
         }},
        {"unknown tag as variable record",
         [](CArchive& a) {
             const BYTE b = 7;
             return a.WriteValue(0x20, &b, 1);
         },
         {0x20, 1, 0, 0, 0, 7},
         [](CArchive& a) {
             BYTE v = 0;
             return a.ReadValue(0x20, &v, 1) && v == 7;
         }},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        qkMemoryArchive writer(CArchive::ModeWrite);
        ASSERT_TRUE(c.write(writer));
        EXPECT_EQ(Hex(Written(writer)), Hex(c.bytes));
        EXPECT_EQ(writer.GetByteCount(), c.bytes.size());

        qkMemoryArchive reader(CArchive::ModeRead);
        Fill(reader, c.bytes);
        EXPECT_TRUE(c.readBack(reader));
        EXPECT_EQ(reader.GetByteCount(), c.bytes.size());
        ULONGLONG position = 0;
        reader.GetPosition(&position);
        EXPECT_EQ(position, c.bytes.size());
    }
}

VARIANT MakeByteArray(std::initializer_list<BYTE> bytes, LONG lowerBound = 0)
{
    SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), lowerBound};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    BYTE* data = nullptr;
    SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&data));
    for (BYTE b : bytes)
        *data++ = b;
    SafeArrayUnaccessData(v.parray);
    return v;
}

struct ScopedVariant {
    VARIANT v;
    ScopedVariant() { VariantInit(&v); }
    explicit ScopedVariant(const VARIANT& from) : v(from) {}
    ~ScopedVariant() { VariantClear(&v); }
};

TEST(CArchive, VariantRecordsHaveTheirGoldenBytesAndReadBackEqual)
{
    ScopedVariant empty;
    ScopedVariant text;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocString(L"ab");
    ScopedVariant i4;
    i4.v.vt = VT_I4;
    i4.v.lVal = 7;
    ScopedVariant flag;
    flag.v.vt = VT_BOOL;
    flag.v.boolVal = VARIANT_TRUE;
    ScopedVariant bytes(MakeByteArray({1, 2}));
    ScopedVariant nested;
    {
        SAFEARRAYBOUND bound{2, 0};
        nested.v.vt = VT_ARRAY | VT_VARIANT;
        nested.v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
        VARIANT* items = nullptr;
        SafeArrayAccessData(nested.v.parray, reinterpret_cast<void**>(&items));
        items[0].vt = VT_I2;
        items[0].iVal = 5;
        SafeArrayUnaccessData(nested.v.parray);
    }
    ScopedVariant noBytes(MakeByteArray({}));
    ScopedVariant noVariants;
    {
        SAFEARRAYBOUND bound{0, 0};
        noVariants.v.vt = VT_ARRAY | VT_VARIANT;
        noVariants.v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    }
    ScopedVariant decimal;
    VarDecFromI4(-12345, &decimal.v.decVal);
    decimal.v.vt = VT_DECIMAL;
    Bytes decimalBody(reinterpret_cast<const BYTE*>(&decimal.v), reinterpret_cast<const BYTE*>(&decimal.v) + 16);

    const struct {
        const char* name;
        const VARIANT& value;
        Bytes bytes;
    } cases[] = {
        {"empty", empty.v, {0x0B, 2, 0, 0, 0, 0, 0}},
        {"bstr", text.v, {0x0B, 0x0A, 0, 0, 0, 0x08, 0, 4, 0, 0, 0, 'a', 0, 'b', 0}},
        {"i4", i4.v, {0x0B, 6, 0, 0, 0, 0x03, 0, 7, 0, 0, 0}},
        {"bool", flag.v, {0x0B, 4, 0, 0, 0, 0x0B, 0, 0xFF, 0xFF}},
        {"byte array", bytes.v, {0x0B, 8, 0, 0, 0, 0x11, 0x20, 2, 0, 0, 0, 1, 2}},
        {"variant array", nested.v, {0x0B, 12, 0, 0, 0, 0x0C, 0x20, 2, 0, 0, 0, 2, 0, 5, 0, 0, 0}},
        {"empty byte array", noBytes.v, {0x0B, 6, 0, 0, 0, 0x11, 0x20, 0, 0, 0, 0}},
        {"empty variant array", noVariants.v, {0x0B, 6, 0, 0, 0, 0x0C, 0x20, 0, 0, 0, 0}},
        {"decimal", decimal.v, Concat({{0x0B, 18, 0, 0, 0, 0x0E, 0}, decimalBody})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qkMemoryArchive writer(CArchive::ModeWrite);
        ASSERT_TRUE(writer.WriteVariant(c.value));
        EXPECT_EQ(Hex(Written(writer)), Hex(c.bytes));
        EXPECT_EQ(writer.GetByteCount(), c.bytes.size());

        qkMemoryArchive reader(CArchive::ModeRead);
        Fill(reader, c.bytes);
        ScopedVariant back;
        ASSERT_TRUE(reader.ReadVariant(&back.v));
        EXPECT_EQ(back.v.vt, c.value.vt);
        // Writing what was read gives the same bytes again.
        qkMemoryArchive again(CArchive::ModeWrite);
        ASSERT_TRUE(again.WriteVariant(back.v));
        EXPECT_EQ(Hex(Written(again)), Hex(c.bytes));
    }
}

TEST(CArchive, UnwritableVariantsAreRefusedAndLeaveNoBytes)
{
    ScopedVariant null;
    null.v.vt = VT_NULL;
    ScopedVariant currency;
    currency.v.vt = VT_CY;
    LONG target = 1;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &target;
    ScopedVariant lowerBoundOne(MakeByteArray({1}, 1));
    ScopedVariant twoDimensions;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    twoDimensions.v.vt = VT_ARRAY | VT_UI1;
    twoDimensions.v.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    ScopedVariant noObject;
    noObject.v.vt = VT_UNKNOWN;

    for (const VARIANT* v : {&null.v, &currency.v, &byRef, &lowerBoundOne.v, &twoDimensions.v, &noObject.v}) {
        SCOPED_TRACE(v->vt);
        qkMemoryArchive archive(CArchive::ModeWrite);
        ASSERT_TRUE(archive.WriteUInt8(9));
        EXPECT_FALSE(archive.WriteVariant(*v));
        EXPECT_EQ(archive.GetByteCount(), 2u);
        EXPECT_EQ(Hex(Written(archive)), Hex({0x01, 9}));
    }
}

TEST(SafeArrayHolders, AcceptOnlyVectorsFromZeroAndFollowReferences)
{
    ScopedVariant bytes(MakeByteArray({4, 5, 6}));
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_VARIANT;
    reference.pvarVal = &bytes.v;
    qkByteArrayHolder holder;
    ASSERT_TRUE(holder.Attach(&reference));
    EXPECT_EQ(holder.GetCount(), 3u);
    const BYTE* data = holder.AccessData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[2], 6);
    // The access still held is given back by the holder: the array can be destroyed after it.
    {
        qkByteArrayHolder scoped;
        ASSERT_TRUE(scoped.Attach(&bytes.v));
        ASSERT_NE(scoped.AccessData(), nullptr);
    }
    EXPECT_TRUE(holder.UnaccessData());
    EXPECT_FALSE(holder.Detach(&reference)) << "an attached VARIANT is the caller's";

    ScopedVariant fromOne(MakeByteArray({1}, 1));
    qkVariantArrayHolder variants;
    EXPECT_FALSE(variants.Attach(&fromOne.v));
    EXPECT_FALSE(variants.Attach(&bytes.v)) << "bytes are not VARIANTs";
    ASSERT_TRUE(variants.Create(2));
    ASSERT_TRUE(variants.Lock());
    variants.GetElement(1)->vt = VT_I4;
    EXPECT_EQ(variants.GetElement(2), nullptr);
    EXPECT_FALSE(variants.Detach(&fromOne.v)) << "still locked";
    ASSERT_TRUE(variants.Unlock());
    ASSERT_TRUE(variants.Detach(&fromOne.v));
    EXPECT_EQ(fromOne.v.vt, VT_ARRAY | VT_VARIANT);
}

TEST(CArchive, ReadsThatFailLeaveThePositionForAnotherTry)
{
    qkMemoryArchive archive(CArchive::ModeRead);
    Fill(archive, {0x03, 7, 0, 0, 0, 0x09, 10, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    LONG wrongTag = 0;
    EXPECT_FALSE(archive.ReadLong(&wrongTag));
    ULONG value = 0;
    ASSERT_TRUE(archive.ReadUInt32(&value));
    EXPECT_EQ(value, 7u);

    BYTE small[8];
    ULONG size = 99;
    EXPECT_FALSE(archive.ReadBlob(small, sizeof(small), &size));
    EXPECT_EQ(size, 0u);
    BYTE tag = 0;
    ASSERT_TRUE(archive.PeekValue(&tag, &size));
    EXPECT_EQ(tag, 9);
    EXPECT_EQ(size, 10u);
    BYTE enough[10];
    EXPECT_TRUE(archive.ReadBlob(enough, sizeof(enough), &size));
    EXPECT_EQ(archive.GetByteCount(), 5u + 15u);
}

TEST(CArchive, TheModeDecidesWhetherValuesMayBeWrittenOrRead)
{
    qkMemoryArchive reader(CArchive::ModeRead);
    EXPECT_FALSE(reader.WriteUInt32(1));
    EXPECT_EQ(reader.GetMemory().GetSize(), 0u);
    EXPECT_EQ(reader.GetByteCount(), 0u);

    qkMemoryArchive writer(CArchive::ModeWrite);
    ASSERT_TRUE(writer.WriteUInt32(1));
    writer.SetPosition(0);
    ULONG value = 0;
    EXPECT_FALSE(writer.ReadUInt32(&value));
    ScopedVariant v;
    EXPECT_FALSE(writer.ReadVariant(&v.v));
    EXPECT_EQ(writer.GetByteCount(), 5u);
}

// Lengths read from the medium are checked against what it holds before any allocation.
TEST(CArchive, CraftedLengthsFailWithoutLargeAllocations)
{
    const Bytes huge = {0xF0, 0xFF, 0xFF, 0x7F};
    const struct {
        const char* name;
        Bytes bytes;
        std::function<BOOL(CArchive&)> read;
    } cases[] = {
        {"ansi text", Concat({{0x07}, huge, {'a', 'b'}}),
         [](CArchive& a) {
             std::string s;
             return a.ReadString(s);
         }},
        {"wide text", Concat({{0x08}, huge, {'a', 0}}),
         [](CArchive& a) {
             std::wstring s;
             return a.ReadWString(s);
         }},
        {"blob", Concat({{0x09}, huge, {1}}),
         [](CArchive& a) {
             qkMemory m;
             return a.ReadBlob(m);
         }},
        {"variant record", Concat({{0x0B}, huge, {0, 0}}),
         [](CArchive& a) {
             ScopedVariant v;
             return a.ReadVariant(&v.v);
         }},
        {"bstr", Concat({{0x0B, 10, 0, 0, 0, 0x08, 0}, huge, {1, 2, 3, 4}}),
         [](CArchive& a) {
             ScopedVariant v;
             return a.ReadVariant(&v.v);
         }},
        {"byte array", Concat({{0x0B, 10, 0, 0, 0, 0x11, 0x20}, huge, {1, 2, 3, 4}}),
         [](CArchive& a) {
             ScopedVariant v;
             return a.ReadVariant(&v.v);
         }},
        {"variant array", Concat({{0x0B, 10, 0, 0, 0, 0x0C, 0x20}, huge, {0, 0, 0, 0}}),
         [](CArchive& a) {
             ScopedVariant v;
             return a.ReadVariant(&v.v);
         }},
        {"object", Concat({{0x0B, 10, 0, 0, 0, 0x0D, 0x00}, huge, {0, 0, 0, 0}}),
         [](CArchive& a) {
             ScopedVariant v;
             return a.ReadVariant(&v.v);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qkMemoryArchive archive(CArchive::ModeRead);
        Fill(archive, c.bytes);
        AllocationMeter meter;
        EXPECT_FALSE(c.read(archive));
        EXPECT_LT(meter.Largest(), 4096u);
        ULONGLONG position = 1;
        archive.GetPosition(&position);
        EXPECT_EQ(position, 0u);
    }
}

TEST(CArchive, TextWithoutItsTerminatorIsTakenWithTheStoredLength)
{
    qkMemoryArchive archive(CArchive::ModeRead);
    Fill(archive, {0x07, 3, 0, 0, 0, 'a', 'b', 'c', 0x08, 4, 0, 0, 0, 'x', 0, 'y', 0, 0x07, 3, 0, 0, 0, 'a', 0, 'c'});
    std::string narrow;
    std::wstring wide;
    ASSERT_TRUE(archive.ReadString(narrow));
    EXPECT_EQ(narrow, "abc");
    ASSERT_TRUE(archive.ReadWString(wide));
    EXPECT_EQ(wide, L"xy");
    ASSERT_TRUE(archive.ReadString(narrow));
    EXPECT_EQ(narrow, "a");
}

Bytes NestedArrays(int depth)
{
    // Innermost: an empty variant; each level an array of one element around it.
    Bytes body = {0, 0};
    for (int i = 0; i < depth; ++i)
        body = Concat({{0x0C, 0x20, 1, 0, 0, 0}, body});
    const ULONG length = static_cast<ULONG>(body.size());
    return Concat({{0x0B, static_cast<BYTE>(length), static_cast<BYTE>(length >> 8), 0, 0}, body});
}

TEST(CArchive, VariantArraysNestAtMostTheCap)
{
    for (const auto& [depth, readable] : {std::pair{CArchive::kMaxNesting, true},
                                          std::pair{CArchive::kMaxNesting + 1, false}, std::pair{5000, false}}) {
        SCOPED_TRACE(depth);
        qkMemoryArchive archive(CArchive::ModeRead);
        Fill(archive, NestedArrays(depth));
        ScopedVariant v;
        EXPECT_EQ(archive.ReadVariant(&v.v) != FALSE, readable);
    }
}

// Arrays nested to the cap, each counting as many elements as the bytes after it could hold, so
// that every level claims the same remaining input again.
Bytes GreedyNestedArrays(int depth, ULONG padding)
{
    Bytes body(padding, 0); // empty variants, two bytes each
    for (int i = 0; i < depth; ++i) {
        const ULONG count = static_cast<ULONG>(body.size() / 2);
        body = Concat({{0x0C, 0x20, BYTE(count), BYTE(count >> 8), BYTE(count >> 16), BYTE(count >> 24)}, body});
    }
    const ULONG length = static_cast<ULONG>(body.size());
    return Concat({{0x0B, BYTE(length), BYTE(length >> 8), BYTE(length >> 16), BYTE(length >> 24)}, body});
}

// What a load allocates, counted together (safe arrays and their elements included), stays in
// proportion to its input: an element takes at least two bytes of input and one VARIANT of
// memory, and no two arrays may count the same input bytes for their elements.
TEST(CArchive, ALoadAllocatesInProportionToItsInput)
{
    const struct {
        const char* name;
        Bytes bytes;
        bool readable;
    } cases[] = {
        {"greedy nesting", GreedyNestedArrays(CArchive::kMaxNesting, 4000), false},
        {"one wide array", GreedyNestedArrays(1, 4000), true},
        {"the cap of nesting", NestedArrays(CArchive::kMaxNesting), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qkMemoryArchive archive(CArchive::ModeRead);
        Fill(archive, c.bytes);
        ScopedVariant v;
        std::size_t peak = 0;
        {
            AllocationMeter meter;
            EXPECT_EQ(archive.ReadVariant(&v.v) != FALSE, c.readable);
            peak = meter.PeakTotal();
        }
        EXPECT_GT(peak, 0u);
        EXPECT_LE(peak, 16 * c.bytes.size() + 4096) << c.bytes.size() << " bytes of input";
    }
}

TEST(CArchive, StreamRecordsEmbedAWindowOfTheMedium)
{
    qkMemoryArchive writer(CArchive::ModeWrite);
    ComPtr<IByteStream> window;
    ASSERT_TRUE(writer.WriteStreamValue(4, window.GetAddressOf()));
    EXPECT_TRUE(window->Write("abcd", 4));
    EXPECT_FALSE(window->Write("e", 1));
    EXPECT_FALSE(window->SetSize(8));
    window.Reset();
    ASSERT_TRUE(writer.WriteUInt8(1));
    EXPECT_EQ(Hex(Written(writer)), Hex({0x09, 4, 0, 0, 0, 'a', 'b', 'c', 'd', 0x01, 1}));
    EXPECT_EQ(writer.GetByteCount(), 11u);

    qkMemoryArchive reader(CArchive::ModeRead);
    Fill(reader, Written(writer));
    ASSERT_TRUE(reader.ReadStreamValue(window.GetAddressOf()));
    ULONGLONG size = 0;
    ASSERT_TRUE(window->GetSize(&size));
    EXPECT_EQ(size, 4u);
    char data[5] = {};
    EXPECT_TRUE(window->Read(data, 4));
    EXPECT_STREQ(data, "abcd");
    EXPECT_FALSE(window->SetPosition(5));
    BYTE one = 0;
    EXPECT_TRUE(reader.ReadUInt8(&one));

    // A stream record that claims more than the medium holds is refused where it begins.
    qkMemoryArchive shortReader(CArchive::ModeRead);
    Fill(shortReader, {0x09, 9, 0, 0, 0, 1, 2});
    EXPECT_FALSE(shortReader.ReadStreamValue(window.ReleaseAndGetAddressOf()));
    ULONGLONG position = 1;
    shortReader.GetPosition(&position);
    EXPECT_EQ(position, 0u);
}

TEST(qkMemoryArchive, PositionsStayInsideTheBuffer)
{
    qkMemoryArchive archive(CArchive::ModeWrite);
    ASSERT_TRUE(archive.WriteUInt32(1));
    EXPECT_FALSE(archive.SetPosition(6));
    EXPECT_TRUE(archive.SetPosition(5));
    EXPECT_FALSE(archive.SetPosition(0x100000000ull));

    qkMemoryArchive reader(CArchive::ModeRead);
    Fill(reader, {1, 2});
    BYTE three[3];
    EXPECT_FALSE(reader.Read(three, 3));
    ULONGLONG position = 9;
    reader.GetPosition(&position);
    EXPECT_EQ(position, 0u);
}

TEST(qkDummyArchive, CountsWhatASerializationTakes)
{
    qkDummyArchive counter(CArchive::ModeWrite);
    ASSERT_TRUE(counter.WriteWString(L"abc"));
    EXPECT_EQ(counter.GetByteCount(), 13u);
    ComPtr<IByteStream> window;
    ASSERT_TRUE(counter.WriteStreamValue(100, window.GetAddressOf()));
    EXPECT_TRUE(window->Write(nullptr, 0));
    EXPECT_EQ(counter.GetByteCount(), 13u + 105u);
}

TEST(qkTalStreamArchive, StartsAtTheStreamAndLeavesItAfterEverythingTouched)
{
    ComPtr<qkTalMemoryStreamImpl> stream;
    stream = Own(qkTalMemoryStreamImpl::Create());
    ASSERT_TRUE(stream->SetSize(10));
    ASSERT_TRUE(stream->SetPosition(10));
    {
        qkTalStreamArchive archive(CArchive::ModeWrite);
        ASSERT_TRUE(archive.Attach(stream.Get()));
        ASSERT_TRUE(archive.WriteUInt32(0x01020304));
        ASSERT_TRUE(archive.SetPosition(10));
        ULONGLONG start = 0;
        EXPECT_TRUE(archive.GetStartPosition(&start));
        EXPECT_EQ(start, 10u);
    }
    ULONGLONG position = 0;
    stream->GetPosition(&position);
    EXPECT_EQ(position, 15u);

    qkTalStreamArchive detached(CArchive::ModeWrite);
    EXPECT_FALSE(detached.Attach(nullptr));
    EXPECT_FALSE(detached.WriteUInt8(1));
    EXPECT_FALSE(detached.GetPosition(&position));
    EXPECT_FALSE(detached.SetPosition(0));
    BYTE b = 0;
    EXPECT_FALSE(detached.Read(&b, 1));
}

} // namespace
