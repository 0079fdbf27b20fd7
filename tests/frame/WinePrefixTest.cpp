// The test prefix is what every other test relies on: Windows 10 reported to the program.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

TEST(WinePrefix, ReportsWindows10)
{
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(rtlGetVersion, nullptr);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(rtlGetVersion(&info), 0);
    EXPECT_EQ(info.dwMajorVersion, 10u);
}

TEST(WinePrefix, Utf16WideCharacters)
{
    static_assert(sizeof(wchar_t) == 2);
    EXPECT_STREQ(L"\u00e9", L"\xe9");
}

} // namespace
