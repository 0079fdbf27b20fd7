#pragma once
// CreateProcessW for tests that start programs under Wine. Under heavy load Wine now and then
// fails a process start with ERROR_INTERNAL_ERROR before the program runs at all; that says
// nothing about the program under test, so the start is tried again a few times.
#include <windows.h>

namespace vek::test {

inline BOOL CreateProcessRetrying(const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles, DWORD flags,
                                  const wchar_t* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* process)
{
    for (int attempt = 0;; ++attempt) {
        if (::CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, flags, nullptr, directory,
                             startup, process)) {
            return TRUE;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 4) {
            ::SetLastError(error);
            return FALSE;
        }
        ::Sleep(200);
    }
}

} // namespace vek::test
