#pragma once
// Stack walks for the diagnostics tests: from a live context of this thread, and over a minidump
// (from its exception stream's thread context, with the stack memory the dump holds and the code
// and unwind data of one module read from its file, laid out at the module's base in the dump).
#include <windows.h>

#include <string>
#include <vector>

namespace diagtest {

// The program counters of the frames StackWalk64 finds from the context (at most 32); under 32-bit
// Wine, whose walker does not follow a frame-pointer chain, those of the chain itself.
std::vector<ULONG_PTR> WalkLive(const CONTEXT& context);

struct DumpWalk {
    bool ok = false;
    std::string error;
    // Offsets in the module of the frames that lie in it; frames elsewhere end the walk.
    std::vector<ULONGLONG> offsets;
};
// Walks the dump's exception thread through the module whose file is modulePath.
DumpWalk WalkDump(const std::vector<BYTE>& dump, const std::wstring& modulePath);

} // namespace diagtest
