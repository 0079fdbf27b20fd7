#include "common/diag/qkProcessInfoReader.h"

#include <psapi.h>

#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/diag/qkPEBReader.h"
#include "common/system/qkHandle.h"
#include "common/system/qkPrivilege.h"
#include "common/system/qkSplitPath.h"

namespace {

// Every name is looked up; the set's completeness depends only on the ones the readers need.
const char* const kProcessStatusNames[] = {"EmptyWorkingSet",
                                           "EnumDeviceDrivers",
                                           "EnumPageFilesA",
                                           "EnumPageFilesW",
                                           "EnumProcesses",
                                           "EnumProcessModules",
                                           "GetDeviceDriverBaseNameA",
                                           "GetDeviceDriverBaseNameW",
                                           "GetDeviceDriverFileNameA",
                                           "GetDeviceDriverFileNameW",
                                           "GetMappedFileNameA",
                                           "GetMappedFileNameW",
                                           "GetModuleBaseNameA",
                                           "GetModuleBaseNameW",
                                           "GetModuleFileNameExA",
                                           "GetModuleFileNameExW",
                                           "GetModuleInformation",
                                           "GetPerformanceInfo",
                                           "GetProcessImageFileNameA",
                                           "GetProcessImageFileNameW",
                                           "GetProcessMemoryInfo",
                                           "GetWsChanges",
                                           "InitializeProcessForWsWatch",
                                           "QueryWorkingSet",
                                           "EnumProcessModulesEx"};

struct BasicProcessInfo {
    LONG_PTR exitStatus;
    PVOID pebBaseAddress;
    ULONG_PTR affinityMask;
    LONG_PTR basePriority;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR inheritedFromUniqueProcessId;
};

} // namespace

qkProcessInfoReader::~qkProcessInfoReader()
{
    Unload();
}

void qkProcessInfoReader::Unload()
{
    m_enumProcesses = nullptr;
    m_enumProcessModules = nullptr;
    m_getModuleFileNameExW = nullptr;
    m_getModuleInformation = nullptr;
    m_ntQueryInformationProcess = nullptr;
    m_createToolhelp32Snapshot = nullptr;
    m_module32FirstW = nullptr;
    m_module32NextW = nullptr;
    m_process32FirstW = nullptr;
    m_process32NextW = nullptr;
    m_psapi.Free();
    m_ntdll.reset();
    m_toolHelp.Free();
    m_processStatusComplete = FALSE;
    m_toolHelpComplete = FALSE;
}

BOOL qkProcessInfoReader::Load()
{
    Unload();
    qkExceptionInfo info;
    try {
        m_ntdll = std::make_unique<LateBound>();
        if (!m_kernel32.Load())
            return FALSE;
        std::wstring system;
        bool psapiLoaded = false;
        if (qkSplitPath::GetSystemDirectory(system)) {
            std::wstring path = system;
            psapiLoaded = qkStringConvert::AppendPath(path, L"PSAPI.DLL") && m_psapi.LoadEx(path.c_str());
        }
        if (psapiLoaded) {
            for (const char* name : kProcessStatusNames)
                if (!m_psapi.GetProcAddress(name))
                    QK_TRACE(L"PSAPI lacks %S", name);
            m_enumProcesses = m_psapi.Get<decltype(m_enumProcesses)>("EnumProcesses");
            m_enumProcessModules = m_psapi.Get<decltype(m_enumProcessModules)>("EnumProcessModules");
            m_getModuleFileNameExW = m_psapi.Get<decltype(m_getModuleFileNameExW)>("GetModuleFileNameExW");
            m_getModuleInformation = m_psapi.Get<decltype(m_getModuleInformation)>("GetModuleInformation");
        }
        const bool ntdllLoaded = m_ntdll->Load(L"NTDLL.DLL");
        if (ntdllLoaded)
            m_ntQueryInformationProcess =
                m_ntdll->Get<decltype(m_ntQueryInformationProcess)>("NtQueryInformationProcess");
        m_processStatusComplete = psapiLoaded && ntdllLoaded && m_enumProcesses && m_enumProcessModules &&
                                  m_getModuleFileNameExW && m_getModuleInformation;

        if (m_toolHelp.Load(L"KERNEL32.DLL")) {
            m_createToolhelp32Snapshot =
                m_toolHelp.Get<decltype(m_createToolhelp32Snapshot)>("CreateToolhelp32Snapshot");
            m_module32FirstW = m_toolHelp.Get<decltype(m_module32FirstW)>("Module32FirstW");
            m_module32NextW = m_toolHelp.Get<decltype(m_module32NextW)>("Module32NextW");
            m_process32FirstW = m_toolHelp.Get<decltype(m_process32FirstW)>("Process32FirstW");
            m_process32NextW = m_toolHelp.Get<decltype(m_process32NextW)>("Process32NextW");
        }
        m_toolHelpComplete =
            m_createToolhelp32Snapshot && m_module32FirstW && m_module32NextW && m_process32FirstW && m_process32NextW;
    }
    QK_CATCH(info)
    if (info.HasError() || (!m_processStatusComplete && !m_toolHelpComplete)) {
        Unload();
        return FALSE;
    }
    return TRUE;
}

