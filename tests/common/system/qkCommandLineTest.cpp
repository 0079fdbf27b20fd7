#include "common/system/qkCommandLine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using Tokens = std::vector<std::wstring>;

// What this thread sends to the debugger output while the capture lives: the output reaches a
// vectored exception handler before any debugger or the system's own handling.
class DebugOutputCapture {
public:
    DebugOutputCapture() : m_handler(::AddVectoredExceptionHandler(1, &DebugOutputCapture::Handler))
    {
        s_text = &m_text;
    }
    ~DebugOutputCapture()
    {
        ::RemoveVectoredExceptionHandler(m_handler);
        s_text = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    const std::wstring& Text() const { return m_text; }

private:
    static LONG WINAPI Handler(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD& record = *info->ExceptionRecord;
        if (s_text == nullptr || record.NumberParameters < 2 || record.ExceptionInformation[1] == 0)
            return EXCEPTION_CONTINUE_SEARCH;
        if (record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C) {
            s_text->append(reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]));
        } else if (record.ExceptionCode == DBG_PRINTEXCEPTION_C) {
            for (const char* c = reinterpret_cast<const char*>(record.ExceptionInformation[1]); *c; ++c)
                s_text->push_back(static_cast<unsigned char>(*c));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    static inline std::wstring* s_text = nullptr;
    std::wstring m_text;
    PVOID m_handler;
};

TEST(qkCommandLine, TokenizeTable)
{
    struct Case {
        const wchar_t* line;
        BOOL ok;
        Tokens tokens;
    } cases[] = {
        {L"prog.exe /SILENT -Mode word \"C:\\Program Files\\x.txt\"",
         TRUE,
         {L"prog.exe", L"/SILENT", L"-Mode", L"word", L"\"C:\\Program Files\\x.txt\""}},
        {L"   a  b ", TRUE, {L"a", L"b"}},               // runs of blanks, leading and trailing
        {L"a\tb c", TRUE, {L"a\tb", L"c"}},              // a tab does not separate
        {L"\"a b\"c d", TRUE, {L"\"a b\"", L"c", L"d"}}, // a character after the closing quote starts a token
        {L"\"a  b\"", TRUE, {L"\"a  b\""}},              // inner blanks kept as they stand
        {L"x\"y z\"", TRUE, {L"x\"y", L"z\""}},          // quotes inside an unquoted token do nothing
        {L"\" a\"", TRUE, {L"\" a\""}},                  // a lone quote continues
        {L"\"\" x", TRUE, {L"\"\"", L"x"}},              // an empty quoted token
        {L"\"a\"b c\" d", TRUE, {L"\"a\"b c\"", L"d"}},  // begins with a quote, ends without one
        {L"\"quoted\"", TRUE, {L"\"quoted\""}},
        {L"", TRUE, {}},
        {L"a \"b c", FALSE, {L"a"}}, // unclosed quote
        {L"\"abc", FALSE, {}},
        {L"a \"", FALSE, {L"a"}},
    };
    for (const auto& c : cases) {
        Tokens tokens;
        EXPECT_EQ(qkCommandLine::Tokenize(c.line, tokens), c.ok) << c.line;
        EXPECT_EQ(tokens, c.tokens) << c.line;
    }
    // The vector is appended to, not emptied.
    Tokens tokens{L"first"};
    EXPECT_TRUE(qkCommandLine::Tokenize(L"second", tokens));
    EXPECT_EQ(tokens, (Tokens{L"first", L"second"}));
    EXPECT_FALSE(qkCommandLine::Tokenize(nullptr, tokens));
}

TEST(qkCommandLine, ParseEntries)
{
    qkCommandLine cl;
    ASSERT_TRUE(cl.Parse(L"prog.exe /SILENT -Mode word \"C:\\Program Files\\x.txt\" -5 \"-quoted\" \"\"x\"\""));
    struct Expected {
        bool isSwitch;
        const wchar_t* text;
        const wchar_t* token;
    } expected[] = {
        {false, L"prog.exe", L"prog.exe"},
        {true, L"SILENT", L"/SILENT"},
        {true, L"Mode", L"-Mode"},
        {false, L"word", L"word"},
        {false, L"C:\\Program Files\\x.txt", L"\"C:\\Program Files\\x.txt\""},
        {true, L"5", L"-5"},                 // a negative number is a switch
        {false, L"-quoted", L"\"-quoted\""}, // quoted: never a switch
        {false, L"x", L"\"\"x\"\""},         // every leading and trailing quote goes
    };
    const auto& entries = cl.GetEntries();
    ASSERT_EQ(entries.size(), std::size(expected));
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].isSwitch, expected[i].isSwitch) << i;
        EXPECT_EQ(entries[i].text, expected[i].text) << i;
        EXPECT_EQ(entries[i].token, expected[i].token) << i;
    }
    EXPECT_STREQ(cl.GetSwitchValue(L"mode"), L"word");
    EXPECT_TRUE(cl.HasSwitch(L"silent"));
    EXPECT_TRUE(cl.HasSwitch(L"5"));
    EXPECT_FALSE(cl.HasSwitch(L"quoted"));
    EXPECT_FALSE(cl.HasSwitch(L"-quoted"));
    EXPECT_FALSE(cl.HasSwitch(L"word")); // plain arguments never match
    EXPECT_FALSE(cl.HasSwitch(L""));
    EXPECT_FALSE(cl.HasSwitch(nullptr));
}

