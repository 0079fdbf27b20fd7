#include "common/objects/qkTalFactoryEntry.h"

#include <psapi.h>

#include <cwchar>
#include <new>
#include <vector>

#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkHandle.h"
#include "common/system/qkSplitPath.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

typedef BOOL(WINAPI* PFN_GetModuleHandleExW)(DWORD, LPCWSTR, HMODULE*);

// The text after the last backslash.
const wchar_t* FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    return path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
}

bool ReadModuleFileName(HMODULE module, std::wstring& name)
{
    wchar_t buffer[qkTalFactoryEntry::kMaxPathChars];
    const DWORD n = GetModuleFileNameW(module, buffer, qkTalFactoryEntry::kMaxPathChars);
    if (n == 0 || n >= qkTalFactoryEntry::kMaxPathChars)
        return false;
    name.assign(buffer, n);
    return true;
}

// The program's own image or the process's main module: code there needs no pinning.
HRESULT IsOwnImage(HMODULE module, bool& own)
{
    static HMODULE mainModule = GetModuleHandleW(nullptr);
    if (!mainModule)
        return QK_E_FAIL;
    own = module == reinterpret_cast<HMODULE>(&__ImageBase) || module == mainModule;
    return QK_S_OK;
}

// The module whose range holds the address, by walking the process's module list.
HRESULT FindModuleByWalk(const void* address, HMODULE& found)
{
    qkHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    if (!process.IsValid())
        return QK_E_LOADFAILED;
    DWORD needed = 0;
    if (!EnumProcessModules(process.Get(), nullptr, 0, &needed) || needed == 0)
        return QK_E_LOADFAILED;
    std::vector<HMODULE> modules(needed / sizeof(HMODULE));
    if (!EnumProcessModules(process.Get(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                            &needed))
        return QK_E_FAIL;
    const auto at = reinterpret_cast<const BYTE*>(address);
    for (HMODULE module : modules) {
        MODULEINFO info{};
        if (!GetModuleInformation(process.Get(), module, &info, sizeof(info)))
            return QK_E_FAIL;
        const auto base = static_cast<const BYTE*>(info.lpBaseOfDll);
        if (at >= base && at < base + info.SizeOfImage) {
            found = module;
            return QK_S_OK;
        }
    }
    return QK_E_INVALIDARG;
}

} // namespace

qkTalFactoryEntry* qkTalFactoryEntry::Create(Source source, REFGUID objectId, PFN_CreateObject creator, HMODULE module,
                                             LPCWSTR path, LPCSTR exportName, IModuleLifetimeMgr* owner, DWORD flags)
{
    try {
        qkTalFactoryEntry* entry = new qkTalFactoryEntry();
        entry->InternalAddRef();
        entry->m_source = source;
        entry->m_objectId = objectId;
        entry->m_creator = creator;
        entry->m_givenModule = module;
        if (path)
            entry->m_path = path;
        if (exportName)
            entry->m_exportName = exportName;
        entry->m_dllOwner = owner;
        entry->m_flags = flags;
        return entry;
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"out of memory");
        return nullptr;
    }
}

qkTalFactoryEntry::~qkTalFactoryEntry()
{
    Unload();
}

DWORD qkTalFactoryEntry::KindOf(Source source)
{
    switch (source) {
    case Source::Creator:
    case Source::Export:
    case Source::ExportByPath:
        return 1;
    case Source::Module:
    case Source::DllPath:
        return 2;
    case Source::Dll:
        return 3;
    }
    return 0;
}

DWORD qkTalFactoryEntry::GetKind()
{
    return KindOf(m_source);
}

void* qkTalFactoryEntry::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IObjectFactory))
        return static_cast<IInstanceFactoryEntry*>(this);
    return nullptr;
}

HRESULT qkTalFactoryEntry::Prepare()
{
    switch (m_source) {
    case Source::Creator:
        return PrepareCreator();
    case Source::Export:
    case Source::ExportByPath:
        return PrepareExport();
    case Source::Module:
    case Source::DllPath:
        return PrepareFactory();
    case Source::Dll:
        if (m_path.empty() || m_path.size() > kMaxPathChars)
            return QK_E_INVALIDARG;
        return QK_S_OK;
    }
    return QK_E_FAIL;
}

HRESULT qkTalFactoryEntry::Unload()
{
    m_factory.Reset();
    m_module.Free();
    return QK_S_OK;
}

HRESULT qkTalFactoryEntry::LoadOwnCopy(HRESULT loadFailure)
{
    if (m_givenModule) {
        // The caller's handle names the file; the entry keeps a load of its own and forgets it.
        const HMODULE given = m_givenModule;
        m_givenModule = nullptr;
        if (!ReadModuleFileName(given, m_path)) {
            QK_TRACE(L"file name of module %p not readable, error %lu", given, GetLastError());
            return QK_E_FAIL;
        }
    } else if (m_path.empty() || m_path.size() > kMaxPathChars) {
        return QK_E_INVALIDARG;
    }
    if (!m_module.LoadEx(m_path.c_str())) {
        QK_TRACE(L"%s not loaded, error %lu", m_path.c_str(), GetLastError());
        return loadFailure;
    }
    return QK_S_OK;
}

