// Test program: forwards the switches of its own command line and writes the result as UTF-8.
// Usage: launcher_switch_probe <excluded name | none> [switches...]
#include "engine/launcher/VekSwitches.h"
#include "services/launcher/VekUtil.h"

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return 2;
    }
    const wchar_t* excluded = std::wcscmp(argv[1], L"none") == 0 ? nullptr : argv[1];
    std::wstring forwarded;
    vek::AppendForwardedSwitches(forwarded, excluded);
    const std::string text = vek::ToUtf8(forwarded);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return 0;
}
