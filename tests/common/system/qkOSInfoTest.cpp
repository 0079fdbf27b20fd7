#include "tests/common/base/FailingAllocator.h"
#include "common/base/qkMemory.h"
#include "common/system/qkKernel32.h"
#include "common/system/qkModule.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkWow64FsRedirection.h"

#include <gtest/gtest.h>

#include <string>

namespace {

BOOL ProcessIsWow64()
{
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    return wow64;
}

TEST(qkOSInfo, VersionFactsMatchTheSystem)
{
    ASSERT_TRUE(qkOSInfo::Initialize());
    const RTL_OSVERSIONINFOEXW& version = qkOSInfo::GetVersionInfo();
    EXPECT_EQ(version.dwOSVersionInfoSize, sizeof(RTL_OSVERSIONINFOEXW));
    EXPECT_GE(version.dwMajorVersion, 5u);
    EXPECT_TRUE(qkOSInfo::IsBuild(version.dwBuildNumber, FALSE));
    EXPECT_TRUE(qkOSInfo::IsBuild(version.dwBuildNumber, TRUE));
    EXPECT_TRUE(qkOSInfo::IsBuild(version.dwBuildNumber - 1, TRUE));
    EXPECT_FALSE(qkOSInfo::IsBuild(version.dwBuildNumber + 1, TRUE));
    EXPECT_FALSE(qkOSInfo::IsBuild(version.dwBuildNumber - 1, FALSE));
    EXPECT_GT(qkOSInfo::GetSystemInfo().dwPageSize, 0u);
    EXPECT_TRUE(qkOSInfo::IsPlatformNT());

    // VerifyVersionInfoW sees the version that GetVersionExW reports to this program: without
    // an application manifest that declares Windows 10, Windows (and Wine) answer 6.2 there,
    // while RtlGetVersion tells the truth.
    OSVERSIONINFOEXW seen{};
    seen.dwOSVersionInfoSize = sizeof(seen);
    ASSERT_TRUE(::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&seen)));
    const DWORD v = seen.dwMajorVersion * 100 + seen.dwMinorVersion;
    const bool server = seen.wProductType != VER_NT_WORKSTATION;
    struct Case {
        const char* name;
        BOOL actual;
        bool expected;
    } cases[] = {
        {"IsWindows2000", qkOSInfo::IsWindows2000(), v == 500},
        {"IsWindowsXP exact", qkOSInfo::IsWindowsXP(FALSE), v == 501},
        {"IsWindowsXP or greater", qkOSInfo::IsWindowsXP(TRUE), v >= 501},
        {"IsServer2003", qkOSInfo::IsServer2003(), server && v == 502},
        {"IsWindowsVista exact", qkOSInfo::IsWindowsVista(FALSE), v == 600},
        {"IsWindowsVista or greater", qkOSInfo::IsWindowsVista(TRUE), v >= 600},
        {"IsServer2008", qkOSInfo::IsServer2008(), server && v >= 600 && v < 602},
        {"IsWindows7OrGreater", qkOSInfo::IsWindows7OrGreater(), v >= 601},
        {"IsWindows8 exact", qkOSInfo::IsWindows8(FALSE), !server && v == 602},
        {"IsWindows8 or greater", qkOSInfo::IsWindows8(TRUE), v >= 602},
        {"IsWindows81 exact", qkOSInfo::IsWindows81(FALSE), v == 603},
        {"IsWindows81 or greater", qkOSInfo::IsWindows81(TRUE), v >= 603},
        {"IsServer2012OrLater", qkOSInfo::IsServer2012OrLater(), server && v >= 602},
        {"IsServer", qkOSInfo::IsServer(), server},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.actual != FALSE, c.expected) << c.name << " on " << v;
}

TEST(qkOSInfo, Wow64AndAdministrators)
{
    EXPECT_EQ(qkOSInfo::IsWow64(), ProcessIsWow64());
    EXPECT_EQ(qkOSInfo::IsNotWow64(), !ProcessIsWow64());
    EXPECT_EQ(qkKernel32::IsWow64Process(), ProcessIsWow64());

    // Wine runs every process as a full administrator (no filtered token).
    qkOSInfo info;
    BOOL notEnabled = FALSE;
    EXPECT_TRUE(info.GetAdminGroupState(&notEnabled));
    EXPECT_FALSE(notEnabled);
    EXPECT_TRUE(info.IsRunningAsAdmin());
    EXPECT_EQ(info.GetLastError(), 0u);
}

TEST(qkOSInfo, AdminGroupStateRecordsAllocationFailure)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    ::CloseHandle(token);
    if (size <= qkMemory::InlineSize)
        GTEST_SKIP() << "the token's groups fit the inline buffer: " << size << " bytes";
    qkOSInfo info;
    BOOL notEnabled = FALSE;
    {
        vektest::FailAllocations fail(qkMemory::InlineSize + 1);
        EXPECT_FALSE(info.GetAdminGroupState(&notEnabled));
    }
    EXPECT_EQ(info.GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_FALSE(notEnabled);
}

