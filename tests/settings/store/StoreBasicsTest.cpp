// Counted strings, the string buffer, result-code tables and the block cipher.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "settings/store/CBlowfishCipher.h"
#include "settings/store/CStringBuffer.h"
#include "settings/store/CountedString.h"
#include "settings/store/qkSettingsResult.h"
#include "settings/store/qkSettingsText.h"

using namespace qkSettings;

namespace {

std::vector<BYTE> Hex(const char* hex)
{
    std::vector<BYTE> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<BYTE>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

// Reverses the bytes inside each 4-byte half: the store reads block words little-endian.
std::vector<BYTE> SwapHalves(std::vector<BYTE> b)
{
    for (size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::swap(b[i], b[i + 3]);
        std::swap(b[i + 1], b[i + 2]);
    }
    return b;
}

using settingstest::Cs;

} // namespace

TEST(BlowfishCipher, PublishedVectorsUnderLittleEndianWords)
{
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    } cases[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::vector<BYTE> key = Hex(c.key);
        CBlowfishCipher bf;
        bf.SetKey(key.data(), static_cast<DWORD>(key.size()));
        std::vector<BYTE> in = SwapHalves(Hex(c.plain));
        std::vector<BYTE> out(8);
        DWORD size = 8;
        ASSERT_TRUE(bf.Encrypt(in.data(), 8, out.data(), &size));
        EXPECT_EQ(8u, size);
        EXPECT_EQ(SwapHalves(Hex(c.cipher)), out);
        // In place, back again.
        size = 8;
        ASSERT_TRUE(bf.Decrypt(out.data(), 8, out.data(), &size));
        EXPECT_EQ(in, out);
    }
}

