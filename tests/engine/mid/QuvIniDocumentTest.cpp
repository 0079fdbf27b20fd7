#include "engine/mid/QuvIniDocument.h"
#include "engine/mid/QuvMidCodes.h"

#include "MidTestSupport.h"

#include <gtest/gtest.h>

using midtest::ReadBytes;
using midtest::TempFolder;
using midtest::WriteBytes;

namespace {

std::wstring Get(const QuvIniDocument& doc, const wchar_t* section, const wchar_t* key, bool* found = nullptr)
{
    std::wstring value;
    bool present = false;
    EXPECT_EQ(S_OK, doc.GetValue(section, key, value, present));
    if (found)
        *found = present;
    return present ? value : L"<absent>";
}

} // namespace

// Every encoding is read, changed and written back with its mark and byte order.
TEST(QuvIniDocument, RoundTripsEachEncoding)
{
    const std::string before = "[MID]\r\nValue=old\r\n";
    const std::string after = "[MID]\r\nValue=new\r\n";
    struct Case {
        const char* name;
        std::string mark;
        std::string (*encode)(const std::string&);
        QuvIniDocument::Encoding encoding;
    } cases[] = {
        {"ansi", "", [](const std::string& s) { return s; }, QuvIniDocument::Encoding::None},
        {"utf8", "\xEF\xBB\xBF", [](const std::string& s) { return s; }, QuvIniDocument::Encoding::Utf8},
        {"utf16le", "\xFF\xFE", midtest::Utf16LE, QuvIniDocument::Encoding::Utf16LE},
        {"utf16be", "\xFE\xFF", midtest::Utf16BE, QuvIniDocument::Encoding::Utf16BE},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = folder.File(L"doc.ini");
        WriteBytes(path, c.mark + c.encode(before));
        QuvIniDocument doc;
        ASSERT_EQ(S_OK, doc.Load(path.c_str()));
        EXPECT_EQ(c.encoding, doc.GetEncoding());
        EXPECT_EQ(L"old", Get(doc, L"MID", L"Value"));
        ASSERT_EQ(S_OK, doc.SetValue(L"MID", L"Value", L"new"));
        ASSERT_EQ(S_OK, doc.Save(path.c_str()));
        EXPECT_EQ(c.mark + c.encode(after), ReadBytes(path));
        EXPECT_FALSE(std::filesystem::exists(path + L".tmp"));
    }
}

TEST(QuvIniDocument, Utf8TextSurvivesConversion)
{
    TempFolder folder;
    const std::wstring path = folder.File(L"u.ini");
    WriteBytes(path, "\xEF\xBB\xBF[S]\nName=Gr\xC3\xBC\xC3\x9F"
                     "e\n");
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.Load(path.c_str()));
    EXPECT_EQ(L"Gr\u00FC\u00DFe", Get(doc, L"S", L"Name"));
    ASSERT_EQ(S_OK, doc.SetValue(L"S", L"Other", L"\u00E9"));
    ASSERT_EQ(S_OK, doc.Save(path.c_str()));
    EXPECT_EQ("\xEF\xBB\xBF[S]\nName=Gr\xC3\xBC\xC3\x9F"
              "e\nOther=\xC3\xA9\n",
              ReadBytes(path));
}

TEST(QuvIniDocument, RefusesWhatItCannotRead)
{
    TempFolder folder;
    const std::wstring path = folder.File(L"bad.ini");
    QuvIniDocument doc;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), doc.Load(path.c_str()));
    for (const std::string& mark : {std::string("\xFF\xFE\0\0", 4), std::string("\0\0\xFE\xFF", 4)}) {
        WriteBytes(path, mark + "x");
        EXPECT_EQ(QUV_E_INI_UNSUPPORTED_ENCODING, doc.Load(path.c_str()));
        EXPECT_EQ(L"", doc.GetText());
    }
    WriteBytes(path, std::string(0x1000000, 'a'));
    EXPECT_EQ(QUV_E_INI_TOO_LARGE, doc.Load(path.c_str()));
}

TEST(QuvIniDocument, ParsesLinesAsWritten)
{
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.LoadText(L"; comment=1\r\n"
                                 L"[ Sect ]\r\n"
                                 L"Quoted = \"abc\"  \r\n"
                                 L"Single='x'\r\n"
                                 L"Lone=\"\r\n"
                                 L"Empty=\r\n"
                                 L"NoEquals here\r\n"
                                 L"#hidden=1\r\n"
                                 L"[My Sect]\r\n"
                                 L"A=1\r\n"
                                 L"[mid]\r\n"
                                 L"Value=v\r\n"));
    const struct {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
    } cases[] = {
        {L"Sect", L"Quoted", L"abc"},       {L"SECT", L"quoted", L"abc"},   {L"Sect", L"Single", L"x"},
        {L"Sect", L"Lone", L"\""},          {L"Sect", L"Empty", L""},       {L"Sect", L"NoEquals", L"<absent>"},
        {L"Sect", L"#hidden", L"<absent>"}, {L"", L"comment", L"<absent>"}, {L"My", L"A", L"1"},
        {L"My Sect", L"A", L"<absent>"},    {L"MID", L"Value", L"v"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, Get(doc, c.section, c.key)) << static_cast<const void*>(c.key);
}