TEST(qkCommandLine, ParseFailures)
{
    qkCommandLine cl;
    ASSERT_TRUE(cl.Parse(L"old /X"));
    EXPECT_FALSE(cl.Parse(nullptr));
    EXPECT_FALSE(cl.Parse(L""));
    EXPECT_FALSE(cl.Parse(L"a \"b c"));
    EXPECT_TRUE(cl.GetEntries().empty());
    // A lone switch character fails; the entries before it stay.
    EXPECT_FALSE(cl.Parse(L"a /B - c"));
    ASSERT_EQ(cl.GetEntries().size(), 2u);
    EXPECT_TRUE(cl.HasSwitch(L"B"));
    EXPECT_FALSE(cl.Parse(L"a /"));
}

TEST(qkCommandLine, UnclosedQuoteIsTracedWithoutTheLine)
{
    // The line may carry a secret (a customer token): the trace names where the quote opened
    // and how long the line is, never its text.
    struct Case {
        const wchar_t* line;
        const wchar_t* traced;
    } cases[] = {
        {L"prog.exe /CC_TOKEN s3cr3t /INSTALLER_OPTIONS \"/q", L"unclosed quote at 45 of 48 characters"},
        {L"\"s3cr3t /SILENT", L"unclosed quote at 0 of 15 characters"},
        {L"s3cr3t \"", L"unclosed quote at 7 of 8 characters"},
    };
    for (const Case& c : cases) {
        DebugOutputCapture output;
        Tokens tokens;
        EXPECT_FALSE(qkCommandLine::Tokenize(c.line, tokens)) << c.line;
        qkCommandLine parsed;
        EXPECT_FALSE(parsed.Parse(c.line)) << c.line;
        EXPECT_NE(output.Text().find(c.traced), std::wstring::npos) << output.Text();
        EXPECT_EQ(output.Text().find(L"s3cr3t"), std::wstring::npos) << output.Text();
    }
}

TEST(qkCommandLine, SwitchValues)
{
    qkCommandLine cl;
    ASSERT_TRUE(cl.Parse(L"p /URL one -url two /flag /empty"));
    std::vector<std::wstring> values{L"keep"};
    EXPECT_TRUE(cl.GetSwitchValues(L"Url", values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"keep", L"one", L"two"}));
    EXPECT_TRUE(cl.GetSwitchValuesClear(L"URL", values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"one", L"two"}));
    // No occurrence: success with nothing.
    EXPECT_TRUE(cl.GetSwitchValuesClear(L"none", values));
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(cl.GetSwitchValue(L"none"), nullptr);
    // Followed by another switch, or last: failure.
    EXPECT_FALSE(cl.GetSwitchValuesClear(L"flag", values));
    EXPECT_FALSE(cl.GetSwitchValuesClear(L"empty", values));
    EXPECT_EQ(cl.GetSwitchValue(L"flag"), nullptr);
    EXPECT_FALSE(cl.GetSwitchValues(L"", values));
    EXPECT_FALSE(cl.GetSwitchValues(nullptr, values));

    // A second occurrence as the last token fails the call; the first value stays in the vector.
    ASSERT_TRUE(cl.Parse(L"p /S a /S"));
    EXPECT_FALSE(cl.GetSwitchValuesClear(L"s", values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"a"}));
    EXPECT_EQ(cl.GetSwitchValue(L"s"), nullptr);
}

TEST(qkCommandLine, ProcessCommandLine)
{
    qkCommandLine cl;
    ASSERT_TRUE(cl.ParseProcessCommandLine());
    ASSERT_FALSE(cl.GetEntries().empty());
    EXPECT_FALSE(cl.GetEntries()[0].isSwitch);
    EXPECT_NE(cl.GetEntries()[0].text.find(L"common_system_tests"), std::wstring::npos);
}

} // namespace
