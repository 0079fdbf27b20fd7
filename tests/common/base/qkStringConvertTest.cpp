#include "common/base/qkStringConvert.h"
#include "common/base/qkWideFormat.h"

#include "FailingAllocator.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(qkStringConvert, CopyAndAppend)
{
    std::wstring w = L"old";
    EXPECT_TRUE(qkStringConvert::Copy(L"new text", w));
    EXPECT_EQ(L"new text", w);
    EXPECT_TRUE(qkStringConvert::Copy(nullptr, w));
    EXPECT_EQ(L"", w);
    std::string a = "old";
    EXPECT_TRUE(qkStringConvert::CopyAnsi(nullptr, a));
    EXPECT_EQ("", a);
    EXPECT_TRUE(qkStringConvert::CopyAnsi("abc", a));
    EXPECT_EQ("abc", a);
    EXPECT_TRUE(qkStringConvert::Append(w, L"x"));
    EXPECT_TRUE(qkStringConvert::Append(w, nullptr));
    EXPECT_EQ(L"x", w);
}

TEST(qkStringConvert, AnsiRoundTrip)
{
    std::string a;
    std::wstring w;
    EXPECT_TRUE(qkStringConvert::WideToAnsi(L"Plain ASCII 123", a));
    EXPECT_EQ("Plain ASCII 123", a);
    EXPECT_TRUE(qkStringConvert::AnsiToWide(a.c_str(), w));
    EXPECT_EQ(L"Plain ASCII 123", w);
    EXPECT_TRUE(qkStringConvert::WideToAnsi(nullptr, a));
    EXPECT_EQ("", a);
    EXPECT_TRUE(qkStringConvert::AnsiToWide(nullptr, w));
    EXPECT_EQ(L"", w);
}

TEST(qkStringConvert, WideToUtf8)
{
    std::string out = "stale";
    EXPECT_EQ(E_INVALIDARG, qkStringConvert::WideToUtf8(nullptr, out));
    EXPECT_EQ(S_OK, qkStringConvert::WideToUtf8(L"", out));
    EXPECT_EQ("", out);
    // Latin, Cyrillic and a character outside the basic plane (surrogate pair).
    EXPECT_EQ(S_OK, qkStringConvert::WideToUtf8(L"a\u00e9\u0416\U0001F600", out));
    EXPECT_EQ(std::string("a\xc3\xa9\xd0\x96\xf0\x9f\x98\x80"), out);
    EXPECT_EQ(9u, out.size());
}

TEST(qkStringConvert, GuidToStringIsBracedUpperCase)
{
    const GUID guid = {0x56173b10, 0x912c, 0x4921, {0x9a, 0xa2, 0x3d, 0x40, 0x39, 0xda, 0x17, 0x85}};
    std::wstring text;
    EXPECT_EQ(S_OK, qkStringConvert::GuidToString(guid, text));
    EXPECT_EQ(L"{56173B10-912C-4921-9AA2-3D4039DA1785}", text);
    const GUID zero = {};
    EXPECT_EQ(S_OK, qkStringConvert::GuidToString(zero, text));
    EXPECT_EQ(L"{00000000-0000-0000-0000-000000000000}", text);
    EXPECT_EQ(38u, text.size());
}

TEST(qkStringConvert, AppendPathCollapsesBackslashes)
{
    struct Case {
        const wchar_t* start;
        const wchar_t* part;
        const wchar_t* expected;
    } cases[] = {
        {L"", L"part", L"\\part"},
        {L"C:\\dir", L"file", L"C:\\dir\\file"},
        {L"C:\\dir\\\\\\", L"\\\\file", L"C:\\dir\\file"},
        {L"C:\\dir\\", L"", L"C:\\dir\\"},
        {L"\\\\", L"x", L"\\x"},
    };
    for (const auto& c : cases) {
        std::wstring s = c.start;
        EXPECT_TRUE(qkStringConvert::AppendPath(s, c.part));
        EXPECT_EQ(c.expected, s) << c.start << L" + " << c.part;
    }
}

TEST(qkStringConvert, FormatAndAppendFormat)
{
    std::wstring s = L"replaced";
    EXPECT_TRUE(qkStringConvert::Format(s, L"%s-%d-0x%08X-%S", L"wide", 42, 0x8007000Eu, "narrow"));
    EXPECT_EQ(L"wide-42-0x8007000E-narrow", s);
    EXPECT_TRUE(qkStringConvert::AppendFormat(s, L"+%03u", 7u));
    EXPECT_EQ(L"wide-42-0x8007000E-narrow+007", s);
    // Longer than any fixed scratch buffer.
    const std::wstring longText(5000, L'z');
    EXPECT_TRUE(qkStringConvert::Format(s, L"[%s]", longText.c_str()));
    EXPECT_EQ(L"[" + longText + L"]", s);
    EXPECT_FALSE(qkStringConvert::Format(s, nullptr));
}