TEST(qkOSInfo, DenyOnlyAdministratorsGroup)
{
    // A restricted token whose Administrators group is deny-only, impersonated by this thread.
    HANDLE process = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                           0, &admins));
    SID_AND_ATTRIBUTES disable{admins, 0};
    HANDLE restricted = nullptr;
    BOOL made = ::CreateRestrictedToken(process, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted);
    ::FreeSid(admins);
    ::CloseHandle(process);
    if (!made)
        GTEST_SKIP() << "CreateRestrictedToken failed: " << ::GetLastError();
    HANDLE impersonation = nullptr;
    ASSERT_TRUE(::DuplicateToken(restricted, SecurityImpersonation, &impersonation));
    ::CloseHandle(restricted);
    ASSERT_TRUE(::SetThreadToken(nullptr, impersonation));
    qkOSInfo info;
    BOOL notEnabled = FALSE;
    BOOL present = info.GetAdminGroupState(&notEnabled);
    BOOL admin = info.IsRunningAsAdmin();
    ::SetThreadToken(nullptr, nullptr);
    ::CloseHandle(impersonation);
    if (present && !notEnabled)
        GTEST_SKIP() << "Wine keeps the group enabled in a restricted token";
    EXPECT_TRUE(present);
    EXPECT_TRUE(notEnabled);
    EXPECT_FALSE(admin);
}

TEST(qkModule, LoadAndLookUp)
{
    qkModule module;
    EXPECT_FALSE(module.Load(L"vek-no-such-module.dll"));
    EXPECT_EQ(module.Get(), nullptr);
    ASSERT_TRUE(module.LoadEx(L"version.dll"));
    EXPECT_NE(module.GetProcAddress("GetFileVersionInfoW"), nullptr);
    EXPECT_NE(module.GetProcAddressW(L"VerQueryValueW"), nullptr);
    EXPECT_EQ(module.GetProcAddress("NoSuchExport"), nullptr);
    EXPECT_EQ(module.GetProcAddress(nullptr), nullptr);
    EXPECT_EQ(module.GetProcAddressW(nullptr), nullptr);
    HMODULE held = module.Get();
    // Attach frees the old module; the new one is owned and freed with the object.
    EXPECT_TRUE(module.Attach(::LoadLibraryW(L"version.dll")));
    EXPECT_NE(module.Get(), nullptr);
    EXPECT_EQ(module.Get(), held);
    module.Free();
    EXPECT_EQ(module.Get(), nullptr);
}

TEST(qkKernel32, BindsFromTheSystemFolder)
{
    qkKernel32 kernel32;
    EXPECT_EQ(kernel32.pfnGetProductInfo, nullptr);
    EXPECT_FALSE(kernel32.Bind(TRUE)); // no module yet
    ASSERT_TRUE(kernel32.Load());
    EXPECT_NE(kernel32.Get(), nullptr);
    EXPECT_NE(kernel32.pfnSetProcessWorkingSetSize, nullptr);
    EXPECT_NE(kernel32.pfnIsWow64Process, nullptr);
    EXPECT_NE(kernel32.pfnGetSystemTimes, nullptr);
    EXPECT_NE(kernel32.pfnGetProductInfo, nullptr);
    EXPECT_NE(kernel32.pfnProcessIdToSessionId, nullptr);
    EXPECT_NE(kernel32.pfnSetWaitableTimerEx, nullptr);
    // The redirection entries are bound only in a WOW64 process.
    EXPECT_EQ(kernel32.pfnWow64DisableWow64FsRedirection != nullptr, ProcessIsWow64() != FALSE);
    EXPECT_EQ(kernel32.pfnGetNativeSystemInfo != nullptr, ProcessIsWow64() != FALSE);
    DWORD session = 99;
    ASSERT_TRUE(kernel32.pfnProcessIdToSessionId(::GetCurrentProcessId(), &session));
    EXPECT_NE(session, 99u);

    // Without resolve every entry is cleared.
    EXPECT_TRUE(kernel32.Bind(FALSE));
    EXPECT_EQ(kernel32.pfnSetProcessWorkingSetSize, nullptr);
    EXPECT_EQ(kernel32.pfnGetProductInfo, nullptr);
}

TEST(qkKernel32, MissingEntriesMakeTheBindFail)
{
    // A DLL without these exports: the module is held, the bind reports the gaps.
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring path = std::wstring(system) + L"\\version.dll";
    qkKernel32 table;
    EXPECT_FALSE(table.LoadFrom(path.c_str()));
    EXPECT_NE(table.Get(), nullptr);
    EXPECT_EQ(table.pfnGetProductInfo, nullptr);
    EXPECT_EQ(table.pfnIsWow64Process, nullptr);
    EXPECT_FALSE(table.LoadFrom(L"vek-no-such-module.dll"));
    EXPECT_EQ(table.Get(), nullptr);
}

TEST(qkWow64FsRedirection, NestsAndRestores)
{
    if (!ProcessIsWow64()) {
        // A native process: every call succeeds and changes nothing.
        qkWow64FsRedirection guard(false);
        EXPECT_EQ(guard.GetDepth(), 0u);
        EXPECT_TRUE(guard.Enable(false));
        EXPECT_TRUE(guard.Enable(true));
        EXPECT_TRUE(guard.Enable(true)); // even with nothing disabled
        EXPECT_EQ(guard.GetDepth(), 0u);
        GTEST_SKIP() << "64-bit process: redirection exists only under WOW64";
    }
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring probe = std::wstring(system) + L"\\drivers";
    {
        qkWow64FsRedirection guard;
        EXPECT_FALSE(guard.Enable(true)); // nothing to revert
        ASSERT_TRUE(guard.Enable(false));
        ASSERT_TRUE(guard.Enable(false));
        EXPECT_EQ(guard.GetDepth(), 2u);
        ASSERT_TRUE(guard.Enable(true));
        EXPECT_EQ(guard.GetDepth(), 1u);
    }
    // The destructor restored redirection: a fresh disable/revert pair works again.
    qkWow64FsRedirection again(false);
    EXPECT_EQ(again.GetDepth(), 1u);
}

} // namespace