TEST(BlowfishCipher, RefusesBadSizesAndKeepsFirstKey)
{
    BYTE key1[] = {1, 2, 3}, key2[] = {9, 9, 9};
    CBlowfishCipher a, b;
    a.SetKey(key1, 3);
    a.SetKey(key2, 3); // no effect
    b.SetKey(key1, 3);
    EXPECT_EQ(8u, a.GetBlockSize());

    BYTE src[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    BYTE outA[16], outB[16];
    DWORD sa = 16, sb = 16;
    ASSERT_TRUE(a.Encrypt(src, 16, outA, &sa));
    ASSERT_TRUE(b.Encrypt(src, 16, outB, &sb));
    EXPECT_EQ(0, std::memcmp(outA, outB, 16));
    // Blocks are independent: equal plain blocks give equal cipher blocks.
    BYTE twin[16] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    sa = 16;
    ASSERT_TRUE(a.Encrypt(twin, 16, outA, &sa));
    EXPECT_EQ(0, std::memcmp(outA, outA + 8, 8));

    BYTE target[16];
    std::memset(target, 0xAB, sizeof(target));
    DWORD room = 16;
    EXPECT_FALSE(a.Encrypt(src, 12, target, &room));
    room = 8;
    EXPECT_FALSE(a.Decrypt(src, 16, target, &room));
    for (BYTE v : target)
        EXPECT_EQ(0xAB, v);
}

TEST(CountedStrings, MakeCompareAndWireForm)
{
    CountedString s = Cs(L"Abc");
    EXPECT_EQ(6, s.length);
    EXPECT_EQ(8, s.capacity);
    CountedString empty = Cs(nullptr);
    EXPECT_EQ(0, empty.length);
    std::wstring longText(32768, L'x');
    CountedString tooLong;
    EXPECT_EQ(E_INVALIDARG, MakeCountedString(longText.c_str(), tooLong));

    EXPECT_EQ(0, CompareNames(Cs(L"SETTINGS"), Cs(L"settings")));
    EXPECT_TRUE(NamesEqual(Cs(L"SETTINGS"), Cs(L"settings")));
    EXPECT_EQ(4, CompareNames(Cs(L"abcd"), Cs(L"ab")));
    EXPECT_EQ(-4, CompareNames(Cs(L"ab"), Cs(L"abcd")));
    EXPECT_LT(CompareNames(Cs(L"abc"), Cs(L"abd")), 0);
    EXPECT_GT(CompareNames(Cs(L"b"), Cs(L"abc")), 0);

    BYTE wire[8] = {};
    DWORD used = 0;
    EXPECT_EQ(status::kBufferTooSmall, WriteCounted(s, wire, 7, &used));
    EXPECT_EQ(status::kInvalidParameter, WriteCounted(s, nullptr, 8, &used));
    ASSERT_EQ(status::kSuccess, WriteCounted(s, wire, 8, &used));
    EXPECT_EQ(8u, used);
    const BYTE expected[] = {6, 0, 'A', 0, 'b', 0, 'c', 0};
    EXPECT_EQ(0, std::memcmp(expected, wire, 8));

    CountedString back;
    ASSERT_EQ(status::kSuccess, ReadCounted(wire, 8, back, &used));
    EXPECT_TRUE(NamesEqual(s, back));
    EXPECT_EQ(reinterpret_cast<wchar_t*>(wire + 2), back.text);
    // Too short, length past the room, odd length.
    struct Bad {
        std::vector<BYTE> bytes;
    } bad[] = {{{6}}, {{8, 0, 1, 2, 3, 4, 5, 6}}, {{3, 0, 1, 2, 3}}};
    for (auto& b : bad)
        EXPECT_EQ(status::kInvalidParameter,
                  ReadCounted(b.bytes.data(), static_cast<DWORD>(b.bytes.size()), back, &used));
}

TEST(CountedStrings, BufferGrowsOutOfInlineAndStaysTerminated)
{
    CStringBuffer buf;
    EXPECT_TRUE(buf.IsInline());
    ASSERT_EQ(status::kSuccess, buf.Assign(L"0123456789"));
    EXPECT_TRUE(buf.IsInline());
    ASSERT_EQ(status::kSuccess, buf.Append(L"abcdefghij"));
    EXPECT_FALSE(buf.IsInline());
    EXPECT_STREQ(L"0123456789abcdefghij", buf.Text());
    EXPECT_EQ(40, buf.Length());
    ASSERT_EQ(status::kSuccess, buf.Assign(L"x"));
    EXPECT_STREQ(L"x", buf.Text());
    EXPECT_EQ(status::kBufferOverflow, buf.Grow(32768));

    CountedString target{0, 6, nullptr};
    wchar_t room[3] = {L'a', 0, 0};
    target.text = room;
    target.length = 2;
    EXPECT_EQ(status::kBufferTooSmall, AppendCounted(target, Cs(L"bcd")));
    EXPECT_EQ(status::kSuccess, AppendCounted(target, Cs(L"bc")));
    EXPECT_EQ(6, target.length);
}

// The longest text a buffer holds, 32,767 units, still ends in a terminator.
TEST(CountedStrings, LongestBufferIsTerminated)
{
    std::wstring longest(32767, L'k');
    CStringBuffer buf;
    {
        // Freed just before, so that the buffer's block is likely to hold no zero there.
        std::vector<wchar_t> used(32768, L'z');
    }
    ASSERT_EQ(status::kSuccess, buf.Assign(longest.c_str()));
    EXPECT_EQ(65534, buf.Length());
    EXPECT_EQ(0, buf.Text()[32767]);
    EXPECT_EQ(longest.size(), std::wcslen(buf.Text()));
    buf.Clear();
    EXPECT_EQ(0, buf.Text()[0]);
    CStringBuffer grown;
    ASSERT_EQ(status::kSuccess, grown.Assign(L"abc"));
    {
        std::vector<wchar_t> used(32768, L'z');
    }
    ASSERT_EQ(status::kSuccess, grown.Append(longest.substr(3).c_str()));
    EXPECT_EQ(0, grown.Text()[32767]);
}

TEST(ResultCodes, Tables)
{
    struct W2S {
        DWORD error;
        NtStatus status;
    } a[] = {{0, 0},
             {2, status::kNameNotFound},
             {3, status::kPathNotFound},
             {5, status::kAccessDenied},
             {6, status::kInvalidHandle},
             {14, status::kNoMemory},
             {32, status::kSharingViolation},
             {38, status::kEndOfFile},
             {87, status::kInvalidParameter},
             {112, status::kDiskFull},
             {1234, status::kUnsuccessful}};
    for (const auto& c : a)
        EXPECT_EQ(c.status, MapWin32ToStatus(c.error)) << c.error;

    struct S2R {
        DWORD status;
        DWORD result;
    } b[] = {{0, 0x10000},
             {0x80000005, 0x80000200},
             {0xC0000001, 0x8001FFFF},
             {0xC0000002, 0x80010202},
             {0xC000000D, 0x80010203},
             {0xC0000022, 0x80010204},
             {0xC0000023, 0x80000200},
             {0xC0000024, 0x80000208},
             {0xC0000034, 0x80010300},
             {0xC0000035, 0x80000213},
             {0xC000003A, 0x80010300},
             {0xC000003B, 0x80000212},
             {0xC0000043, 0x8000020D},
             {0xC0000058, 0x80000211},
             {0xC000007F, 0x8000020C},
             {0xC000009A, 0x80010201},
             {0xC0000102, 0x8000020F},
             {0xC0000225, 0x80000100},
             {0xC000028B, 0x8000020F},
             {0xC00002B9, 0x80010200},
             {0xC0000904, 0x80000210},
             {0xC0190058, 0x80000214},
             {0xC0190001, 0x8001FFFF}, // a batch naming one record twice: a general failure
             {0x00000103, 0x8001FFFF},
             {0xC0000999, 0x8001FFFF}};
    for (const auto& c : b)
        EXPECT_EQ(c.result, MapStatusToResult(static_cast<NtStatus>(c.status))) << std::hex << c.status;

    struct W2R {
        DWORD error;
        DWORD result;
    } c3[] = {{0, 0x10000},       {1, 0x80010202},    {2, 0x80010300},    {3, 0x80010300},   {5, 0x80010204},
              {32, 0x8000020D},   {87, 0x80010203},   {112, 0x8000020C},  {183, 0x80000213}, {632, 0x80010200},
              {1168, 0x80000100}, {1392, 0x8000020F}, {1450, 0x80010201}, {4, 0x8001FFFF}};
    for (const auto& c : c3)
        EXPECT_EQ(c.result, MapWin32ToResult(c.error)) << c.error;
}

TEST(CountedStrings, AnsiConversions)
{
    std::string narrow;
    EXPECT_EQ(result::kInvalidArg, ToNarrow(nullptr, narrow));
    ASSERT_EQ(result::kOk, ToNarrow(L"Settings\\Path", narrow));
    EXPECT_EQ("Settings\\Path", narrow);
    ASSERT_EQ(result::kOk, ToNarrow(L"", narrow));
    EXPECT_TRUE(narrow.empty());
    std::wstring wide;
    ASSERT_EQ(result::kOk, ToWide("abc", wide));
    EXPECT_EQ(L"abc", wide);
    EXPECT_EQ(result::kInvalidArg, ToWide(nullptr, wide));
}
