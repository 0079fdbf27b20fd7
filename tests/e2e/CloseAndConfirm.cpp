// Ends a running launcher the way a person does: asks its main window to close (the close box) and answers "Yes" to the
// question whether to exit. Usage: e2e_close_and_confirm <full path of the launcher's executable>.
// Exit code 0 when both steps were done, 1 when the window did not appear, 2 when the question
// did not, 3 on bad arguments.
#include <windows.h>

#include <string>

namespace {

struct Search {
    std::wstring image;
    bool question = false; // a message box with a Yes button, else a window without one
    HWND found = nullptr;
};

bool SameImage(DWORD processId, const std::wstring& image)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const BOOL read = ::QueryFullProcessImageNameW(process, 0, path, &size);
    ::CloseHandle(process);
    return read && ::lstrcmpiW(path, image.c_str()) == 0;
}

BOOL CALLBACK Visit(HWND window, LPARAM argument)
{
    auto* search = reinterpret_cast<Search*>(argument);
    if (!::IsWindowVisible(window))
        return TRUE;
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (!SameImage(processId, search->image))
        return TRUE;
    const bool hasYes = ::GetDlgItem(window, IDYES) != nullptr;
    if (hasYes != search->question)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND WaitForWindow(const std::wstring& image, bool question)
{
    for (int attempt = 0; attempt < 600; ++attempt) {
        Search search{image, question, nullptr};
        ::EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        ::Sleep(100);
    }
    return nullptr;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 3;
    const std::wstring image = argv[1];
    HWND main = WaitForWindow(image, false);
    if (!main)
        return 1;
    ::PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    HWND question = WaitForWindow(image, true);
    if (!question)
        return 2;
    ::PostMessageW(question, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(question, IDYES)));
    return 0;
}
