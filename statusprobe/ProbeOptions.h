// The command line of StatusProbe: -i, -t <num>, -l <count> (or with a slash, either case).
#pragma once

#include <windows.h>

struct ProbeOptions {
    bool interactive = false;
    LONG test = -1; // menu number of a single operation, -1 for none
    LONG loop = 0;  // repetitions, 0 for none
    bool valid = true;
};

// Examines argv[1..]; an argument of two or more characters that is not one of the options makes
// the command line invalid (the caller then prints the usage).
ProbeOptions ParseOptions(int argc, wchar_t** argv);

// The usage text followed by the list of test numbers; programName stands for %s.
void PrintUsage(const wchar_t* programName);
