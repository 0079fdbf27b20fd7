// SHA-256 of files through CryptoAPI, against digests that the host computed.
#include "PackageTestSupport.h"

#include "services/digest/VekSHA256.h"

#include <cstring>

using namespace packagetest;

namespace {
std::string Digest(const std::wstring& path, HRESULT& hr)
{
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    hr = vek::security::CalculateSHA256ForFile(path.c_str(), buffer, sizeof(buffer));
    return std::string(buffer, sizeof(buffer));
}
} // namespace

TEST(Sha256OfFiles, MatchesTheHostDigests)
{
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Digest(Fixture(L"empty.bin"), hr), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hr, S_OK);

    const Bytes expected = ReadAll(Fixture(L"large.sha256"));
    ASSERT_GE(expected.size(), 64u);
    EXPECT_EQ(Digest(Fixture(L"large.bin"), hr), std::string(expected.begin(), expected.begin() + 64));
    EXPECT_EQ(hr, S_OK);
}

TEST(Sha256OfFiles, RefusedArgumentsLeaveTheBufferAlone)
{
    char buffer[66];
    std::memset(buffer, '#', sizeof(buffer));
    const std::wstring file = Fixture(L"empty.bin");
    EXPECT_EQ(vek::security::CalculateSHA256ForFile(nullptr, buffer, 64), E_INVALIDARG);
    EXPECT_EQ(vek::security::CalculateSHA256ForFile(file.c_str(), buffer, 63), E_INVALIDARG);
    EXPECT_EQ(vek::security::CalculateSHA256ForFile(file.c_str(), buffer, 65), E_INVALIDARG);
    EXPECT_EQ(vek::security::CalculateSHA256ForFile(file.c_str(), nullptr, 64), E_INVALIDARG);
    EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(sizeof(buffer), '#'));
}

TEST(Sha256OfFiles, UnreadableFilesGiveTheSystemError)
{
    ScratchFolder scratch(L"vek-sha");
    const std::wstring locked = scratch.File(L"locked.bin");
    WriteAll(locked, Bytes{1, 2, 3});
    HANDLE holder = ::CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HRESULT hr = S_OK;
    EXPECT_EQ(Digest(locked, hr), std::string(64, '#'));
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    ::CloseHandle(holder);

    EXPECT_EQ(Digest(scratch.File(L"missing.bin"), hr), std::string(64, '#'));
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(Sha256OfFiles, HexText)
{
    const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    std::string text;
    EXPECT_EQ(vek::StringToHexString(bytes, sizeof(bytes), text), S_OK);
    EXPECT_EQ(text, "000fa0ff");
    EXPECT_EQ(vek::StringToHexString(nullptr, 4, text), E_INVALIDARG);
    EXPECT_EQ(vek::StringToHexString(bytes, 0, text), E_INVALIDARG);
}
