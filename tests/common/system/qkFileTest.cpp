#include "common/system/qkFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using systest::ScratchDir;

namespace {

bool IsFolder(const fs::path& path)
{
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(qkHandle, OwnsAndReleases)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        qkHandle owner(event);
        EXPECT_EQ(owner.Get(), event);
        HANDLE detached = owner.Detach();
        EXPECT_EQ(detached, event);
        EXPECT_EQ(owner.Get(), nullptr);
        owner.Attach(detached);
        EXPECT_TRUE(owner.Close());
        EXPECT_EQ(owner.Get(), nullptr);
        // Closed: the handle is gone from the process.
        EXPECT_FALSE(::SetEvent(event));
        qkHandle invalid(INVALID_HANDLE_VALUE);
        EXPECT_TRUE(invalid.Close());
        EXPECT_EQ(invalid.Get(), nullptr);
        EXPECT_TRUE(invalid.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
        EXPECT_TRUE(invalid.IsValid());
    }
}

TEST(qkFile, ReadWriteSeekAndLength)
{
    ScratchDir dir(L"file");
    const std::wstring path = dir / L"data.bin";
    qkFile file;
    EXPECT_EQ(file.GetLength(), 0); // closed
    ASSERT_TRUE(
        file.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    const char data[] = "0123456789abcdef";
    ASSERT_TRUE(file.Write(data, 16));
    EXPECT_TRUE(file.WriteAll(data, 4));
    ULONGLONG value = 1;
    ASSERT_TRUE(file.GetPosition(&value));
    EXPECT_EQ(value, 20u);
    ASSERT_TRUE(file.GetSize(&value));
    EXPECT_EQ(value, 20u);
    EXPECT_EQ(file.GetLength(), 20);

    char buffer[16] = {};
    ASSERT_TRUE(file.ReadAt(10, 0, buffer, 6));
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    ASSERT_TRUE(file.Seek(static_cast<DWORD>(-4), -1, FILE_END)); // 4 before the end
    ASSERT_TRUE(file.GetPosition(&value));
    EXPECT_EQ(value, 16u);

    // 10 bytes from 4 before the end: 4 are read, the call fails with the end of the file.
    EXPECT_FALSE(file.Read(buffer, 10));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(std::string(buffer, 4), "0123");

    // An offset whose low half is 0xFFFFFFFF is no failure.
    ASSERT_TRUE(file.SeekFromBegin(0xFFFFFFFF, 0));
    ASSERT_TRUE(file.GetPosition(&value));
    EXPECT_EQ(value, 0xFFFFFFFFull);

    ASSERT_TRUE(file.SetLength(8, 0));
    EXPECT_EQ(file.GetLength(), 8);
    ASSERT_TRUE(file.SetLength(0, 1)); // extends past 4 GiB (sparse under Wine)
    EXPECT_EQ(file.GetLength(), 0x100000000ll);
    ASSERT_TRUE(file.SetLength(3, 0));
    EXPECT_EQ(file.GetLength(), 3);

    // An empty path fails with 87 and keeps the open file.
    EXPECT_FALSE(file.Open(L"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(file.Open(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0));
    EXPECT_EQ(file.GetLength(), 3);

    // Opening another file closes the first; a missing file keeps its error.
    EXPECT_FALSE(file.Open((dir / L"missing.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_FALSE(file.GetSize(&value));
    EXPECT_EQ(value, 0u);
}

TEST(qkFile, WriteToReadOnlyHandleFails)
{
    ScratchDir dir(L"filero");
    const std::wstring path = dir / L"ro.bin";
    systest::WriteBytes(path, "abc");
    qkFile file;
    ASSERT_TRUE(file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0));
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(qkFile, CreateDirectoryPathForms)
{
    ScratchDir dir(L"mkdir");
    const fs::path base = dir.Path();
    struct Case {
        std::wstring path;
        fs::path made;
    } cases[] = {
        {(base / L"a\\b").wstring(), base / L"a\\b"},              // two levels
        {(base / L"c\\d\\").wstring(), base / L"c\\d"},            // trailing separator
        {L"\\\\?\\" + (base / L"e\\f").wstring(), base / L"e\\f"}, // long-path form with a drive
        {L"\\\\?\\" + (base / L"e\\f\\g").wstring() + L"\\", base / L"e\\f\\g"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(qkFile::CreateDirectoryPath(c.path.c_str())) << c.path;
        EXPECT_TRUE(IsFolder(c.made)) << c.path;
        // A second call finds everything and succeeds.
        EXPECT_TRUE(qkFile::CreateDirectoryPath(c.path.c_str())) << c.path;
    }

    // A relative path starts with its first component.
    wchar_t current[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_TRUE(::SetCurrentDirectoryW(base.c_str()));
    EXPECT_TRUE(qkFile::CreateDirectoryPath(L"rel\\sub"));
    ::SetCurrentDirectoryW(current);
    EXPECT_TRUE(IsFolder(base / L"rel\\sub"));

    // A component that is a file fails there; nothing below it is made.
    systest::WriteBytes((base / L"file").wstring(), "x");
    EXPECT_FALSE(qkFile::CreateDirectoryPath((base / L"file\\sub").c_str()));
    EXPECT_FALSE(fs::exists(base / L"file\\sub"));
    EXPECT_FALSE(qkFile::CreateDirectoryPath(L""));
    EXPECT_FALSE(qkFile::CreateDirectoryPath(nullptr));
}

TEST(qkFile, CreateDirectoryPathRacesWithOthers)
{
    // Threads create the same deep path at once; whoever loses a CreateDirectoryW race must
    // still succeed, because the folder it wanted exists.
    ScratchDir dir(L"mkdirrace");
    for (int round = 0; round < 20; ++round) {
        const std::wstring path = (dir.Path() / std::to_wstring(round) / L"x\\y\\z").wstring();
        std::atomic<int> failures{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                while (!go)
                    std::this_thread::yield();
                if (!qkFile::CreateDirectoryPath(path.c_str()))
                    ++failures;
            });
        go = true;
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(failures.load(), 0) << path;
        EXPECT_TRUE(IsFolder(path));
    }
}

} // namespace
