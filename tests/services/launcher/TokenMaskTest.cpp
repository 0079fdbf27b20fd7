#include "services/launcher/VekTokenMask.h"

#include <gtest/gtest.h>

TEST(TokenMask, MasksTheSwitchValueInEveryForm)
{
    const struct {
        const wchar_t* commandLine;
        const wchar_t* masked;
    } cases[] = {
        {L"a.exe /CC_TOKEN s3cr3t /q", L"a.exe /CC_TOKEN ******** /q"},
        {L"a.exe -cc_token s3cr3t", L"a.exe -cc_token ********"},
        {L"a.exe /CC_TOKEN=s3cr3t /x", L"a.exe /CC_TOKEN=******** /x"},
        {L"a.exe /CC_TOKEN:\"s3 cr3t\" /x", L"a.exe /CC_TOKEN:\"********\" /x"},
        {L"a.exe \"/CC_TOKEN\" \"s3 cr3t\"", L"a.exe \"/CC_TOKEN\" \"********\""},
        {L"a.exe /CC_TOKENS keep /CC_TOKEN s1 /CC_TOKEN s2",
         L"a.exe /CC_TOKENS keep /CC_TOKEN ******** /CC_TOKEN ********"},
        {L"a.exe /CC_TOKEN", L"a.exe /CC_TOKEN"},
        // A value the parser reads with quotes inside it, or with a tab inside it.
        {L"a.exe /CC_TOKEN \"ab\"cd ef\" /x", L"a.exe /CC_TOKEN \"********\" /x"},
        {L"a.exe /CC_TOKEN ab\"cd /x", L"a.exe /CC_TOKEN ******** /x"},
        {L"a.exe /CC_TOKEN \"a\"b\" /x", L"a.exe /CC_TOKEN \"********\" /x"},
        {L"a.exe /CC_TOKEN ab\tcd /x", L"a.exe /CC_TOKEN ******** /x"},
        // An unclosed quote: the rest of the line.
        {L"a.exe /CC_TOKEN \"s3 cr3t /x", L"a.exe /CC_TOKEN \"********"},
        // A switch is never a value: the value of the second switch is masked.
        {L"a.exe /CC_TOKEN /CC_TOKEN s3cr3t", L"a.exe /CC_TOKEN /CC_TOKEN ********"},
        {L"a.exe /other CC_TOKEN", L"a.exe /other CC_TOKEN"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.masked, vek::MaskCommandLineToken(c.commandLine));
}

TEST(TokenMask, MasksEveryOccurrenceOfTheSecret)
{
    EXPECT_EQ(L"a ******** b ********", vek::MaskSecret(L"a tok b tok", L"tok"));
    EXPECT_EQ(L"unchanged", vek::MaskSecret(L"unchanged", L""));
    // A secret that occurs in the mask itself does not loop.
    EXPECT_EQ(L"********", vek::MaskSecret(L"*", L"*"));
}
