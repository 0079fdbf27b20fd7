#include "common/base/qkCrc32.h"
#include "common/system/qkFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(qkCrc32, CheckValues)
{
    struct Case {
        std::string text;
        DWORD crc;
    } cases[] = {
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

// A file of a 32-byte header followed by data, in a folder of this test's own.
class Crc32FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"vek_crc32_" + std::to_wstring(::GetCurrentProcessId()) + L".bin";
        m_data.resize(20000);
        for (size_t i = 0; i < m_data.size(); ++i) {
            m_data[i] = static_cast<BYTE>(i * 131 + 7);
        }
        qkFile file;
        ASSERT_TRUE(file.Open(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
        const BYTE header[32] = {'h', 'e', 'a', 'd'};
        ASSERT_TRUE(file.Write(header, sizeof(header)));
        ASSERT_TRUE(file.Write(m_data.data(), static_cast<DWORD>(m_data.size())));
    }
    void TearDown() override { ::DeleteFileW(m_path.c_str()); }

    std::wstring m_path;
    std::vector<BYTE> m_data;
};

TEST_F(Crc32FileTest, RangeAfterHeaderMatchesMemory)
{
    qkFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0));
    struct Case {
        ULONGLONG length;
    } cases[] = {{20000}, {8192}, {8193}, {1}, {16384}};
    for (const auto& c : cases) {
        DWORD crc = 0;
        EXPECT_TRUE(qkLib::Crc32File(file, &crc, 32, c.length)) << c.length;
        EXPECT_EQ(qkLib::Crc32(m_data.data(), static_cast<DWORD>(c.length)), crc) << c.length;
    }
    DWORD crc = 1234;
    EXPECT_TRUE(qkLib::Crc32File(file, &crc, 32, 0));
    EXPECT_EQ(0u, crc);
}

TEST_F(Crc32FileTest, ShortReadFails)
{
    qkFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0));
    DWORD crc = 0;
    // The second piece runs past the end of the file.
    EXPECT_FALSE(qkLib::Crc32File(file, &crc, 32 + 20000 - 10000, 20000));
    EXPECT_FALSE(qkLib::Crc32File(file, &crc, 32, 20001));
    qkFile closed;
    EXPECT_FALSE(qkLib::Crc32File(closed, &crc, 32, 10));
}

} // namespace

// A header's check value counts its own CRC field as zero, wherever the field lies; a field at
// the end of the covered bytes leaves them as they are.
TEST(qkCrc32, HeaderCrcCountsItsOwnFieldAsZero)
{
    struct Case {
        DWORD size;
        DWORD crcOffset;
    } cases[] = {{32, 24}, {40, 36}, {24, 20}, {36, 36}, {8, 0}};
    for (const Case& c : cases) {
        BYTE header[40];
        for (DWORD i = 0; i < sizeof(header); ++i)
            header[i] = static_cast<BYTE>(i * 7 + 1);
        BYTE zeroed[40];
        std::copy(std::begin(header), std::end(header), zeroed);
        if (c.crcOffset < c.size)
            std::fill(zeroed + c.crcOffset, zeroed + c.crcOffset + 4, BYTE{0});
        const DWORD expected = qkLib::Crc32(zeroed, c.size);
        EXPECT_EQ(expected, qkLib::HeaderCrc(header, c.size, c.crcOffset)) << c.size << "/" << c.crcOffset;
        // Whatever the field holds does not change the value.
        header[c.crcOffset % c.size] ^= c.crcOffset < c.size ? 0xFF : 0;
        EXPECT_EQ(expected, qkLib::HeaderCrc(header, c.size, c.crcOffset)) << c.size << "/" << c.crcOffset;
    }
}
