#include "common/base/qkCrc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(qkCrc32, CheckValues)
{
    struct Case { std::string text; DWORD crc; } cases[] = {
        {"abc", 0x352441C2u},
        {"123456789", 0xCBF43926u},
        {"a", 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(32, '\0'), 0x190A55ADu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.crc, qkLib::Crc32(c.text.data(), static_cast<DWORD>(c.text.size()))) << c.text;
    }
    EXPECT_EQ(0u, qkLib::Crc32("abc", 0));
}

TEST(qkCrc32, RunningValueInPiecesMatchesWhole)
{
    std::vector<BYTE> data(20000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(i * 31 + (i >> 8));
    }
    DWORD running = 0xFFFFFFFFu;
    for (size_t at = 0; at < data.size(); at += 8192) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(8192, data.size() - at));
        running = qkLib::Crc32Update(running, data.data() + at, piece);
    }
    EXPECT_EQ(qkLib::Crc32(data.data(), static_cast<DWORD>(data.size())), running ^ 0xFFFFFFFFu);
}

} // namespace
