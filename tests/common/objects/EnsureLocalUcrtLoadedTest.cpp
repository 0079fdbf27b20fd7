// Loading the C runtime shipped beside the launcher on Windows versions before 8.
#include <gtest/gtest.h>

#include "ObjectTestSupport.h"
#include "common/objects/EnsureLocalUcrtLoaded.h"
#include "common/system/qkOSInfo.h"

namespace {

class LocalUcrt : public ::testing::Test {
protected:
    void SetUp() override { objtest::TestSilo(); }
    void TearDown() override { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, objtest::SiloMapPath().c_str(), L"INSTALLDIR"); }
    void SetInstallDir(const std::wstring& folder)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, objtest::SiloMapPath().c_str(), L"INSTALLDIR", REG_SZ, folder.c_str(),
                        static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
};

TEST_F(LocalUcrt, LoadResultIsTheStatus)
{
    // No INSTALLDIR: the path does not expand.
    EXPECT_EQ(qkLib::LoadLocalUcrtOnce(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    // A folder without the runtime: the load error as an HRESULT.
    SetInstallDir(objtest::BinPath(L"objfix_notrust_root"));
    EXPECT_EQ(qkLib::LoadLocalUcrtOnce(), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

TEST_F(LocalUcrt, WindowsEightOrLaterNeedsNothing)
{
    if (!qkOSInfo::IsWindows8(TRUE))
        GTEST_SKIP() << "the prefix reports a Windows version before 8";
    EXPECT_EQ(qkLib::EnsureLocalUcrtLoaded(), S_OK);
}

TEST_F(LocalUcrt, BeforeWindowsEightTheLoadRunsOnce)
{
    if (qkOSInfo::IsWindows8(TRUE))
        GTEST_SKIP() << "needs a Windows version before 8; this prefix reports 8 or later";
    SetInstallDir(objtest::BinPath(L"objfix_notrust_root"));
    const HRESULT first = qkLib::EnsureLocalUcrtLoaded();
    EXPECT_EQ(first, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    SetInstallDir(L"C:\\");
    EXPECT_EQ(qkLib::EnsureLocalUcrtLoaded(), first) << "the second call does not load again";
}

} // namespace
