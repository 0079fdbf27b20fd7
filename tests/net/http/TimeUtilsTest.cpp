#include "net/http/Jux_TimeUtils.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(TimeUtils, FormatsIso8601WithMilliseconds)
{
    struct {
        SYSTEMTIME time;
        const wchar_t* text;
    } cases[] = {
        {{2026, 12, 3, 9, 10, 5, 7, 42}, L"2026-12-09T10:05:07.042Z"},
        {{999, 1, 0, 2, 3, 4, 5, 6}, L"0999-01-02T03:04:05.006Z"},
        {{2024, 2, 4, 29, 23, 59, 59, 999}, L"2024-02-29T23:59:59.999Z"},
    };
    for (const auto& c : cases) {
        std::wstring text;
        EXPECT_EQ(S_OK, Jux::FormatIso8601Time(c.time, text));
        EXPECT_EQ(c.text, text);
    }
}

TEST(TimeUtils, LocalTmConvertsOrReturnsNull)
{
    std::tm fields{};
    fields.tm_year = -7;
    EXPECT_EQ(&fields, Jux::GetLocalTm(86400 * 365, &fields));
    EXPECT_TRUE(fields.tm_year == 70 || fields.tm_year == 71); // 1971-01-01 UTC, any time zone

    std::tm untouched{};
    untouched.tm_mday = 77;
    EXPECT_EQ(nullptr, Jux::GetLocalTm(static_cast<__time64_t>(32535244800LL), &untouched)); // year 3001
    EXPECT_EQ(nullptr, Jux::GetLocalTm(-1, &untouched));
    EXPECT_EQ(77, untouched.tm_mday);

    EXPECT_THROW(Jux::GetLocalTm(0, nullptr), std::invalid_argument);
}

} // namespace
