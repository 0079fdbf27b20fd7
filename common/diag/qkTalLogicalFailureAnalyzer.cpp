#include "common/diag/qkTalLogicalFailureAnalyzer.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <wrl/client.h>

#include "common/base/qkCrc32.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"
#include "common/objects/qkQueryInterface.h"
#include "common/diag/qkTalErrorInstanceStore.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/system/qkHandle.h"
#include "common/system/qkPrivilege.h"
#include "common/system/qkSplitPath.h"
#include "common/system/qkVersionInfo.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kOwnCompany[] = L"Talvern";

bool SetText(IKeyValueCollection* collection, ULONG key, const std::wstring& text)
{
    ComPtr<IStringObject> object;
    qkAdopt(object, qkTalStringImpl::CreateWithText(text.c_str()));
    return object && collection->SetObject(key, object.Get());
}

// Appends the frame's module name (UTF-16, no terminator) and its 8-byte offset.
void AppendFrame(std::vector<BYTE>& bytes, const std::wstring& name, ULONGLONG offset)
{
    const BYTE* text = reinterpret_cast<const BYTE*>(name.data());
    bytes.insert(bytes.end(), text, text + name.size() * sizeof(wchar_t));
    const BYTE* raw = reinterpret_cast<const BYTE*>(&offset);
    bytes.insert(bytes.end(), raw, raw + sizeof(offset));
}

// The minidump takes the reporting thread only.
BOOL CALLBACK DumpCallback(PVOID parameter, PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT)
{
    if (!input)
        return TRUE;
    if (input->CallbackType == IncludeThreadCallback)
        return input->IncludeThread.ThreadId == static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(parameter));
    return TRUE;
}

} // namespace

HRESULT qkTalLogicalFailureAnalyzer::Prepare()
{
    if (m_prepared)
        return S_OK;
    if (!m_dbgHelp.Load())
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (!m_dbgHelp.pfnMiniDumpWriteDump || !m_dbgHelp.pfnStackWalk64)
        return E_UNEXPECTED;
    qkExceptionInfo info;
    try {
        std::wstring path;
        if (!qkSplitPath::GetSystemDirectory(path) || !qkStringConvert::AppendPath(path, L"DBGHELP.DLL") ||
            !m_imageHelp.LoadEx(path.c_str()))
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    QK_CATCH(info)
    if (info.HasError())
        return E_OUTOFMEMORY;
    m_imageDirectoryEntryToDataEx = m_imageHelp.GetProc<ImageDirectoryEntryToDataExFn>("ImageDirectoryEntryToDataEx");
    if (!m_imageDirectoryEntryToDataEx)
        return E_UNEXPECTED;
    m_prepared = true;
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::FindModule(ULONG_PTR address, ModuleInfo& module)
{
    MEMORY_BASIC_INFORMATION region{};
    if (!::VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof(region)))
        return E_UNEXPECTED;
    module.base = reinterpret_cast<ULONG_PTR>(region.AllocationBase);
    if (module.base == 0)
        return E_INVALIDARG;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(reinterpret_cast<HMODULE>(module.base), buffer.data(),
                                             static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return E_INVALIDARG; // memory that no module owns (a heap block, a stack)
        if (n < buffer.size()) {
            module.path.assign(buffer.data(), n);
            break;
        }
        if (buffer.size() >= 32767)
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        buffer.resize(buffer.size() + MAX_PATH);
    }
    wchar_t name[_MAX_FNAME] = {};
    if (_wsplitpath_s(module.path.c_str(), nullptr, 0, nullptr, 0, name, _MAX_FNAME, nullptr, 0) != 0)
        return E_UNEXPECTED;
    module.name = name;
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::ReadLinkTime(ULONG_PTR base, SYSTEMTIME& time)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0)
        return E_INVALIDARG;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return E_INVALIDARG;
    const ULONGLONG ticks = ULONGLONG(nt->FileHeader.TimeDateStamp) * 10000000ULL + 116444736000000000ULL;
    FILETIME file;
    file.dwLowDateTime = static_cast<DWORD>(ticks);
    file.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (!::FileTimeToSystemTime(&file, &time))
        return HRESULT_FROM_WIN32(::GetLastError());
    return S_OK;
}

