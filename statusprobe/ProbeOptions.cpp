#include "statusprobe/ProbeOptions.h"

#include "statusprobe/ProbeOutput.h"
#include "statusprobe/StatusConsole.h"

#include <cstdlib>
#include <cwchar>

ProbeOptions ParseOptions(int argc, wchar_t** argv)
{
    ProbeOptions options;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (std::wcslen(argument) < 2) {
            continue;
        }
        // Only the sign and the letter after it count: "-test 3" is "-t 3".
        if (argument[0] != L'-' && argument[0] != L'/') {
            options.valid = false;
            continue;
        }
        switch (argument[1]) {
        case L'i':
        case L'I':
            options.interactive = true;
            break;
        case L't':
        case L'T':
            if (i + 1 < argc) {
                options.test = _wtoi(argv[++i]);
            }
            break;
        case L'l':
        case L'L':
            if (i + 1 < argc) {
                options.loop = _wtoi(argv[++i]);
            }
            break;
        default:
            options.valid = false;
            break;
        }
    }
    return options;
}

void PrintUsage(const wchar_t* programName)
{
    ProbePrint(L"Usage: %ls [-m] [-i] [-t <num>] [-l <count>]\n", programName);
    ProbePrint(L"\t[i]nteractive: use iteractive cmdline interface\n");
    ProbePrint(L"\t[t]est <num>: run an individual test by number & quit\n");
    ProbePrint(L"\t[l]oop <count>: run [all/single] test(s) in a loop\n");
    ProbePrint(L"\t%ls <Enter>: run all commands and start interactive mode\n", programName);
    ProbePrint(L"\nTest IDs are:\n");
    ShowMenu(false);
}