HRESULT qkTalFactoryEntry::PrepareExport()
{
    const HRESULT hr = LoadOwnCopy(QK_E_FAIL);
    if (hr < 0)
        return hr;
    m_creator = m_module.GetProc<PFN_CreateObject>(m_exportName.c_str());
    if (!m_creator) {
        QK_TRACE(L"%s lacks the export %S", m_path.c_str(), m_exportName.c_str());
        Unload();
        return QK_E_NOENTRYPOINT;
    }
    return QK_S_OK;
}

HRESULT qkTalFactoryEntry::PrepareFactory()
{
    HRESULT hr = LoadOwnCopy(QK_E_LOADFAILED);
    if (hr < 0)
        return hr;
    const auto getFactory = m_module.GetProc<PFN_GetFactory>(kGetFactoryExport);
    if (!getFactory) {
        QK_TRACE(L"%s lacks GetFactory", m_path.c_str());
        Unload();
        return QK_E_NOENTRYPOINT;
    }
    hr = getFactory(m_objectId, m_factory.ReleaseAndGetAddressOf());
    if (hr >= 0 && !m_factory)
        hr = QK_E_FAIL; // success without a factory leaves nothing to create with
    if (hr < 0) {
        QK_TRACE(L"GetFactory of %s failed, 0x%08lX", m_path.c_str(), static_cast<unsigned long>(hr));
        Unload();
    }
    return hr;
}

HRESULT qkTalFactoryEntry::PrepareCreator()
{
    // Keep the DLL that holds the creator's code loaded while the entry exists.
    std::wstring kernel32;
    if (!qkSplitPath::GetSystemDirectory(kernel32) || !qkStringConvert::AppendPath(kernel32, L"kernel32.dll"))
        return QK_E_FAIL;
    qkModule system(nullptr);
    if (!system.LoadEx(kernel32.c_str()))
        return QK_E_FAIL;
    const auto getModuleHandleEx = system.GetProc<PFN_GetModuleHandleExW>("GetModuleHandleExW");
    const void* address = reinterpret_cast<const void*>(m_creator);
    HMODULE holder = nullptr;
    if (getModuleHandleEx) {
        if (!getModuleHandleEx(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(address), &holder)) {
            QK_TRACE(L"no module holds the creator %p, error %lu", address, GetLastError());
            return QK_E_INVALIDARG;
        }
    } else {
        const HRESULT hr = FindModuleByWalk(address, holder);
        if (hr < 0)
            return hr;
    }
    bool own = false;
    const HRESULT hr = IsOwnImage(holder, own);
    if (hr < 0 || own)
        return hr < 0 ? hr : QK_S_OK;
    std::wstring file;
    if (!ReadModuleFileName(holder, file))
        return QK_E_FAIL;
    m_module.LoadEx(file.c_str()); // a pin: its result does not matter
    return QK_S_OK;
}

HRESULT qkTalFactoryEntry::CreateInstance(REFIID iid, void** object)
{
    if (!object)
        return QK_E_INVALIDARG;
    *object = nullptr;
    switch (GetKind()) {
    case 1: {
        if (!m_creator)
            return QK_E_FAIL;
        IUnknown* made = m_creator();
        if (!made)
            return QK_E_OUTOFMEMORY;
        const HRESULT hr = made->QueryInterface(iid, object);
        made->Release();
        return hr;
    }
    case 2:
        return m_factory ? m_factory->CreateInstance(iid, object) : QK_E_FAIL;
    case 3:
        if (!m_dllOwner)
            return QK_E_FAIL;
        if (m_flags == 0)
            return m_dllOwner->CreateInstanceFromPath(m_path.c_str(), m_objectId, iid, object);
        return m_dllOwner->CreateInstanceFromPath(m_path.c_str(), m_objectId, iid, m_flags, object);
    }
    return QK_E_FAIL;
}

bool qkTalFactoryEntry::IsSame(Source source, PFN_CreateObject creator, HMODULE module, LPCWSTR path, LPCSTR exportName,
                               IModuleLifetimeMgr* owner)
{
    switch (source) {
    case Source::Creator:
        return creator == m_creator;
    case Source::Export:
        return module == m_module.Get() && exportName &&
               reinterpret_cast<void*>(GetProcAddress(module, exportName)) == reinterpret_cast<void*>(m_creator);
    case Source::Module:
        return module == m_module.Get();
    case Source::Dll:
        return owner == m_dllOwner.Get() && path && _wcsicmp(FileNameOf(path), FileNameOf(m_path)) == 0;
    case Source::DllPath:
    case Source::ExportByPath: {
        // A repeat that names the same DLL file (and resolves the same export) is the same
        // registration: load it to compare the modules, then let go of that load again.
        if (!path || _wcsicmp(FileNameOf(path), FileNameOf(m_path)) != 0)
            return false;
        qkModule repeat(nullptr);
        if (!repeat.LoadEx(path) || repeat.Get() != m_module.Get())
            return false;
        if (source == Source::DllPath)
            return true;
        return exportName &&
               reinterpret_cast<void*>(repeat.GetProcAddress(exportName)) == reinterpret_cast<void*>(m_creator);
    }
    }
    return false;
}
