// Runs operations of the system classes in a fresh process (the silo is set once per process)
// and prints one line per operation:  get | id:<text> | root:<text> | rootini | modfolder | race | expand:<text>
//   | silo:<id> (the tests' silo root) | lock:<mode>:<name> | hold (sleeps until killed)
#include "common/base/qkWideFormat.h"
#include "common/system/CIsolation.h"
#include "common/system/qkPathExpansion.h"
#include "common/system/qkSingleInstance.h"
#include "common/system/qkSplitPath.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    qkSingleInstance instance;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* op = argv[i];
        if (std::wcscmp(op, L"get") == 0) {
            const wchar_t* id = CIsolation::GetSiloID();
            const wchar_t* path = CIsolation::GetSiloRegistryPath();
            std::printf("id=%ls\npath=%ls\nflag=%lu\n", id ? id : L"(null)", path ? path : L"(null)",
                        static_cast<unsigned long>(CIsolation::GetRegistryViewFlags()));
        } else if (std::wcsncmp(op, L"id:", 3) == 0)
            std::printf("setid=%d\n", CIsolation::SetSiloID(op + 3));
        else if (std::wcsncmp(op, L"root:", 5) == 0)
            std::printf("setroot=%d\n", CIsolation::SetSiloRegistryRoot(op + 5));
        else if (std::wcscmp(op, L"rootini") == 0)
            std::printf("setroot=%d\n", CIsolation::SetSiloRegistryRoot(nullptr));
        else if (std::wcscmp(op, L"modfolder") == 0) {
            std::wstring folder;
            BOOL ok = qkSplitPath::GetModuleFolder(folder);
            std::printf("modfolder=%d %ls\n", ok, folder.c_str());
        } else if (std::wcsncmp(op, L"expand:", 7) == 0) {
            std::wstring out;
            BOOL ok = qkPathExpansion::ExpandPath(op + 7, out);
            std::printf("expand=%d %ls\n", ok, out.c_str());
        } else if (std::wcsncmp(op, L"silo:", 5) == 0)
            std::printf("silo=%d\n",
                        CIsolation::SetSiloID(op + 5) && CIsolation::SetSiloRegistryRoot(L"Software\\VekTest\\Silos"));
        else if (std::wcsncmp(op, L"lock:", 5) == 0) {
            BOOL ok = instance.Create(op + 7, op[5] == L'1' ? 1 : 0);
            std::printf("lock=%d %lu\n", ok, static_cast<unsigned long>(ok ? 0 : instance.GetLastError()));
        } else if (std::wcscmp(op, L"hold") == 0) {
            std::printf("held\n");
            std::fflush(stdout);
            ::Sleep(INFINITE);
        } else if (std::wcscmp(op, L"race") == 0) {
            // Threads set different ids at once: exactly one wins and everyone reads it.
            std::vector<std::wstring> seen(16);
            std::vector<std::thread> threads;
            for (int t = 0; t < 16; ++t)
                threads.emplace_back([t, &seen] {
                    wchar_t id[39];
                    qkLib::FormatWide(id, 39, L"{%08X-0000-0000-0000-000000000000}", t);
                    if (CIsolation::SetSiloID(id)) {
                        const wchar_t* path = CIsolation::GetSiloRegistryPath();
                        seen[t] = std::wstring(CIsolation::GetSiloID()) + L" " + (path ? path : L"");
                    }
                });
            for (auto& thread : threads)
                thread.join();
            std::set<std::wstring> distinct(seen.begin(), seen.end());
            std::printf("distinct=%zu %ls\n", distinct.size(), distinct.begin()->c_str());
        } else
            return 2;
    }
    return 0;
}
