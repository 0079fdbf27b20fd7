// Deterministic mutations of saved archive bytes and of store files: every case ends in a
// result, without a crash, without an allocation larger than its input and without holding more
// at once than its input allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <wrl/client.h>

#include "PersistTestSupport.h"
#include "tests/support/TestRandom.h"
#include "common/persist/qkDataStore.h"
#include "common/persist/qkTalDigest.h"
#include "common/persist/qkTalIndexValueCollectionImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStringImpl.h"

using namespace persisttest;
using testrandom::Lcg;
using Microsoft::WRL::ComPtr;

namespace {

// One mutation of the bytes, chosen by the generator.
Bytes Mutate(const Bytes& original, Lcg& random)
{
    Bytes bytes = original;
    const ULONG size = static_cast<ULONG>(bytes.size());
    switch (random.Below(7)) {
    case 0: // flip one bit
        bytes[random.Below(size)] ^= static_cast<BYTE>(1u << random.Below(8));
        break;
    case 1: // one byte to a random value
        bytes[random.Below(size)] = static_cast<BYTE>(random.Next());
        break;
    case 2: // cut the end off
        bytes.resize(random.Below(size));
        break;
    case 3: { // a 32-bit field to a large or edge value
        const ULONG at = random.Below(size > 4 ? size - 4 : 1);
        const ULONG values[] = {0xFFFFFFFF, 0x7FFFFFFF, 0x1F400001, 0x80000000, 0, size, size + 1};
        const ULONG v = values[random.Below(7)];
        for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
            bytes[at + i] = static_cast<BYTE>(v >> (8 * i));
        break;
    }
    case 4: { // insert random bytes
        const ULONG at = random.Below(size);
        Bytes extra(1 + random.Below(8));
        for (BYTE& b : extra)
            b = static_cast<BYTE>(random.Next());
        bytes.insert(bytes.begin() + at, extra.begin(), extra.end());
        break;
    }
    case 5: { // zero a range
        const ULONG at = random.Below(size);
        const ULONG n = std::min<ULONG>(1 + random.Below(48), size - at);
        std::fill_n(bytes.begin() + at, n, 0);
        break;
    }
    default: { // several flips
        for (int i = 0; i < 4; ++i)
            bytes[random.Below(size)] ^= static_cast<BYTE>(random.Next());
        break;
    }
    }
    return bytes;
}

Bytes RichCollectionBytes()
{
    auto inner = Own(qkTalIndexValueCollectionImpl::Create());
    inner->AppendWString(L"inner text");
    inner->AppendInt64(-5);
    auto leaf = Own(qkTalStringImpl::CreateWithText(L"leaf"));
    inner->AppendObject(leaf.Get());
    auto digest = Own(qkTal256BitDigest::Create());
    const BYTE value[32] = {1, 2, 3};
    digest->SetValue(value);
    inner->AppendObject(digest.Get());

    auto outer = Own(qkTalKeyValueCollectionImpl::Create());
    outer->SetObject(1, inner.Get());
    outer->SetString(2, "ansi");
    const BYTE block[] = {9, 8, 7, 6};
    outer->SetBinary(3, block, 4);
    outer->SetDouble(4, 3.5);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"variant");
    outer->SetVariant(5, &v);
    VariantClear(&v);
    SAFEARRAYBOUND bound{2, 0};
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    outer->SetVariant(6, &v);
    VariantClear(&v);
    GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    outer->SetGuid(7, &guid);

    auto stream = Own(qkTalMemoryStreamImpl::Create());
    ComPtr<ISerializable> serializable;
    outer->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(serializable.GetAddressOf()));
    EXPECT_TRUE(serializable->Save(stream.Get()));
    const BYTE* data = static_cast<const BYTE*>(stream->GetMemory().GetData());
    return Bytes(data, data + stream->GetMemory().GetSize());
}

