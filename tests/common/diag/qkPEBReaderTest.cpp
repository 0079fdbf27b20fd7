// The environment-block reader against a child whose loader list was altered: a module name of
// an odd byte length. A program of its own, since it replaces the global allocator with one that
// finds a write past the end of any block.
#include <gtest/gtest.h>

#include <winternl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "DiagTestSupport.h"
#include "common/diag/qkPEBReader.h"
#include "support/CreateProcessRetrying.h"

namespace {

// Each block: its size and a mark before it, a canary after it, checked when it is freed.
constexpr std::size_t kHead = 16;
constexpr unsigned long long kMark = 0x6B636F6C42656C62ull;
constexpr unsigned long long kCanary = 0xA5C3A5C3A5C3A5C3ull;
std::atomic<int> g_overruns{0};

} // namespace

void* operator new(std::size_t size)
{
    if (size > static_cast<std::size_t>(-1) - kHead - sizeof(kCanary))
        throw std::bad_alloc();
    auto* block = static_cast<unsigned char*>(std::malloc(kHead + size + sizeof(kCanary)));
    if (!block)
        throw std::bad_alloc();
    std::memcpy(block, &kMark, 8);
    std::memcpy(block + 8, &size, sizeof(size));
    std::memcpy(block + kHead + size, &kCanary, sizeof(kCanary));
    return block + kHead;
}

namespace {

void Release(void* p)
{
    if (!p)
        return;
    auto* block = static_cast<unsigned char*>(p) - kHead;
    std::size_t size = 0;
    std::memcpy(&size, block + 8, sizeof(size));
    unsigned long long canary = 0;
    std::memcpy(&canary, block + kHead + size, sizeof(canary));
    if (canary != kCanary)
        ++g_overruns;
    std::free(block);
}

} // namespace

void operator delete(void* p) noexcept
{
    Release(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    Release(p);
}

namespace {

// The child's own image entry in its loader list (first in memory order), read and altered
// through its memory as the child's process handle allows.
ULONG_PTR ImageNameLengthAddress(HANDLE process)
{
    using Query = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic{};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0)
        return 0;
    PEB peb{};
    PEB_LDR_DATA loader{};
    SIZE_T done = 0;
    if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof(peb), &done) || !peb.Ldr ||
        !ReadProcessMemory(process, peb.Ldr, &loader, sizeof(loader), &done))
        return 0;
    const auto link = reinterpret_cast<ULONG_PTR>(loader.InMemoryOrderModuleList.Flink);
    const ULONG_PTR entry = link - offsetof(LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    return entry + offsetof(LDR_DATA_TABLE_ENTRY, FullDllName) + offsetof(UNICODE_STRING, Length);
}

// A counted name of an odd byte length is read without its last half character, and without a
// write past the buffer that takes it.
TEST(qkPEBReader, AnOddNameLengthIsReadWithinItsBuffer)
{
    std::wstring command = L"\"" + diagtest::ProgramFolder() + L"\\diag_crasher.exe\" sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(vek::test::CreateProcessRetrying(nullptr, command.data(), FALSE, DETACHED_PROCESS, nullptr, &startup,
                                                 &started));
    CloseHandle(started.hThread);
    struct Ender {
        HANDLE process;
        ~Ender()
        {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    } ender{started.hProcess};
    WaitForInputIdle(started.hProcess, 5000);

    const std::wstring tail = L"\\diag_crasher.exe";
    std::wstring image;
    USHORT length = 0;
    ULONG_PTR lengthAt = 0;
    // The loader has listed the image once the reader finds it there.
    for (int i = 0; i < 100 && image.empty(); ++i) {
        qkPEBReader peb;
        std::map<ULONGLONG, qkModuleRecord> modules;
        if (peb.Open(started.dwProcessId) == S_OK && peb.ReadModules(modules) == S_OK)
            for (const auto& [base, module] : modules)
                if (module.path.size() > tail.size() &&
                    _wcsicmp(module.path.c_str() + module.path.size() - tail.size(), tail.c_str()) == 0)
                    image = module.path;
        if (image.empty())
            Sleep(50);
    }
    ASSERT_FALSE(image.empty());
    lengthAt = ImageNameLengthAddress(started.hProcess);
    ASSERT_NE(lengthAt, 0u);
    SIZE_T done = 0;
    ASSERT_TRUE(ReadProcessMemory(started.hProcess, reinterpret_cast<void*>(lengthAt), &length, 2, &done));
    ASSERT_EQ(length, image.size() * 2);
    const USHORT odd = length - 1;
    ASSERT_TRUE(WriteProcessMemory(started.hProcess, reinterpret_cast<void*>(lengthAt), &odd, 2, &done));

    g_overruns = 0;
    bool found = false;
    {
        qkPEBReader peb;
        ASSERT_EQ(peb.Open(started.dwProcessId), S_OK);
        std::map<ULONGLONG, qkModuleRecord> modules;
        ASSERT_EQ(peb.ReadModules(modules), S_OK);
        for (const auto& [base, module] : modules)
            found = found || module.path == image.substr(0, image.size() - 1);
    }
    EXPECT_EQ(g_overruns.load(), 0);
    EXPECT_TRUE(found);
}

} // namespace
