// Test program: writes its command line and how it was asked to show its window into
// "recorded.txt" beside itself (UTF-16), then exits with 7.
#include <windows.h>

#include <string>

int wmain()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path.erase(path.find_last_of(L'\\') + 1);
    path += L"recorded.txt";

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    std::wstring text = GetCommandLineW();
    text += L"\n";
    text += (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow) : L"default";

    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 7;
}
