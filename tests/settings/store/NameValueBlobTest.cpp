// The name/value blob: golden bytes, case-insensitive names, removal, parse refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "SettingsTestSupport.h"
#include "settings/blob/CNameValueBlob.h"

using namespace qkSettings;

namespace {

using settingstest::Cs;

std::vector<BYTE> Serialized(const CNameValueBlob& blob)
{
    std::vector<BYTE> out(blob.TotalSize());
    DWORD size = static_cast<DWORD>(out.size());
    EXPECT_EQ(status::kSuccess, blob.Serialize(out.data(), &size));
    out.resize(size);
    return out;
}

std::vector<BYTE> Record(BYTE fill)
{
    return std::vector<BYTE>(24, fill);
}

} // namespace

TEST(NameValueBlob, GoldenBytes)
{
    CNameValueBlob blob;
    const std::vector<BYTE> empty = {0x4E, 0x44, 0x4E, 0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0};
    EXPECT_EQ(empty, Serialized(blob));

    ASSERT_EQ(status::kSuccess, blob.SetValue(Cs(L"A"), Record(0).data()));
    std::vector<BYTE> one = {0x4E, 0x44, 0x4E, 0x44, 0, 0, 0, 0, 1, 0, 0, 0, 42, 0, 0, 0};
    one.insert(one.end(), 20, 0);
    one.insert(one.end(), {2, 0, 0, 0, 0x41, 0});
    EXPECT_EQ(one, Serialized(blob));
    EXPECT_EQ(0u, CNameValueBlob::BucketOf(Cs(L"A")));

    // One byte short: too small, with the needed size.
    std::vector<BYTE> room(41);
    DWORD size = 41;
    EXPECT_EQ(status::kBufferTooSmall, blob.Serialize(room.data(), &size));
    EXPECT_EQ(42u, size);
}

TEST(NameValueBlob, CaseInsensitiveNamesRemovalAndRoundTrip)
{
    CNameValueBlob blob;
    ASSERT_EQ(status::kSuccess, blob.SetValue(Cs(L"Proxy"), Record(1).data()));
    ASSERT_EQ(status::kSuccess, blob.SetValue(Cs(L"PROXY"), Record(2).data()));
    EXPECT_EQ(1u, blob.Count());
    EXPECT_EQ(CNameValueBlob::BucketOf(Cs(L"proxy")), CNameValueBlob::BucketOf(Cs(L"PROXY")));
    BYTE* rec = nullptr;
    ASSERT_EQ(status::kSuccess, blob.FindValue(Cs(L"proxy"), &rec));
    EXPECT_EQ(2, rec[0]);
    bool firstSpelling = false;
    blob.ForEach([&](const CountedString& name, const BYTE*) {
        firstSpelling = std::wmemcmp(name.text, L"Proxy", 5) == 0;
        return true;
    });
    EXPECT_TRUE(firstSpelling);

    for (const wchar_t* name : {L"a", L"bb", L"Timeout", L"n"})
        ASSERT_EQ(status::kSuccess, blob.SetValue(Cs(name), Record(3).data()));
    DWORD before = blob.TotalSize();
    ASSERT_EQ(status::kSuccess, blob.RemoveValue(Cs(L"TIMEOUT")));
    EXPECT_EQ(status::kSuccess, blob.RemoveValue(Cs(L"absent")));
    EXPECT_EQ(before - 24 - 14, blob.TotalSize());
    EXPECT_EQ(4u, blob.Count());
    EXPECT_EQ(status::kNotFound, blob.FindValue(Cs(L"Timeout"), &rec));
    BYTE copy[24];
    EXPECT_EQ(status::kNotFound, blob.CopyValue(Cs(L"Timeout"), copy));

    std::vector<BYTE> bytes = Serialized(blob);
    EXPECT_EQ(blob.TotalSize(), bytes.size());
    CNameValueBlob parsed;
    ASSERT_EQ(status::kSuccess, parsed.Parse(bytes.data(), static_cast<DWORD>(bytes.size())));
    EXPECT_EQ(bytes, Serialized(parsed));
    ASSERT_EQ(status::kSuccess, parsed.CopyValue(Cs(L"BB"), copy));
    EXPECT_EQ(3, copy[0]);

    // Set again after removal: a new entry, serialised as well.
    ASSERT_EQ(status::kSuccess, blob.SetValue(Cs(L"Timeout"), Record(4).data()));
    EXPECT_EQ(before, blob.TotalSize());

    CByteBuffer records;
    ASSERT_EQ(status::kSuccess, blob.CollectRecords(records));
    EXPECT_EQ(5u * 24, records.Size());

    DWORD key[3] = {1, 2, 3};
    blob.SetKey(key);
    blob.OwnerWords()[4] = 77;
    CNameValueBlob clone;
    ASSERT_EQ(status::kSuccess, blob.Clone(clone));
    EXPECT_TRUE(clone.IsSameKey(key));
    EXPECT_EQ(blob.KeyHash(), clone.KeyHash());
    EXPECT_EQ(77u, clone.OwnerWords()[4]);
    EXPECT_EQ(Serialized(blob), Serialized(clone));
}

TEST(NameValueBlob, IdentityHashIsElfHashOfKeyBytes)
{
    DWORD key[3] = {0x04030201, 0x08070605, 0x0C0B0A09};
    DWORD h = 0;
    for (int b = 1; b <= 12; ++b) {
        h = (h << 4) + static_cast<DWORD>(b);
        DWORD g = h & 0xF0000000;
        if (g)
            h ^= g >> 24;
        h &= ~g;
    }
    EXPECT_EQ(h, CNameValueBlob::KeyHashOf(key));
}

TEST(NameValueBlob, ParseRefusesDamagedBlobs)
{
    CNameValueBlob good;
    ASSERT_EQ(status::kSuccess, good.SetValue(Cs(L"A"), Record(0).data()));
    ASSERT_EQ(status::kSuccess, good.SetValue(Cs(L"Name"), Record(0).data()));
    const std::vector<BYTE> base = Serialized(good);

    struct Case {
        const char* what;
        size_t offset;
        DWORD value;
        size_t cut;
        NtStatus expected;
    } cases[] = {
        {"magic", 0, 0x41414141, 0, status::kFileCorrupt},
        {"total beyond data", 12, 1000, 0, status::kFileCorrupt},
        {"total below header", 12, 8, 0, status::kFileCorrupt},
        {"bucket 13", 16 + 22, 13, 0, status::kFileCorrupt},
        {"last name past end", 0, 0, 1, status::kFileCorrupt},
        {"count larger than entries", 8, 3, 0, status::kFileCorrupt},
        {"count smaller than entries", 8, 1, 0, status::kFileCorrupt},
        {"name length odd", 16 + 20, 3, 0, status::kFileCorrupt},
        {"shorter than header", 0, 0, base.size() - 15, status::kInvalidParameter},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> bytes = base;
        if (c.offset != 0 || c.value != 0) {
            if (c.offset == 16 + 22 || c.offset == 16 + 20)
                std::memcpy(bytes.data() + c.offset, &c.value, 2);
            else
                std::memcpy(bytes.data() + c.offset, &c.value, 4);
        }
        bytes.resize(bytes.size() - c.cut);
        CNameValueBlob parsed;
        EXPECT_EQ(c.expected, parsed.Parse(bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    CNameValueBlob parsed;
    EXPECT_EQ(status::kInvalidParameter, parsed.Parse(nullptr, 16));
}
