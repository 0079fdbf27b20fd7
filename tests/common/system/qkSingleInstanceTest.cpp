#include "common/system/qkPathExpansion.h"
#include "common/system/qkSingleInstance.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class qkSingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        systest::TestSiloId();
        m_name = L"vek_test_" + std::to_wstring(::GetCurrentProcessId());
    }
    std::string ProbeOps(const std::wstring& lockOps)
    {
        return systest::RunProbeIn(m_dir.Path(), L"silo:" + systest::TestSiloId() + L" " + lockOps);
    }
    std::wstring m_name;
    systest::ScratchDir m_dir{L"lockprobe"};
};

TEST_F(qkSingleInstanceTest, LockFilePath)
{
    qkSingleInstance lock;
    std::wstring data;
    ASSERT_TRUE(qkPathExpansion::ExpandPath(L"%QKDATA%", data));
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    std::wstring path;
    ASSERT_TRUE(lock.BuildLockFilePath(L"  a\\b  ", 0, path));
    EXPECT_EQ(path, data + L"\\_lck\\_a_b" + std::to_wstring(session));
    EXPECT_TRUE(fs::is_directory(data + L"\\_lck"));
    ASSERT_TRUE(lock.BuildLockFilePath(L"name", qkSingleInstance::kGlobal, path));
    EXPECT_EQ(path, data + L"\\_lck\\_nameG");

    for (const wchar_t* bad : {L"   ", L"", L"a:b", L"a/b", L"a*b", L"a?b", L"a|b", L"a<b", L"a\"b"}) {
        EXPECT_FALSE(lock.BuildLockFilePath(bad, 0, path)) << bad;
        EXPECT_EQ(lock.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
    }
    EXPECT_FALSE(lock.BuildLockFilePath(nullptr, 0, path));
    EXPECT_FALSE(lock.Create(L"  ", 0));
    EXPECT_EQ(lock.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(qkSingleInstanceTest, OneHolderPerNameAndMode)
{
    qkSingleInstance first;
    ASSERT_TRUE(first.Create(m_name.c_str(), 0));
    EXPECT_FALSE(first.Create(m_name.c_str(), 0)); // a second Create on a held lock
    EXPECT_TRUE(first.IsHeld());

    // Another object in this process is refused the same way another process is.
    qkSingleInstance second;
    EXPECT_FALSE(second.Create(m_name.c_str(), 0));
    EXPECT_EQ(second.GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // The global lock of the same name is another file.
    EXPECT_TRUE(second.Create(m_name.c_str(), qkSingleInstance::kGlobal));
    second.Release();

    // A second process is refused while the first holds the lock, and gets it afterwards.
    EXPECT_EQ(ProbeOps(L"lock:0:" + m_name), "silo=1\nlock=0 32\n");
    std::wstring path;
    ASSERT_TRUE(first.BuildLockFilePath(m_name.c_str(), 0, path));
    EXPECT_TRUE(fs::exists(path));
    first.Release();
    EXPECT_FALSE(fs::exists(path)); // deleted on close
    EXPECT_EQ(ProbeOps(L"lock:0:" + m_name), "silo=1\nlock=1 0\n");
    EXPECT_TRUE(first.Create(m_name.c_str(), 0));
}

TEST_F(qkSingleInstanceTest, KillingTheHolderFreesTheLock)
{
    systest::BackgroundProbe holder(m_dir.Path(), L"silo:" + systest::TestSiloId() + L" lock:1:" + m_name + L" hold");
    EXPECT_EQ(holder.ReadLine(), "silo=1");
    EXPECT_EQ(holder.ReadLine(), "lock=1 0");
    EXPECT_EQ(holder.ReadLine(), "held");
    qkSingleInstance lock;
    EXPECT_FALSE(lock.Create(m_name.c_str(), qkSingleInstance::kGlobal));
    EXPECT_EQ(lock.GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    holder.Kill();
    EXPECT_TRUE(lock.Create(m_name.c_str(), qkSingleInstance::kGlobal));
}

// A derived guard with a folder of its own.
class FolderLock : public qkSingleInstance {
public:
    explicit FolderLock(std::wstring folder) : m_folder(std::move(folder)) {}
    BOOL GetLockFolder(std::wstring& folder) override
    {
        folder = m_folder;
        return !m_folder.empty();
    }

private:
    std::wstring m_folder;
};

TEST_F(qkSingleInstanceTest, DerivedLockFolder)
{
    FolderLock lock(m_dir / L"own");
    ASSERT_TRUE(lock.Create(L"x", 0));
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / L"own" / L"_lck"));
    lock.Release();
    FolderLock none(L"");
    EXPECT_FALSE(none.Create(L"x", 0));
    EXPECT_EQ(none.GetLastError(), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
}

} // namespace