TEST(QuvIniDocument, ChangesKeepTheRestOfTheLine)
{
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.LoadText(L"[S]\r\nValue = \"abc\"  \r\nOther\t=\tplain\t\n[T]\r\nK=1"));
    ASSERT_EQ(S_OK, doc.SetValue(L"S", L"Value", L"xyz"));
    ASSERT_EQ(S_OK, doc.SetValue(L"s", L"other", L"p2"));
    ASSERT_EQ(S_OK, doc.SetValue(L"S", L"New", L"n"));
    ASSERT_EQ(S_OK, doc.SetValue(L"T", L"K2", L"2"));
    EXPECT_EQ(L"[S]\r\nValue = \"xyz\"  \r\nOther\t=\tp2\t\nNew=n\r\n[T]\r\nK=1\r\nK2=2", doc.GetText());
    EXPECT_EQ(L"xyz", Get(doc, L"S", L"Value"));
}

TEST(QuvIniDocument, NewDocumentEndsWithoutLineEnding)
{
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.SetValue(L"MID", L"Value", L"1"));
    ASSERT_EQ(S_OK, doc.SetValue(L"MID", L"XRef", L"2"));
    ASSERT_EQ(S_OK, doc.SetValue(L"Stamp_Adapters", L"Value", L"3"));
    EXPECT_EQ(L"[MID]\r\nValue=1\r\nXRef=2\r\n[Stamp_Adapters]\r\nValue=3", doc.GetText());

    // A document that ends with a line ending keeps one.
    ASSERT_EQ(S_OK, doc.LoadText(L"[A]\nk=1\n"));
    ASSERT_EQ(S_OK, doc.SetValue(L"B", L"k", L"2"));
    EXPECT_EQ(L"[A]\nk=1\n[B]\nk=2\n", doc.GetText());
}

TEST(QuvIniDocument, NewLinesTakeTheDominantEnding)
{
    const struct {
        const wchar_t* text;
        const wchar_t* ending;
    } cases[] = {
        {L"[S]\ra=1\rb=2\r\n", L"\r"},
        {L"[S]\na=1\nb=2\r\n", L"\n"},
        {L"[S]\n\ra=1\n\rb=2\n", L"\n\r"},
        {L"[S]\r\na=1\nb=2\r\n", L"\r\n"},
        {L"[S]", L"\r\n"},
    };
    for (const auto& c : cases) {
        QuvIniDocument doc;
        ASSERT_EQ(S_OK, doc.LoadText(c.text));
        EXPECT_EQ(c.ending, doc.GetLineEnding()) << static_cast<const void*>(c.text);
        const std::wstring before = doc.GetText();
        ASSERT_EQ(S_OK, doc.SetValue(L"S", L"z", L"9"));
        const bool endedWithEnding = before.back() == L'\r' || before.back() == L'\n';
        EXPECT_EQ(endedWithEnding ? before + L"z=9" + c.ending : before + c.ending + L"z=9", doc.GetText());
    }
}

TEST(QuvIniDocument, NulBytesReadAsQuestionMarks)
{
    TempFolder folder;
    const std::wstring path = folder.File(L"zero.ini");
    WriteBytes(path, std::string("[S]\r\nk=a\0b\r\n", 12));
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.Load(path.c_str()));
    EXPECT_EQ(L"a?b", Get(doc, L"S", L"k"));
}

TEST(QuvIniDocument, SaveReplacesReadOnlyFileWhole)
{
    TempFolder folder;
    const std::wstring path = folder.File(L"ro.ini");
    WriteBytes(path, "[S]\r\nk=1\r\n[Other]\r\nkeep=me\r\n");
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    QuvIniDocument doc;
    ASSERT_EQ(S_OK, doc.Load(path.c_str()));
    ASSERT_EQ(S_OK, doc.SetValue(L"S", L"k", L"2"));
    ASSERT_EQ(S_OK, doc.Save(path.c_str()));
    EXPECT_EQ("[S]\r\nk=2\r\n[Other]\r\nkeep=me\r\n", ReadBytes(path));
}

TEST(QuvSplitFirst, SplitsAtTheFirstBar)
{
    const struct {
        const wchar_t* list;
        const wchar_t* first;
        const wchar_t* rest;
    } cases[] = {
        {nullptr, L"", L""}, {L"", L"", L""}, {L" A \t", L"A", L""}, {L" A | B |C ", L"A", L"B |C"}, {L"|B", L"", L"B"},
    };
    for (const auto& c : cases) {
        std::wstring first, rest;
        QuvSplitFirst(c.list, first, rest);
        EXPECT_EQ(c.first, first);
        EXPECT_EQ(c.rest, rest);
    }
}
