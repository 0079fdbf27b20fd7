#include "engine/launcher/VekProcessMitigations.h"
#include "common/base/qkLastError.h"

#include <mutex>
#include <string>

namespace vek {

namespace {

constexpr DWORD kSearchSystem32 = 0x800; // LOAD_LIBRARY_SEARCH_SYSTEM32

template <typename Fn>
Fn Kernel32Export(const char* name)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    return kernel32 != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(kernel32, name)))
                               : nullptr;
}

SecurityResult Missing(const wchar_t* name)
{
    SecurityResult record;
    record.name = name;
    record.available = false;
    return record;
}

// Runs a call when the system offers it and records its outcome.
template <typename Call>
SecurityResult Apply(const wchar_t* name, bool present, Call call)
{
    if (!present) {
        return Missing(name);
    }
    SecurityResult record;
    record.name = name;
    if (!call()) {
        record.result = qkLib::LastErrorResult();
    }
    return record;
}

void ApplyDepPolicy(const MitigationApi& api, std::vector<SecurityResult>& results)
{
    if (api.GetSystemDEPPolicy == nullptr) {
        results.push_back(Missing(L"GetSystemDEPPolicy"));
        return;
    }
    SecurityResult policy;
    policy.name = L"GetSystemDEPPolicy";
    const int systemPolicy = static_cast<int>(api.GetSystemDEPPolicy());
    switch (systemPolicy) {
    case 0:
        policy.message = L"System DEP Policy was set to Always Off.";
        break;
    case 1:
        policy.message = L"System DEP Policy was set to Always On.";
        break;
    case 2:
        policy.message = L"System DEP Policy was set to Opt In.";
        break;
    case 3:
        policy.message = L"System DEP Policy was set to Opt Out.";
        break;
    default:
        policy.result = E_UNEXPECTED;
        policy.message = L"GetSystemDEPPolicy returned an unexpected result";
        break;
    }
    results.push_back(policy);
    // Only an opt-in system leaves it to the process.
    if (systemPolicy != 2) {
        return;
    }
    if (api.SetProcessDEPPolicy == nullptr) {
        results.push_back(Missing(L"SetProcessDEPPolicy"));
        return;
    }
    SecurityResult dep;
    dep.name = L"SetProcessDEPPolicy";
    if (api.SetProcessDEPPolicy(PROCESS_DEP_ENABLE) != 1) {
        const DWORD error = ::GetLastError();
        dep.result = qkLib::Win32ErrorResult(error);
        if (error == ERROR_NOT_SUPPORTED) {
            dep.message = L"Not an error on x64 systems -- SetProcessDEPPolicy not supported";
        } else if (error == ERROR_ACCESS_DENIED) {
            dep.message = L"Not an error if we were not run elevated";
        }
    }
    results.push_back(dep);
}

} // namespace

MitigationApi MitigationApi::FromKernel32()
{
    MitigationApi api;
    api.SetDefaultDllDirectories = Kernel32Export<decltype(api.SetDefaultDllDirectories)>("SetDefaultDllDirectories");
    api.SetDllDirectoryW = &::SetDllDirectoryW;
    api.SetProcessMitigationPolicy =
        Kernel32Export<decltype(api.SetProcessMitigationPolicy)>("SetProcessMitigationPolicy");
    api.HeapSetInformation = Kernel32Export<decltype(api.HeapSetInformation)>("HeapSetInformation");
    api.GetSystemDEPPolicy = Kernel32Export<decltype(api.GetSystemDEPPolicy)>("GetSystemDEPPolicy");
    api.SetProcessDEPPolicy = Kernel32Export<decltype(api.SetProcessDEPPolicy)>("SetProcessDEPPolicy");
    return api;
}

void ApplyProcessMitigations(const MitigationApi& api, std::vector<SecurityResult>& results)
{
    results.push_back(Apply(L"SetDefaultDLLDirectories", api.SetDefaultDllDirectories != nullptr,
                            [&] { return api.SetDefaultDllDirectories(kSearchSystem32); }));
    // An empty string takes the current folder out of the DLL search path.
    results.push_back(
        Apply(L"SetDllDirectory", api.SetDllDirectoryW != nullptr, [&] { return api.SetDllDirectoryW(L""); }));
    results.push_back(Apply(L"SetProcessMitigationPolicy", api.SetProcessMitigationPolicy != nullptr, [&] {
        DWORD flags = 1; // DisableExtensionPoints
        return api.SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &flags, sizeof(flags)) == 1;
    }));
    results.push_back(Apply(L"HeapSetInformation", api.HeapSetInformation != nullptr, [&] {
        return api.HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    }));
    ApplyDepPolicy(api, results);
}

void ApplyProcessMitigations(std::vector<SecurityResult>& results)
{
    ApplyProcessMitigations(MitigationApi::FromKernel32(), results);
}

HMODULE LoadSystemLibrary(const wchar_t* fileName)
{
    if (fileName == nullptr || fileName[0] == L'\0') {
        return nullptr;
    }
    // Looked up once; kept encoded like every function pointer held for the life of the process.
    static PVOID encodedSetDefaultDllDirectories = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        encodedSetDefaultDllDirectories =
            ::EncodePointer(reinterpret_cast<PVOID>(Kernel32Export<FARPROC>("SetDefaultDllDirectories")));
    });
    if (::DecodePointer(encodedSetDefaultDllDirectories) != nullptr) {
        return ::LoadLibraryExW(fileName, nullptr, kSearchSystem32);
    }
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        return nullptr;
    }
    std::wstring path(folder, length);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    path += fileName;
    if (path.size() > MAX_PATH) {
        return nullptr;
    }
    return ::LoadLibraryW(path.c_str());
}

} // namespace vek