// The fixed-buffer formatter has the same meaning of the conversions: %s and %ls wide text, %S
// and %hs narrow text; what does not fit is cut and the buffer stays terminated.
TEST(qkStringConvert, FormatWideIntoABufferKeepsOneMeaningOfS)
{
    wchar_t text[32];
    EXPECT_EQ(23, qkLib::FormatWide(text, 32, L"account %s, session %d", L"USER", 1));
    EXPECT_EQ(std::wstring(L"account USER, session 1"), text);
    EXPECT_EQ(8, qkLib::FormatWide(text, 32, L"%ls|%S|%hs", L"ab", "cd", "ef"));
    EXPECT_EQ(std::wstring(L"ab|cd|ef"), text);
    struct Case {
        size_t count;
        int result;
        const wchar_t* text;
    };
    const Case cases[] = {{6, 5, L"12345"}, {5, -1, L"1234"}, {1, -1, L""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        wchar_t small[8] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x'};
        EXPECT_EQ(c.result, qkLib::FormatWide(small, c.count, L"%d", 12345));
        EXPECT_EQ(std::wstring(c.text), small);
    }
    EXPECT_EQ(-1, qkLib::FormatWide(nullptr, 8, L"%d", 1));
    EXPECT_EQ(-1, qkLib::FormatWide(text, 32, nullptr));
    EXPECT_EQ(L'\0', text[0]);
}

TEST(qkStringConvert, FormatPathJoinsWithOneBackslash)
{
    struct Case {
        const wchar_t* base;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\base\\\\\\", L"C:\\base\\sub\\7.log"},
        {L"C:\\base", L"C:\\base\\sub\\7.log"},
        {L"", L".\\sub\\7.log"},
        {nullptr, L".\\sub\\7.log"},
        {L"\\\\\\", L".\\sub\\7.log"},
    };
    for (const auto& c : cases) {
        std::wstring out;
        EXPECT_TRUE(qkStringConvert::FormatPath(out, c.base, L"\\\\\\%s\\%d.log", L"sub", 7));
        EXPECT_EQ(c.expected, out);
    }
}

TEST(qkStringConvert, CopyToBufferReportsNeededSize)
{
    wchar_t buffer[8] = {L'#', L'#', L'#', L'#', L'#', L'#', L'#', L'#'};
    DWORD size = 8;
    EXPECT_TRUE(qkStringConvert::CopyToBuffer(L"abc", buffer, &size));
    EXPECT_EQ(8u, size);
    EXPECT_STREQ(L"abc", buffer);
    size = 7;
    buffer[0] = L'#';
    EXPECT_FALSE(qkStringConvert::CopyToBuffer(L"abc", buffer, &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(L'#', buffer[0]);
    size = 100;
    EXPECT_FALSE(qkStringConvert::CopyToBuffer(L"abc", nullptr, &size));
    EXPECT_EQ(0u, size);
    size = 2;
    EXPECT_TRUE(qkStringConvert::CopyToBuffer(L"", buffer, &size));
    EXPECT_EQ(L'\0', buffer[0]);

    char ansi[4] = {'#', '#', '#', '#'};
    size = 4;
    EXPECT_TRUE(qkStringConvert::CopyToBufferAnsi("abc", ansi, &size));
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("abc", ansi);
    size = 3;
    EXPECT_FALSE(qkStringConvert::CopyToBufferAnsi("abc", ansi, &size));
    EXPECT_EQ(4u, size);
    EXPECT_FALSE(qkStringConvert::CopyToBufferAnsi("abc", nullptr, &size));
    EXPECT_EQ(0u, size);
}

TEST(qkStringConvert, AllocationFailuresBecomeResults)
{
    const std::wstring longText(3000, L'q');
    std::wstring w;
    std::string a;
    vektest::FailAllocations fail(1000);
    EXPECT_FALSE(qkStringConvert::Copy(longText.c_str(), w));
    EXPECT_FALSE(qkStringConvert::Format(w, L"%s", longText.c_str()));
    EXPECT_FALSE(qkStringConvert::AppendPath(w, longText.c_str()));
    EXPECT_FALSE(qkStringConvert::FormatPath(w, L"C:\\", L"%s", longText.c_str()));
    EXPECT_FALSE(qkStringConvert::WideToAnsi(longText.c_str(), a));
    EXPECT_EQ(E_OUTOFMEMORY, qkStringConvert::WideToUtf8(longText.c_str(), a));
    // Small work still succeeds.
    EXPECT_TRUE(qkStringConvert::Format(w, L"%d", 5));
    EXPECT_EQ(L"5", w);
}

} // namespace
