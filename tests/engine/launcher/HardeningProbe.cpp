// Test program: hardens itself before anything else, as the launcher does, then opens a log in
// the folder given as its argument and logs every hardening record.
#include "engine/launcher/VekProcessMitigations.h"
#include "engine/log/VekDebugOutput.h"

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
    return 0;
}