BOOL qkProcessInfoReader::GetProcessInfo(DWORD processId, qkProcessRecord& record)
{
    qkExceptionInfo info;
    try {
        record.Clear();
        qkPrivilege debug;
        if (!debug.EnableForCurrentThread(SE_DEBUG_NAME))
            QK_TRACE(L"SeDebugPrivilege not enabled, error %lu", ::GetLastError());
        switch (m_method) {
        case MethodToolHelp:
            return ReadWithToolHelp(processId, record);
        case MethodProcessStatus:
        case MethodNative:
            return ReadWithProcessStatus(processId, record);
        case MethodAutomatic:
            if (m_processStatusComplete) {
                if (ReadWithProcessStatus(processId, record))
                    return TRUE;
                // The fall-back that finds the process answers for it.
                if (record.path.empty() && m_toolHelpComplete)
                    return ReadWithToolHelp(processId, record);
                return FALSE;
            }
            if (m_toolHelpComplete)
                return ReadWithToolHelp(processId, record);
            return FALSE;
        default:
            return FALSE;
        }
    }
    QK_CATCH(info)
    QK_TRACE(L"reading process %lu failed: %s", processId, info.GetFullText());
    return FALSE;
}

BOOL qkProcessInfoReader::ReadWithProcessStatus(DWORD processId, qkProcessRecord& record)
{
    record.processId = processId;
    if (!m_ntQueryInformationProcess || !m_enumProcessModules || !m_getModuleFileNameExW)
        return FALSE;
    qkHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process.IsValid()) {
        QK_TRACE(L"OpenProcess %lu failed, error %lu", processId, ::GetLastError());
        return FALSE;
    }
    BOOL result = TRUE;
    if (m_kernel32.pfnIsWow64Process && !m_kernel32.pfnIsWow64Process(process.Get(), &record.wow64)) {
        QK_TRACE(L"IsWow64Process %lu failed, error %lu", processId, ::GetLastError());
        result = FALSE;
    }
    BasicProcessInfo basic{};
    if (m_ntQueryInformationProcess(process.Get(), 0, &basic, sizeof(basic), nullptr) < 0) {
        QK_TRACE(L"NtQueryInformationProcess %lu failed", processId);
        result = FALSE;
    } else {
        record.parentProcessId = static_cast<DWORD>(basic.inheritedFromUniqueProcessId);
    }
    auto moduleName = [&](HMODULE module, std::wstring& path) {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (;;) {
            const DWORD n =
                m_getModuleFileNameExW(process.Get(), module, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (n == 0)
                return false;
            if (n < buffer.size() - 1 || buffer.size() >= 32768) {
                path.assign(buffer.data(), n);
                return true;
            }
            buffer.resize(buffer.size() * 2);
        }
    };
    if (m_method != MethodNative) {
        std::vector<HMODULE> handles(256);
        DWORD needed = 0;
        bool listed = false;
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (!m_enumProcessModules(process.Get(), handles.data(),
                                      static_cast<DWORD>(handles.size() * sizeof(HMODULE)), &needed))
                break;
            if (needed <= handles.size() * sizeof(HMODULE)) {
                handles.resize(needed / sizeof(HMODULE));
                listed = true;
                break;
            }
            handles.resize(needed / sizeof(HMODULE) + 16);
        }
        if (!listed) {
            QK_TRACE(L"EnumProcessModules %lu failed, error %lu", processId, ::GetLastError());
            result = FALSE;
        }
        for (size_t i = 0; listed && i < handles.size(); ++i) {
            qkModuleRecord module;
            MODULEINFO information{};
            if (!moduleName(handles[i], module.path) ||
                !m_getModuleInformation(process.Get(), handles[i], &information, sizeof(information))) {
                QK_TRACE(L"module %p of %lu not read, error %lu", handles[i], processId, ::GetLastError());
                result = FALSE;
                continue;
            }
            module.handle = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(handles[i]));
            module.baseAddress = static_cast<ULONGLONG>(reinterpret_cast<LONG_PTR>(information.lpBaseOfDll));
            module.imageSize = information.SizeOfImage;
            if (i == 0) {
                record.handle = module.handle;
                record.path = module.path;
                record.baseAddress = module.baseAddress;
                record.imageSize = module.imageSize;
            }
            record.modules[module.baseAddress] = module;
        }
    }
    if (record.path.empty() && !moduleName(nullptr, record.path)) {
        QK_TRACE(L"the image path of %lu was not read, error %lu", processId, ::GetLastError());
        result = FALSE;
    }
    return result;
}

