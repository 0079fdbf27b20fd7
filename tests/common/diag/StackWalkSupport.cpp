#include "StackWalkSupport.h"

#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "DiagTestSupport.h"

namespace diagtest {

namespace {

#ifdef _WIN64
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_I386;
#endif
constexpr int kMaxFrames = 32;

STACKFRAME64 FirstFrame(const CONTEXT& context)
{
    STACKFRAME64 frame{};
#ifdef _WIN64
    frame.AddrPC.Offset = context.Rip;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrStack.Offset = context.Rsp;
#else
    frame.AddrPC.Offset = context.Eip;
    frame.AddrFrame.Offset = context.Ebp;
    frame.AddrStack.Offset = context.Esp;
#endif
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    return frame;
}

// What a walk over a dump reads: the dump's memory ranges and one module's image.
struct DumpMemory {
    struct Range {
        ULONGLONG start;
        const BYTE* bytes;
        ULONGLONG size;
    };
    std::vector<Range> ranges;
    ULONGLONG moduleBase = 0;
    std::vector<BYTE> image;
};
DumpMemory* g_memory = nullptr;

BOOL CALLBACK ReadDumpMemory(HANDLE, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
{
    for (const auto& range : g_memory->ranges) {
        if (address >= range.start && address + size <= range.start + range.size) {
            std::memcpy(buffer, range.bytes + (address - range.start), size);
            *read = size;
            return TRUE;
        }
    }
    if (address >= g_memory->moduleBase && address + size <= g_memory->moduleBase + g_memory->image.size()) {
        std::memcpy(buffer, g_memory->image.data() + (address - g_memory->moduleBase), size);
        *read = size;
        return TRUE;
    }
    return FALSE;
}

DWORD64 CALLBACK DumpModuleBase(HANDLE, DWORD64 address)
{
    const bool inside =
        address >= g_memory->moduleBase && address < g_memory->moduleBase + g_memory->image.size();
    return inside ? g_memory->moduleBase : 0;
}

PVOID CALLBACK DumpFunctionTable(HANDLE, DWORD64 address)
{
#ifdef _WIN64
    if (!DumpModuleBase(nullptr, address))
        return nullptr;
    const BYTE* image = g_memory->image.data();
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    const auto* functions = reinterpret_cast<const IMAGE_RUNTIME_FUNCTION_ENTRY*>(image + table.VirtualAddress);
    const DWORD rva = static_cast<DWORD>(address - g_memory->moduleBase);
    for (DWORD i = 0; i < table.Size / sizeof(IMAGE_RUNTIME_FUNCTION_ENTRY); ++i)
        if (rva >= functions[i].BeginAddress && rva < functions[i].EndAddress)
            return const_cast<IMAGE_RUNTIME_FUNCTION_ENTRY*>(&functions[i]);
#else
    (void)address; // x86: no function tables; the walker follows the frame pointers.
#endif
    return nullptr;
}

#ifndef _WIN64
// Under 32-bit Wine the system's walker does not follow a plain frame-pointer chain: from a
// context in b (of main -> a -> b, all with frame pointers) its second frame is no return address
// at all, while the chain itself leads through a and main. There the walk follows the frame
// pointers itself, so that the tests still hold the captured context against the frame chain;
// only the system walker's own part is left out, and the test's output says so.
bool FollowsFramePointersItself()
{
    static const bool underWine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    static bool said = false;
    if (underWine && !said) {
        said = true;
        std::printf("[   NOTE   ] 32-bit Wine's StackWalk64 does not follow a frame-pointer chain: the walk "
                    "follows the frame pointers itself and the system walker is not checked\n");
    }
    return underWine;
}

// The program counters of the frames of a frame-pointer chain: [ebp] the caller's ebp, [ebp + 4]
// the return address. read(address, value) reads one DWORD; the chain must climb the stack.
template <typename Read>
std::vector<ULONG_PTR> FollowFramePointers(DWORD eip, DWORD ebp, Read read)
{
    std::vector<ULONG_PTR> pcs{eip};
    while (pcs.size() < kMaxFrames && ebp != 0) {
        DWORD next = 0, returnAddress = 0;
        if (!read(ebp, next) || !read(ebp + 4, returnAddress) || returnAddress == 0)
            break;
        pcs.push_back(returnAddress);
        if (next <= ebp)
            break;
        ebp = next;
    }
    return pcs;
}
#endif

// The file laid out as the loader maps it: headers, then each section at its address.
bool LayOut(const std::wstring& path, std::vector<BYTE>& image)
{
    const std::vector<BYTE> file = ReadAll(path);
    if (file.size() < sizeof(IMAGE_DOS_HEADER))
        return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(file.data() + dos->e_lfanew);
    image.assign(nt->OptionalHeader.SizeOfImage, 0);
    std::memcpy(image.data(), file.data(), nt->OptionalHeader.SizeOfHeaders);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const DWORD size = std::min<DWORD>(section->SizeOfRawData, section->Misc.VirtualSize);
        if (section->PointerToRawData + size <= file.size() && section->VirtualAddress + size <= image.size())
            std::memcpy(image.data() + section->VirtualAddress, file.data() + section->PointerToRawData, size);
    }
    return true;
}

template <typename T>
const T* Stream(const std::vector<BYTE>& dump, ULONG type)
{
    PMINIDUMP_DIRECTORY directory = nullptr;
    PVOID stream = nullptr;
    ULONG size = 0;
    if (!MiniDumpReadDumpStream(const_cast<BYTE*>(dump.data()), type, &directory, &stream, &size) || !stream)
        return nullptr;
    return static_cast<const T*>(stream);
}

} // namespace

std::vector<ULONG_PTR> WalkLive(const CONTEXT& context)
{
#ifndef _WIN64
    if (FollowsFramePointersItself())
    {
        // The frames of this thread lie within its stack.
        const auto* tib = reinterpret_cast<const NT_TIB*>(::NtCurrentTeb());
        const ULONG_PTR low = reinterpret_cast<ULONG_PTR>(tib->StackLimit);
        const ULONG_PTR high = reinterpret_cast<ULONG_PTR>(tib->StackBase);
        return FollowFramePointers(context.Eip, context.Ebp, [low, high](DWORD address, DWORD& value) {
            if (address < low || address + sizeof(DWORD) > high)
                return false;
            value = *reinterpret_cast<const DWORD*>(static_cast<ULONG_PTR>(address));
            return true;
        });
    }
#endif
    std::vector<ULONG_PTR> pcs;
    const HANDLE process = GetCurrentProcess();
    SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_NO_PROMPTS | SYMOPT_FAIL_CRITICAL_ERRORS);
    const bool symbols = SymInitializeW(process, nullptr, TRUE);
    CONTEXT copy = context;
    STACKFRAME64 frame = FirstFrame(copy);
    while (pcs.size() < kMaxFrames && StackWalk64(kMachine, process, GetCurrentThread(), &frame, &copy, nullptr,
                                                  SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
        pcs.push_back(static_cast<ULONG_PTR>(frame.AddrPC.Offset));
        if (frame.AddrReturn.Offset == 0)
            break;
    }
    if (symbols)
        SymCleanup(process);
    return pcs;
}

DumpWalk WalkDump(const std::vector<BYTE>& dump, const std::wstring& modulePath)
{
    DumpWalk walk;
    DumpMemory memory;
    auto at = [&](RVA rva) { return dump.data() + rva; };
    const auto* exception = Stream<MINIDUMP_EXCEPTION_STREAM>(dump, ExceptionStream);
    if (!exception || exception->ThreadContext.DataSize < sizeof(DWORD)) {
        walk.error = "no exception stream with a thread context";
        return walk;
    }
    CONTEXT context{};
    std::memcpy(&context, at(exception->ThreadContext.Rva),
                std::min<size_t>(exception->ThreadContext.DataSize, sizeof(CONTEXT)));
    if (const auto* list = Stream<MINIDUMP_MEMORY_LIST>(dump, MemoryListStream))
        for (ULONG32 i = 0; i < list->NumberOfMemoryRanges; ++i) {
            const MINIDUMP_MEMORY_DESCRIPTOR& range = list->MemoryRanges[i];
            memory.ranges.push_back({range.StartOfMemoryRange, at(range.Memory.Rva), range.Memory.DataSize});
        }
    if (const auto* threads = Stream<MINIDUMP_THREAD_LIST>(dump, ThreadListStream))
        for (ULONG32 i = 0; i < threads->NumberOfThreads; ++i) {
            const MINIDUMP_MEMORY_DESCRIPTOR& stack = threads->Threads[i].Stack;
            memory.ranges.push_back({stack.StartOfMemoryRange, at(stack.Memory.Rva), stack.Memory.DataSize});
        }
    const std::wstring wanted = std::filesystem::path(modulePath).filename().wstring();
    if (const auto* modules = Stream<MINIDUMP_MODULE_LIST>(dump, ModuleListStream))
        for (ULONG32 i = 0; i < modules->NumberOfModules; ++i) {
            const auto* name = reinterpret_cast<const MINIDUMP_STRING*>(at(modules->Modules[i].ModuleNameRva));
            const std::wstring path(name->Buffer, name->Length / sizeof(WCHAR));
            const std::wstring file = path.substr(path.find_last_of(L"\\/") + 1);
            if (_wcsicmp(file.c_str(), wanted.c_str()) == 0)
                memory.moduleBase = modules->Modules[i].BaseOfImage;
        }
    if (!memory.moduleBase || !LayOut(modulePath, memory.image)) {
        walk.error = "the module is not in the dump or its file cannot be read";
        return walk;
    }
    g_memory = &memory;
#ifndef _WIN64
    if (FollowsFramePointersItself()) {
        const auto pcs = FollowFramePointers(context.Eip, context.Ebp, [](DWORD address, DWORD& value) {
            DWORD read = 0;
            return ReadDumpMemory(nullptr, address, &value, sizeof(value), &read) && read == sizeof(value);
        });
        for (ULONG_PTR pc : pcs) {
            if (!DumpModuleBase(nullptr, pc))
                break;
            walk.offsets.push_back(pc - memory.moduleBase);
        }
        g_memory = nullptr;
        walk.ok = true;
        return walk;
    }
#endif
    STACKFRAME64 frame = FirstFrame(context);
    // No thread handle: nothing of the live thread belongs to this walk.
    while (walk.offsets.size() < kMaxFrames && StackWalk64(kMachine, GetCurrentProcess(), nullptr, &frame, &context,
                                                           ReadDumpMemory, DumpFunctionTable, DumpModuleBase,
                                                           nullptr)) {
        if (!DumpModuleBase(nullptr, frame.AddrPC.Offset))
            break;
        walk.offsets.push_back(frame.AddrPC.Offset - memory.moduleBase);
        if (frame.AddrReturn.Offset == 0)
            break;
    }
    g_memory = nullptr;
    walk.ok = true;
    return walk;
}

} // namespace diagtest
