#include "net/http/Jux_ResultCodes.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    HRESULT hr;
    std::uint32_t code;
};

// Rows whose mapping holds in both directions (the first match wins, so rows 24 and 26 only map
// one way and are checked below).
const Row kBothWays[] = {
    {S_OK, 0x00010000},
    {E_FAIL, 0x8001FFFF},
    {E_INVALIDARG, 0x80010203},
    {E_NOINTERFACE, 0x80010200},
    {E_OUTOFMEMORY, 0x80010201},
    {E_NOTIMPL, 0x80010202},
    {E_ACCESSDENIED, 0x80010204},
    {(HRESULT)0x80070003, 0x80010300},
    {(HRESULT)0x8007007F, 0x80010302},
    {(HRESULT)0x8007000B, 0x80010303},
    {S_FALSE, 0x00010001},
    {(HRESULT)0x80070490, 0x80000100},
    {(HRESULT)0x8007007A, 0x80000200},
    {(HRESULT)0x8007054F, 0x80000202},
    {(HRESULT)0x800401F0, 0x80000203},
    {(HRESULT)0x80010110, 0x80000204},
    {(HRESULT)0x800706F8, 0x80000206},
    {(HRESULT)0x80004011, 0x80000207},
    {(HRESULT)0x80028CA0, 0x80000208},
    {(HRESULT)0x80070020, 0x8000020D},
    {(HRESULT)0x80070070, 0x8000020C},
    {(HRESULT)0x80070570, 0x8000020F},
    {(HRESULT)0x80071A90, 0x80000213},
    {E_UNEXPECTED, 0x80000205},
};

TEST(ResultCodes, TableMapsBothWays)
{
    for (const auto& row : kBothWays) {
        EXPECT_EQ(row.hr, Jux::HResultFromResultCode(row.code)) << std::hex << row.code;
        EXPECT_EQ(row.code, Jux::ResultCodeFromHResult(row.hr)) << std::hex << row.hr;
    }
}

TEST(ResultCodes, FirstMatchWinsAndMissingValuesFallBack)
{
    struct {
        std::uint32_t code;
        HRESULT hr;
    } toHr[] = {
        {0x80000100, (HRESULT)0x80070490},
        {0x80010203, E_INVALIDARG},        // never E_POINTER
        {0x80000201, (HRESULT)0x80028CA0}, // the last row, one way only
        {0x80012345, E_FAIL},              // failure missing from the table
        {0x00012345, S_OK},                // success missing from the table
    };
    for (const auto& c : toHr)
        EXPECT_EQ(c.hr, Jux::HResultFromResultCode(c.code)) << std::hex << c.code;

    struct {
        HRESULT hr;
        std::uint32_t code;
    } toCode[] = {
        {E_POINTER, 0x80010203},
        {(HRESULT)0x80028CA0, 0x80000208}, // never 0x80000201
        {(HRESULT)0x80071234, 0x8001FFFF},
        {(HRESULT)0x00000002, 0x00010000},
    };
    for (const auto& c : toCode)
        EXPECT_EQ(c.code, Jux::ResultCodeFromHResult(c.hr)) << std::hex << c.hr;
}

} // namespace
