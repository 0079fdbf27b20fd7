// Test program: hardens itself before anything else, as the launcher does, then opens a log in
// the folder given as its first argument and logs every hardening record. With a second argument
// it then loads that DLL by name and writes "loaded" or "not loaded <error>".
#include "engine/launcher/VekProcessMitigations.h"
#include "engine/log/VekDebugOutput.h"

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    std::vector<SecurityResult> results;
    vek::ApplyProcessMitigations(results);
    if (argc < 2 || !vek::ConfigureLogFile(vek::VekDebugOutput, argv[1], L"Hardening")) {
        return 2;
    }
    for (const SecurityResult& result : results) {
        result.LogResult();
    }
    if (argc >= 3) {
        HMODULE module = ::LoadLibraryW(argv[2]);
        if (module != nullptr) {
            std::printf("loaded");
            ::FreeLibrary(module);
        } else {
            std::printf("not loaded %lu", ::GetLastError());
        }
    }
    return 0;
}
