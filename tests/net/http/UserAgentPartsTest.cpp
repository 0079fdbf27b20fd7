#include "net/http/Jux_UserAgentParts.h"

#include <gtest/gtest.h>

namespace {

TEST(UserAgentParts, CompletesFiveParts)
{
    struct {
        const wchar_t* text;
        const wchar_t* suffix;
        const wchar_t* expected;
    } cases[] = {
        {L"Tolk/0.0.0.0/Win", L"", L"Tolk/0.0.0.0/Win/10.0.19045"},
        {L"Prod//Win", L"", L"Prod//Win/10.0.19045"},                   // empty part kept
        {L"Prod/1.2", L"", L"Prod/1.2/Win/10.0.19045"},                 // empty platform becomes Win
        {L"Prod/1.2/Plat/6.1.7601", L"", L"Prod/1.2/Plat/6.1.7601"},    // four parts: unchanged
        {L"Prod/1.2/Plat/6.1/sfx/drop", L"", L"Prod/1.2/Plat/6.1/sfx"}, // after a fifth "/" dropped
        {L"Prod/1.2/Plat/6.1", L"extra", L"Prod/1.2/Plat/6.1/extra"},
        {L"Prod/1.2/Plat/6.1/", L"", L"Prod/1.2/Plat/6.1"}, // trailing "/" removed
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, Jux::UserAgentParts(c.text).Complete(c.suffix, 10, 0, 19045)) << c.text;
    }
}

} // namespace