BOOL qkProcessInfoReader::ReadModuleSnapshot(DWORD processId, const wchar_t* exeName, qkProcessRecord& record)
{
    qkHandle snapshot(m_createToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (!snapshot.IsValid()) {
        QK_TRACE(L"module snapshot of %lu failed, error %lu", processId, ::GetLastError());
        return FALSE;
    }
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = m_module32FirstW(snapshot.Get(), &entry); more; more = m_module32NextW(snapshot.Get(), &entry)) {
        qkModuleRecord module;
        module.handle = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry.hModule));
        module.path = entry.szExePath;
        module.baseAddress = static_cast<ULONGLONG>(reinterpret_cast<LONG_PTR>(entry.modBaseAddr));
        module.imageSize = entry.modBaseSize;
        if (::lstrcmpiW(entry.szModule, exeName) == 0) {
            record.handle = module.handle;
            record.path = module.path;
            record.baseAddress = module.baseAddress;
            record.imageSize = module.imageSize;
        }
        record.modules[module.baseAddress] = module;
    }
    if (::GetLastError() != ERROR_NO_MORE_FILES)
        QK_TRACE(L"module walk of %lu ended with error %lu", processId, ::GetLastError());
    return TRUE;
}

BOOL qkProcessInfoReader::ReadWithToolHelp(DWORD processId, qkProcessRecord& record)
{
    if (!m_createToolhelp32Snapshot || !m_process32FirstW || !m_process32NextW)
        return FALSE;
    qkHandle snapshot(m_createToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid()) {
        QK_TRACE(L"process snapshot failed, error %lu", ::GetLastError());
        return FALSE;
    }
    BOOL result = TRUE;
    std::map<DWORD, qkProcessRecord> found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    BOOL more = m_process32FirstW(snapshot.Get(), &entry);
    for (; more; more = m_process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == 0 || (processId != 0 && entry.th32ProcessID != processId))
            continue;
        qkProcessRecord candidate;
        candidate.processId = entry.th32ProcessID;
        candidate.parentProcessId = entry.th32ParentProcessID;
        candidate.path = entry.szExeFile;
        qkHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process.IsValid()) {
            QK_TRACE(L"OpenProcess %lu failed, error %lu", entry.th32ProcessID, ::GetLastError());
            result = FALSE;
            continue;
        }
        if (m_kernel32.pfnIsWow64Process && !m_kernel32.pfnIsWow64Process(process.Get(), &candidate.wow64)) {
            result = FALSE;
            continue;
        }
        bool listed = false;
        if (qkKernel32::IsWow64Process() && m_method == MethodAutomatic && !candidate.wow64) {
            // A 64-bit target cannot be listed by a 32-bit snapshot: its environment block can.
            qkPEBReader peb;
            listed = SUCCEEDED(peb.Open(entry.th32ProcessID)) && SUCCEEDED(peb.ReadModules(candidate.modules));
            for (const auto& [base, module] : candidate.modules) {
                const size_t slash = module.path.find_last_of(L'\\');
                if (::lstrcmpiW(module.path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1), entry.szExeFile) ==
                    0) {
                    candidate.handle = module.handle;
                    candidate.path = module.path;
                    candidate.baseAddress = module.baseAddress;
                    candidate.imageSize = module.imageSize;
                }
            }
        } else {
            listed = ReadModuleSnapshot(entry.th32ProcessID, entry.szExeFile, candidate);
        }
        if (listed)
            found[candidate.processId] = candidate;
        else
            result = FALSE;
    }
    if (::GetLastError() != ERROR_NO_MORE_FILES)
        result = FALSE;
    const auto it = found.find(processId);
    if (it == found.end()) {
        QK_TRACE(L"process %lu not found", processId);
        return FALSE;
    }
    record = it->second;
    return result;
}
