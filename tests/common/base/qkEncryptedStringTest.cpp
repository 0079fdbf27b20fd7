#include "common/system/qkEncryptedString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Counts the transforms and can be told to fail deciphering.
class CountingHolder : public qkEncryptedString {
public:
    using qkEncryptedString::qkEncryptedString;
    BOOL Decipher(BYTE* buffer, DWORD length) override
    {
        ++deciphered;
        // Widen the window in which a second caller could race the first.
        ::Sleep(20);
        return fail ? FALSE : qkEncryptedString::Decipher(buffer, length);
    }
    std::atomic<int> deciphered{0};
    bool fail = false;
};

std::vector<BYTE> Enciphered(const std::string& text)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    qkEncryptedString tool(nullptr, 0);
    EXPECT_TRUE(tool.Encipher(bytes.data(), static_cast<DWORD>(bytes.size())));
    return bytes;
}

TEST(qkEncryptedString, RoundTripThroughEncipher)
{
    // Lengths that cover whole words and each remainder of 1 to 3 bytes.
    for (const std::string text : {"CN=Vek Test Signer", "abcd", "abcde", "abcdef", "abcdefg", "x"}) {
        const std::vector<BYTE> stored = Enciphered(text);
        EXPECT_NE(std::string(stored.begin(), stored.end()), text);
        qkEncryptedString holder(stored.data(), static_cast<DWORD>(stored.size()));
        ASSERT_TRUE(holder.Get()) << text;
        EXPECT_EQ(std::wstring(text.begin(), text.end()), holder.GetText());
        EXPECT_TRUE(holder.Get());
    }
}

TEST(qkEncryptedString, EmptyTextsFailEveryTime)
{
    qkEncryptedString nothing(nullptr, 0);
    EXPECT_FALSE(nothing.Get());
    EXPECT_FALSE(nothing.Get());
    EXPECT_STREQ(L"", qkEncryptedString::GetEmpty());

    // Bytes that decipher to a zero byte first give an empty text.
    const std::vector<BYTE> stored = {0xFF, 0x9E, 0x9D};
    qkEncryptedString zero(stored.data(), static_cast<DWORD>(stored.size()));
    EXPECT_FALSE(zero.Get());
    EXPECT_FALSE(zero.Get());

    // The largest length leaves no room for the terminator: refused, nothing is read.
    qkEncryptedString huge(stored.data(), MAXDWORD);
    EXPECT_FALSE(huge.Get());
    EXPECT_TRUE(huge.GetText().empty());

    const std::vector<BYTE> good = Enciphered("text");
    CountingHolder failing(good.data(), static_cast<DWORD>(good.size()));
    failing.fail = true;
    EXPECT_FALSE(failing.Get());
    EXPECT_TRUE(failing.GetText().empty());
}

TEST(qkEncryptedString, ConcurrentCallersShareOneTransform)
{
    const std::vector<BYTE> stored = Enciphered("shared secret name");
    CountingHolder holder(stored.data(), static_cast<DWORD>(stored.size()));
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            if (holder.Get() && holder.GetText() == L"shared secret name") {
                ++ok;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(4, ok.load());
    EXPECT_EQ(1, holder.deciphered.load());
}

} // namespace
