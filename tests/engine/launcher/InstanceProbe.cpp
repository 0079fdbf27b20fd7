// Test program for the single-instance guard.
//   hold <folder> <manifest id> <event prefix>: takes the lock, sets "<prefix>_ready" and keeps
//     the lock until "<prefix>_release" is set (exit 0), or exits 2 when the lock is not taken.
//   wait <folder> <manifest id> <event prefix> [switches]: runs the instance wait with a short
//     pause, setting "<prefix>_waiting" at the first pause; writes "hr=0x%08X pauses=<n>" and one
//     line per error report ("report 0x%08X send=<0|1> extra=<text>").
// The registry root is HKEY_CURRENT_USER.
#include "common/base/qkWideFormat.h"
#include "engine/launcher/VekInstanceWait.h"
#include "engine/launcher/VekSingleInstance.h"
#include "services/launcher/VekUtil.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Write(const std::wstring& text)
{
    const std::string bytes = vek::ToUtf8(text);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

HANDLE NamedEvent(const std::wstring& prefix, const wchar_t* suffix)
{
    return ::CreateEventW(nullptr, TRUE, FALSE, (prefix + suffix).c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        return 3;
    }
    const std::wstring mode = argv[1];
    const wchar_t* folder = argv[2];
    const wchar_t* id = argv[3];
    const std::wstring prefix = argv[4];
    if (mode == L"hold") {
        if (!vek::g_SingleInstance.CreateInFolder(folder, id, qkSingleInstance::kGlobal)) {
            return 2;
        }
        HANDLE ready = NamedEvent(prefix, L"_ready");
        HANDLE release = NamedEvent(prefix, L"_release");
        ::SetEvent(ready);
        ::WaitForSingleObject(release, 60000);
        ::CloseHandle(ready);
        ::CloseHandle(release);
        return 0;
    }
    HANDLE waiting = NamedEvent(prefix, L"_waiting");
    unsigned pauses = 0;
    vek::VekInstanceWait wait(
        vek::g_SingleInstance, HKEY_CURRENT_USER, [](HRESULT code, bool send, const std::wstring& extra) {
            wchar_t line[64];
            qkLib::FormatWide(line, 64, L"report 0x%08X send=%d extra=", static_cast<unsigned>(code), send ? 1 : 0);
            Write(line + extra + L"\n");
        });
    wait.SetDataFolder(folder);
    wait.SetPause([&](DWORD) {
        if (pauses++ == 0) {
            ::SetEvent(waiting);
        }
        ::Sleep(10);
    });
    const HRESULT hr = wait.canRun(id);
    wchar_t line[64];
    qkLib::FormatWide(line, 64, L"hr=0x%08X pauses=%u\n", static_cast<unsigned>(hr), pauses);
    Write(line);
    ::CloseHandle(waiting);
    return 0;
}