TEST(Mutations, ArchiveBytesAlwaysLoadOrFail)
{
    const Bytes original = RichCollectionBytes();
    ASSERT_GT(original.size(), 200u);
    Lcg random(20261210);
    int loaded = 0;
    for (int i = 0; i < 4000; ++i) {
        const Bytes bytes = Mutate(original, random);
        auto stream = Own(qkTalMemoryStreamImpl::Create());
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()));
        stream->SetPosition(0);
        auto target = Own(qkTalKeyValueCollectionImpl::Create());
        ComPtr<ISerializable> serializable;
        target->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(serializable.GetAddressOf()));
        bool ok = false;
        std::size_t largest = 0;
        std::size_t peak = 0;
        {
            AllocationMeter meter;
            ok = serializable->Load(stream.Get());
            largest = meter.Largest();
            peak = meter.PeakTotal();
        }
        ASSERT_LE(largest, std::max<std::size_t>(bytes.size(), 4096)) << "case " << i << ": " << Hex(bytes);
        // Everything the load held at once, safe arrays and BSTRs included: in proportion to
        // the input (a VARIANT of memory for two bytes of input at most).
        ASSERT_LE(peak, 16 * bytes.size() + 4096) << "case " << i << ": " << Hex(bytes);
        if (!ok) {
            ASSERT_EQ(target->GetCount(), 0u) << "case " << i;
            continue;
        }
        ++loaded;
        // What loads saves again.
        auto again = Own(qkTalMemoryStreamImpl::Create());
        EXPECT_TRUE(serializable->Save(again.Get())) << "case " << i;
    }
    EXPECT_GT(loaded, 0);
}

Bytes ReadAll(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::wstring& path, const Bytes& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ListingStore : public qkDataStore {
public:
    ListingStore() : qkDataStore(0xE784E891, 1, 0xE4356F7C, 1) {}
    std::vector<ULONGLONG> ids;
    BOOL OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size) override
    {
        if (size)
            ids.push_back(header.id);
        return qkDataStore::OnVerifyRecord(header, data, size);
    }
};

TEST(Mutations, StoreFilesAlwaysOpenOrFail)
{
    TempFolder folder;
    const std::wstring path = folder.Path(L"mutated.dat");
    Bytes closed, open;
    {
        ListingStore store;
        ASSERT_TRUE(
            store.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, 0, 8));
        ULONGLONG ids[6] = {};
        for (int i = 0; i < 6; ++i) {
            const Bytes data(20 + 15 * i, static_cast<BYTE>(i));
            ASSERT_TRUE(store.AddRecord(data.data(), static_cast<DWORD>(data.size()), &ids[i]));
        }
        ASSERT_TRUE(store.DeleteRecord(ids[1]));
        ASSERT_TRUE(store.DeleteRecord(ids[3]));
        open = ReadAll(path);
        ASSERT_TRUE(store.Close());
        closed = ReadAll(path);
    }
    Lcg random(4711);
    int opened = 0;
    for (int i = 0; i < 800; ++i) {
        const Bytes bytes = Mutate(i % 2 ? open : closed, random);
        WriteAll(path, bytes);
        ListingStore store;
        AllocationMeter meter;
        if (!store.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0, 8)) {
            ASSERT_NE(store.GetLastError(), 0u) << "case " << i;
            continue;
        }
        ++opened;
        for (ULONGLONG id : store.ids) {
            DWORD size = 0;
            ASSERT_TRUE(store.GetRecordSize(id, &size)) << "case " << i;
            Bytes data(size);
            EXPECT_TRUE(store.ReadRecord(id, data.data(), size)) << "case " << i;
        }
        const Bytes extra(33, 0x77);
        ULONGLONG added = 0;
        if (!store.AddRecord(extra.data(), 33, &added)) {
            EXPECT_NE(store.GetLastError(), 0u) << "case " << i;
        }
        if (!store.ids.empty() && !store.DeleteRecord(store.ids.front())) {
            EXPECT_NE(store.GetLastError(), 0u) << "case " << i;
        }
        store.Close();
        ASSERT_LE(meter.Largest(), std::max<std::size_t>(bytes.size(), 4096)) << "case " << i;
    }
    EXPECT_GT(opened, 0);
}

} // namespace
