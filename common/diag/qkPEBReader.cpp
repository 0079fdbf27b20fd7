#include "common/diag/qkPEBReader.h"

#include <vector>

#include "common/base/qkTrace.h"
#include "common/system/qkKernel32.h"

namespace {

// The published layouts, in the target's pointer width.
template <typename Pointer>
struct BasicInformation {
    Pointer exitStatus;
    Pointer pebBaseAddress;
    Pointer affinityMask;
    Pointer basePriority;
    Pointer uniqueProcessId;
    Pointer inheritedFromUniqueProcessId;
};

template <typename Pointer>
struct ListEntry {
    Pointer flink;
    Pointer blink;
};

template <typename Pointer>
struct CountedString {
    USHORT length;
    USHORT maximumLength;
    Pointer buffer; // aligned to the pointer width by the compiler, as in the target
};

template <typename Pointer>
struct Peb {
    BYTE flags[4];
    Pointer mutant;
    Pointer imageBaseAddress;
    Pointer ldr;
};

template <typename Pointer>
struct LoaderData {
    ULONG length;
    BYTE initialized;
    Pointer ssHandle;
    ListEntry<Pointer> inLoadOrderModuleList;
};

template <typename Pointer>
struct LoaderEntry {
    ListEntry<Pointer> inLoadOrderLinks;
    ListEntry<Pointer> inMemoryOrderLinks;
    ListEntry<Pointer> inInitializationOrderLinks;
    Pointer dllBase;
    Pointer entryPoint;
    ULONG sizeOfImage;
    CountedString<Pointer> fullDllName;
};

} // namespace

HRESULT qkPEBReader::Open(DWORD processId)
{
    m_process.Attach(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!m_process.IsValid()) {
        QK_TRACE(L"OpenProcess %lu failed, error %lu", processId, ::GetLastError());
        return E_FAIL;
    }
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    if (!ntdll)
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    auto bind = [ntdll](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(ntdll, name)); };
    m_ntQueryInformationProcess = reinterpret_cast<NtQueryInformationProcessFn>(bind("NtQueryInformationProcess"));
    if (!m_ntQueryInformationProcess)
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
#ifndef _WIN64
    // A 32-bit program under WOW64 looking at a process that is not WOW64: a 64-bit target.
    BOOL targetWow64 = FALSE;
    m_wow64To64 = qkKernel32::IsWow64Process() && ::IsWow64Process(m_process.Get(), &targetWow64) && !targetWow64;
#endif
    if (m_wow64To64) {
        m_ntWow64QueryInformationProcess64 =
            reinterpret_cast<NtQueryInformationProcessFn>(bind("NtWow64QueryInformationProcess64"));
        m_ntWow64ReadVirtualMemory64 =
            reinterpret_cast<NtWow64ReadVirtualMemory64Fn>(bind("NtWow64ReadVirtualMemory64"));
        if (!m_ntWow64QueryInformationProcess64 || !m_ntWow64ReadVirtualMemory64)
            return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        BasicInformation<ULONGLONG> basic{};
        if (m_ntWow64QueryInformationProcess64(m_process.Get(), 0, &basic, sizeof(basic), nullptr) < 0)
            return E_FAIL;
        m_peb = basic.pebBaseAddress;
    } else {
        BasicInformation<ULONG_PTR> basic{};
        if (m_ntQueryInformationProcess(m_process.Get(), 0, &basic, sizeof(basic), nullptr) < 0)
            return E_FAIL;
        m_peb = basic.pebBaseAddress;
    }
    return m_peb ? S_OK : E_FAIL;
}

bool qkPEBReader::Read(ULONGLONG address, void* buffer, ULONG size)
{
    if (m_wow64To64) {
        ULONGLONG done = 0;
        return m_ntWow64ReadVirtualMemory64(m_process.Get(), address, buffer, size, &done) >= 0 && done == size;
    }
    SIZE_T done = 0;
    return ::ReadProcessMemory(m_process.Get(), reinterpret_cast<LPCVOID>(static_cast<ULONG_PTR>(address)), buffer,
                               size, &done) &&
           done == size;
}

template <typename Pointer>
HRESULT qkPEBReader::Walk(std::map<ULONGLONG, qkModuleRecord>& modules)
{
    Peb<Pointer> peb{};
    LoaderData<Pointer> loader{};
    if (!Read(m_peb, &peb, sizeof(peb)) || !peb.ldr || !Read(peb.ldr, &loader, sizeof(loader)))
        return E_FAIL;
    const ULONGLONG head = ULONGLONG(peb.ldr) + offsetof(LoaderData<Pointer>, inLoadOrderModuleList);
    const ULONGLONG first = loader.inLoadOrderModuleList.flink;
    ULONGLONG link = first;
    for (int count = 0; link && count < kMaxModules; ++count) {
        // The list head lives in the loader data; reaching it (or the first entry again) ends the walk.
        if (link == head || (count > 0 && link == first))
            break;
        LoaderEntry<Pointer> entry{};
        if (!Read(link, &entry, sizeof(entry)))
            return E_FAIL;
        // The length comes from the inspected process: an odd last byte is no character and is
        // not read, so that the read never goes past the buffer sized in characters.
        const ULONG chars = entry.fullDllName.length / sizeof(wchar_t);
        if (chars == 0 || !entry.fullDllName.buffer)
            break;
        std::vector<wchar_t> name(chars);
        if (!Read(entry.fullDllName.buffer, name.data(), chars * sizeof(wchar_t)))
            return E_FAIL;
        qkModuleRecord module;
        module.handle = static_cast<DWORD>(entry.dllBase);
        module.path.assign(name.begin(), name.end());
        module.baseAddress = entry.dllBase;
        module.imageSize = entry.sizeOfImage;
        modules[module.baseAddress] = module;
        link = entry.inLoadOrderLinks.flink;
    }
    return S_OK;
}

HRESULT qkPEBReader::ReadModules(std::map<ULONGLONG, qkModuleRecord>& modules)
{
    if (!m_process.IsValid() || !m_peb)
        return E_UNEXPECTED;
    return m_wow64To64 ? Walk<ULONGLONG>(modules) : Walk<ULONG_PTR>(modules);
}
