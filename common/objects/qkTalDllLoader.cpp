#include "common/objects/qkTalDllLoader.h"

#include <cwchar>
#include <new>

#include "common/base/qkTrace.h"
#include "common/errors/qkLog.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkFolderTrust.h"

namespace {

// Where the DLL's imports are looked for. Without full rights: the DLL's own folder first, then
// the usual search. With them, a DLL that another account planted beside the module would run
// with those rights: the module's folder is searched only when no other account can write it or
// a folder above it, and the system folder always; never the current folder or PATH.
DWORD ImportSearchFlags(LPCWSTR path)
{
    if (!qkFolderTrust::HasFullRights())
        return LOAD_WITH_ALTERED_SEARCH_PATH;
    if (qkFolderTrust::OthersCanRedirect(path)) {
        QK_LOG_WARNING(L"other accounts may write the folder of %s: its imports come from the system folder only", path);
        return LOAD_LIBRARY_SEARCH_SYSTEM32;
    }
    return LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
}

} // namespace

qkTalDllLoader::~qkTalDllLoader()
{
    Unload();
}

HRESULT qkTalDllLoader::VerifyModule(LPCWSTR)
{
    return QK_S_OK;
}

HRESULT qkTalDllLoader::BindExports(HMODULE module)
{
    if (IsBound())
        return QK_S_OK;
    m_getFactory = reinterpret_cast<PFN_GetFactory>(reinterpret_cast<void*>(GetProcAddress(module, kGetFactoryExport)));
    m_getObjectCount =
        reinterpret_cast<PFN_GetObjectCount>(reinterpret_cast<void*>(GetProcAddress(module, kGetObjectCountExport)));
    if (!IsBound()) {
        QK_TRACE(L"module %p lacks GetFactory (%p) or GetObjectCount (%p)", module,
                 reinterpret_cast<void*>(m_getFactory), reinterpret_cast<void*>(m_getObjectCount));
        return QK_E_NOENTRYPOINT;
    }
    return QK_S_OK;
}

bool qkTalDllLoader::IsSamePath(LPCWSTR path) const
{
    if (_wcsicmp(m_path.c_str(), path) == 0)
        return true;
    // Another spelling of the same file names the module already loaded.
    return GetModuleHandleW(path) == m_module;
}

HRESULT qkTalDllLoader::Load(LPCWSTR path)
{
    if (!path)
        return QK_E_INVALIDARG;
    if (IsBound()) {
        // Keeping the first DLL for another path would hand out objects of the wrong DLL.
        if (IsSamePath(path))
            return QK_S_OK;
        QK_TRACE(L"already holds %s, refused %s", m_path.c_str(), path);
        return QK_E_INVALIDARG;
    }
    Unload();

    const HRESULT verified = VerifyModule(path);
    if (verified < 0)
        return verified;

    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        return QK_E_OUTOFMEMORY;
    }
    m_module = LoadLibraryExW(path, nullptr, ImportSearchFlags(path));
    if (!m_module) {
        QK_TRACE(L"LoadLibraryExW %s failed, error %lu", path, GetLastError());
        m_path.clear();
        return QK_E_LOADFAILED;
    }
    const HRESULT bound = BindExports(m_module);
    if (bound < 0) {
        Unload();
        return bound;
    }
    return QK_S_OK;
}

HRESULT qkTalDllLoader::CreateObject(REFGUID objectId, REFIID iid, void** object)
{
    if (!object || !m_getFactory)
        return QK_E_INVALIDARG;
    *object = nullptr;
    IObjectFactory* factory = nullptr;
    HRESULT hr = m_getFactory(objectId, &factory);
    if (hr >= 0) {
        // A DLL that reports success without a factory has nothing to create with.
        hr = factory ? factory->CreateInstance(iid, object) : QK_E_FAIL;
    }
    if (factory)
        factory->Release();
    return hr;
}

void qkTalDllLoader::Unload()
{
    if (m_module)
        FreeLibrary(m_module);
    m_module = nullptr;
    m_getFactory = nullptr;
    m_getObjectCount = nullptr;
    m_path.clear();
}