void qkTalLogicalFailureAnalyzer::ReadVersion(const std::wstring& path, ModuleInfo& module)
{
    qkVersionInfo version;
    if (!version.Load(path.c_str()))
        return;
    const VS_FIXEDFILEINFO& fixed = version.m_fixedInfo;
    if (fixed.dwSignature == VS_FFI_SIGNATURE) {
        wchar_t text[64];
        qkLib::FormatWide(text, 64, L"%u.%u.%u.%u", HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS),
                          HIWORD(fixed.dwFileVersionLS), LOWORD(fixed.dwFileVersionLS));
        module.version = text;
    }
    if (const std::wstring* company = version.Find(L"CompanyName"))
        module.company = *company;
}

HRESULT qkTalLogicalFailureAnalyzer::ReadDebugGuid(ULONG_PTR base, GUID& guid)
{
    if (!m_imageDirectoryEntryToDataEx)
        return E_NOINTERFACE;
    ULONG size = 0;
    const auto* entries = static_cast<const IMAGE_DEBUG_DIRECTORY*>(m_imageDirectoryEntryToDataEx(
        reinterpret_cast<PVOID>(base), TRUE, IMAGE_DIRECTORY_ENTRY_DEBUG, &size, nullptr));
    if (!entries || size < sizeof(IMAGE_DEBUG_DIRECTORY))
        return E_UNEXPECTED;
    for (ULONG i = 0; i < size / sizeof(IMAGE_DEBUG_DIRECTORY); ++i) {
        if (entries[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW)
            continue;
        if (entries[i].SizeOfData < 4)
            return E_UNEXPECTED;
        const BYTE* data = reinterpret_cast<const BYTE*>(base + entries[i].AddressOfRawData);
        if (entries[i].AddressOfRawData && entries[i].SizeOfData >= 4 + sizeof(GUID) &&
            std::memcmp(data, "RSDS", 4) == 0) {
            std::memcpy(&guid, data + 4, sizeof(GUID));
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

HRESULT qkTalLogicalFailureAnalyzer::DescribeModule(ULONG_PTR address, ModuleInfo& module)
{
    HRESULT hr = FindModule(address, module);
    if (FAILED(hr))
        return hr;
    hr = ReadLinkTime(module.base, module.linkTime);
    if (FAILED(hr))
        return hr;
    ReadVersion(module.path, module);
    module.hasDebugGuid = SUCCEEDED(ReadDebugGuid(module.base, module.debugGuid));
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::Analyze(const CONTEXT* context, const wchar_t* idText, ULONG_PTR failureAddress,
                                             DWORD number1, DWORD number2, DWORD number3,
                                             IKeyValueCollection* collection)
{
    if (!context || !collection)
        return E_INVALIDARG;
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        hr = AnalyzeGuarded(context, idText, failureAddress, number1, number2, number3, collection);
    }
    QK_CATCH(info)
    if (info.HasError()) {
        info.SetExceptionType(L"qkTalLogicalFailureAnalyzer");
        QK_TRACE(L"%s", info.GetFullText());
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        QK_TRACE(L"analysis failed, hr 0x%08X", hr);
    return hr;
}

HRESULT qkTalLogicalFailureAnalyzer::AnalyzeGuarded(const CONTEXT* context, const wchar_t* idText,
                                                    ULONG_PTR failureAddress, DWORD number1, DWORD number2,
                                                    DWORD number3, IKeyValueCollection* collection)
{
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    GUID id;
    HRESULT hr = ::CoCreateGuid(&id);
    if (FAILED(hr))
        return hr;
    const DWORD processId = ::GetCurrentProcessId();
    DWORD session = 0;
    if (!::ProcessIdToSessionId(processId, &session))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (!collection->SetUInt32(0, 0) || !collection->SetSystemTime(1, &now) || !collection->SetGuid(2, &id) ||
        !collection->SetUInt32(6, processId) || !collection->SetUInt32(7, ::GetCurrentThreadId()) ||
        !collection->SetUInt32(33, session) || !collection->SetUInt32(17, number1) ||
        !collection->SetUInt32(18, number2) || !collection->SetUInt32(19, number3))
        return E_OUTOFMEMORY;
    hr = AnalyzeStack(context, collection);
    if (FAILED(hr))
        return hr;
    hr = AnalyzeProcess(collection);
    if (FAILED(hr))
        return hr;
    hr = AnalyzeFailingModule(failureAddress, collection);
    if (FAILED(hr))
        return hr;
    if (idText && *idText) {
        if (!SetText(collection, 16, idText))
            return E_OUTOFMEMORY;
    } else {
        ComPtr<IUnknown> name;
        ComPtr<IStringObject> text;
        if (collection->GetObject(11, &name) && SUCCEEDED(qkQueryInterface(name.Get(), CLSID_qkTalString, text)) &&
            !collection->SetObject(16, text.Get()))
            return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::AnalyzeStack(const CONTEXT* context, IKeyValueCollection* collection)
{
    if (!m_dbgHelp.pfnStackWalk64 || !m_dbgHelp.pfnSymFunctionTableAccess64 || !m_dbgHelp.pfnSymGetModuleBase64)
        return E_NOINTERFACE;
    CONTEXT copy = *context;
    STACKFRAME64 frame{};
#ifdef _WIN64
    const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = copy.Rip;
    frame.AddrFrame.Offset = copy.Rbp;
    frame.AddrStack.Offset = copy.Rsp;
#else
    const DWORD machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = copy.Eip;
    frame.AddrFrame.Offset = copy.Ebp;
    frame.AddrStack.Offset = copy.Esp;
#endif
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    std::vector<STACKFRAME64> frames;
    {
        qkScopedLock lock(qkDbgHelp::ProcessLock());
        // The walk unwinds through the symbol handler's module list; it is made for this walk
        // and dropped after it, so that no other user of DbgHelp finds it changed.
        // Deferred loads: the modules are listed, their symbols never read.
        if (m_dbgHelp.pfnSymSetOptions)
            m_dbgHelp.pfnSymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_NO_PROMPTS | SYMOPT_FAIL_CRITICAL_ERRORS);
        const bool symbols = m_dbgHelp.pfnSymInitializeW && m_dbgHelp.pfnSymCleanup &&
                             m_dbgHelp.pfnSymInitializeW(::GetCurrentProcess(), nullptr, TRUE);
        if (!symbols)
            QK_TRACE(L"SymInitializeW failed, error %lu", ::GetLastError());
        while (frames.size() < kMaxFrames &&
               m_dbgHelp.pfnStackWalk64(machine, ::GetCurrentProcess(), ::GetCurrentThread(), &frame, &copy, nullptr,
                                        m_dbgHelp.pfnSymFunctionTableAccess64, m_dbgHelp.pfnSymGetModuleBase64,
                                        nullptr)) {
            frames.push_back(frame);
            if (frame.AddrReturn.Offset == 0)
                break;
        }
        if (symbols)
            m_dbgHelp.pfnSymCleanup(::GetCurrentProcess());
    }
    if (frames.empty())
        return E_INVALIDARG;
    if (frames.size() < 2)
        return S_OK;
    std::vector<BYTE> signature;
    bool described = false;
    for (size_t i = 1; i < frames.size(); ++i) {
        const ULONG_PTR address = static_cast<ULONG_PTR>(frames[i].AddrPC.Offset);
        ModuleInfo module;
        const bool found = SUCCEEDED(FindModule(address, module));
        const ULONGLONG offset = found ? address - module.base : address;
        if (found && !described) {
            ReadVersion(module.path, module);
            if (module.company.find(kOwnCompany) != std::wstring::npos) {
                described = true;
                if (SUCCEEDED(ReadDebugGuid(module.base, module.debugGuid))) {
                    if (!collection->SetGuid(30, &module.debugGuid))
                        return E_OUTOFMEMORY;
                } else {
                    QK_TRACE(L"no debug GUID in %s", module.path.c_str());
                }
                const bool timed = SUCCEEDED(ReadLinkTime(module.base, module.linkTime));
                if ((!module.path.empty() && !SetText(collection, 28, module.path)) ||
                    (!module.name.empty() && !SetText(collection, 21, module.name)) ||
                    (!module.version.empty() && !SetText(collection, 22, module.version)) ||
                    (timed && !collection->SetSystemTime(23, &module.linkTime)) || !collection->SetUInt64(24, offset))
                    return E_OUTOFMEMORY;
            }
        }
        AppendFrame(signature, found ? module.name : std::wstring(), offset);
    }
    if (!collection->SetUInt32(15, qkLib::Crc32(signature.data(), static_cast<DWORD>(signature.size()))))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::AnalyzeProcess(IKeyValueCollection* collection)
{
    ModuleInfo module;
    HRESULT hr = FindModule(reinterpret_cast<ULONG_PTR>(::GetModuleHandleW(nullptr)), module);
    if (FAILED(hr))
        return hr;
    hr = ReadLinkTime(module.base, module.linkTime);
    if (FAILED(hr))
        return hr;
    ReadVersion(module.path, module);
    const bool own = module.company.find(kOwnCompany) != std::wstring::npos;
    if (!SetText(collection, 26, module.path) || !SetText(collection, 8, module.name) ||
        (!module.version.empty() && !SetText(collection, 9, module.version)) ||
        !collection->SetSystemTime(10, &module.linkTime) || !collection->SetBool(25, own))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::AnalyzeFailingModule(ULONG_PTR failureAddress, IKeyValueCollection* collection)
{
    ModuleInfo module;
    HRESULT hr = DescribeModule(failureAddress, module);
    if (FAILED(hr))
        return hr;
    if (module.hasDebugGuid) {
        if (!collection->SetGuid(29, &module.debugGuid))
            return E_OUTOFMEMORY;
    } else {
        QK_TRACE(L"no debug GUID in %s", module.path.c_str());
    }
    const ULONGLONG offset = failureAddress - module.base;
    if (!SetText(collection, 27, module.path) || !SetText(collection, 11, module.name) ||
        (!module.version.empty() && !SetText(collection, 12, module.version)) ||
        !collection->SetSystemTime(13, &module.linkTime) || !collection->SetUInt64(14, offset))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT qkTalLogicalFailureAnalyzer::WriteDump(qkTalErrorInstanceStore& store, DWORD dumpType, EXCEPTION_RECORD* record,
                                               CONTEXT* context)
{
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        hr = WriteDumpGuarded(store, dumpType, record, context);
    }
    QK_CATCH(info)
    if (info.HasError()) {
        info.SetExceptionType(L"qkTalLogicalFailureAnalyzer");
        QK_TRACE(L"%s", info.GetFullText());
        return E_OUTOFMEMORY;
    }
    return hr;
}

HRESULT qkTalLogicalFailureAnalyzer::WriteDumpGuarded(qkTalErrorInstanceStore& store, DWORD dumpType,
                                                      EXCEPTION_RECORD* record, CONTEXT* context)
{
    if (!m_dbgHelp.pfnMiniDumpWriteDump)
        return E_NOINTERFACE;
    std::wstring path;
    HRESULT hr = store.GetPath(path);
    if (FAILED(hr))
        return hr;
    if (path.empty())
        return E_UNEXPECTED;
    path += L".tmp";
    {
        qkScopedLock lock(qkDbgHelp::ProcessLock());
        qkHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) {
            QK_TRACE(L"creating %s failed, error %lu", path.c_str(), ::GetLastError());
            return E_FAIL;
        }
        qkPrivilege debug;
        if (!debug.EnableForCurrentThread(SE_DEBUG_NAME))
            QK_TRACE(L"SeDebugPrivilege not enabled, error %lu", ::GetLastError());
        qkHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()));
        if (!process.IsValid()) {
            QK_TRACE(L"opening the own process failed, error %lu", ::GetLastError());
            hr = E_FAIL;
        } else {
            EXCEPTION_POINTERS pointers{record, context};
            MINIDUMP_EXCEPTION_INFORMATION exception{};
            exception.ThreadId = ::GetCurrentThreadId();
            exception.ExceptionPointers = &pointers;
            exception.ClientPointers = TRUE;
            MINIDUMP_CALLBACK_INFORMATION callback{};
            callback.CallbackRoutine = DumpCallback;
            callback.CallbackParam = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(::GetCurrentThreadId()));
            if (!m_dbgHelp.pfnMiniDumpWriteDump(process.Get(), ::GetCurrentProcessId(), file.Get(),
                                                static_cast<MINIDUMP_TYPE>(dumpType), &exception, nullptr, &callback)) {
                QK_TRACE(L"MiniDumpWriteDump failed, error %lu", ::GetLastError());
                hr = E_FAIL;
            }
        }
    }
    if (SUCCEEDED(hr)) {
        hr = store.AddDump(path.c_str(), path.c_str());
        if (FAILED(hr))
            QK_TRACE(L"embedding the dump failed, hr 0x%08X", hr);
    }
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && !::DeleteFileW(path.c_str()))
        QK_TRACE(L"deleting %s failed, error %lu", path.c_str(), ::GetLastError());
    return hr;
}
