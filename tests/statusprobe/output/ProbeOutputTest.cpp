// Printing to a console: the text reaches the screen buffer whole, characters outside ASCII
// included. (Pipes and files are covered end to end by the console tool's own tests.) The
// console case runs in a child copy of this program that has a console of its own.
#include "statusprobe/ProbeOutput.h"

#include "support/CreateProcessRetrying.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

const wchar_t kChildVariable[] = L"VEK_PROBE_OUTPUT_CHILD";
constexpr int kChildFound = 42;
const std::wstring kText = L"Executing PS_STATUS::eGetAPStatus... Gr\u00FC\u00DFe \u2713 \u540D\u524D end";

// True when some row of the console's screen buffer starts with the text.
bool ScreenHolds(HANDLE screen, const std::wstring& text)
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!::GetConsoleScreenBufferInfo(screen, &info)) {
        return false;
    }
    std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        if (::ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &read) &&
            row.compare(0, text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

// Runs in the child only: prints to its own console and reads the screen back.
TEST(ProbeOutput, ChildPrintsToItsConsole)
{
    if (::GetEnvironmentVariableW(kChildVariable, nullptr, 0) == 0) {
        GTEST_SKIP() << "runs in the child of ConsoleGetsTheWholeWideText";
    }
    const HANDLE screen = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    ASSERT_TRUE(::GetConsoleMode(screen, &mode)) << "standard output is no console";
    ProbePrint(L"%ls\n", kText.c_str());
    // A code of its own tells the parent that this check ran and found the text.
    std::exit(ScreenHolds(screen, kText) ? kChildFound : 1);
}

TEST(ProbeOutput, ConsoleGetsTheWholeWideText)
{
    wchar_t self[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=ProbeOutput.ChildPrintsToItsConsole";
    ASSERT_TRUE(::SetEnvironmentVariableW(kChildVariable, L"1"));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    const BOOL started =
        vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, CREATE_NEW_CONSOLE, nullptr, &startup, &child);
    const DWORD startError = ::GetLastError();
    ::SetEnvironmentVariableW(kChildVariable, nullptr);
    ASSERT_TRUE(started) << startError;
    ::CloseHandle(child.hThread);
    const DWORD waited = ::WaitForSingleObject(child.hProcess, 60000);
    DWORD exitCode = 0xFFFFFFFF;
    ::GetExitCodeProcess(child.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0) {
        ::TerminateProcess(child.hProcess, 1);
    }
    ::CloseHandle(child.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(exitCode, static_cast<DWORD>(kChildFound)) << "the child found the text cut or missing on its console";
}

TEST(ProbeOutput, FormatsLongTextsWhole)
{
    const std::wstring longText(5000, L'\u00E9');
    const auto format = [](const wchar_t* f, ...) {
        va_list args;
        va_start(args, f);
        std::wstring text = ProbeFormatV(f, args);
        va_end(args);
        return text;
    };
    EXPECT_EQ(format(L"[%d]: %ls", 53, longText.c_str()), L"[53]: " + longText);
    EXPECT_EQ(format(L"0x%08X", 0x80070005u), L"0x80070005");
}

} // namespace
