#include "common/objects/qkTalDllLifetimeMgrLocal.h"

#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalResult.h"
#include "common/errors/qkLog.h"
#include "common/objects/LoadVerifyTrustDll.h"

namespace {

// The trust object's id, also the interface id it is created for.
constexpr GUID kTrustObjectId = IID_IVerifyTrustCache;
constexpr DWORD kTrustLevel = 3;

qkTalDllLifetimeMgr::TickSource g_tick = nullptr;
// Thread running UnloadUnusedModules, kept only to trace re-entry.
volatile DWORD g_unloadingThread = 0;

std::wstring ModuleFileName(HMODULE module)
{
    std::wstring name;
    try {
        for (DWORD size = MAX_PATH;; size += MAX_PATH) {
            name.resize(size);
            const DWORD n = GetModuleFileNameW(module, name.data(), size);
            if (n == 0)
                return std::wstring();
            if (n < size) {
                name.resize(n);
                return name;
            }
        }
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

} // namespace

void qkTalDllLifetimeMgr::SetTickSource(TickSource source)
{
    g_tick = source;
}

DWORD qkTalDllLifetimeMgrLocal::Now()
{
    return g_tick ? g_tick() : GetTickCount();
}

// ---- module record

LONG qkTalDllLifetimeMgrLocal::ModuleRecord::Lock()
{
    qkScopedLock lock(m_lock);
    if (counted)
        ++m_lockCount;
    m_idleSince = 0;
    return m_lockCount;
}

LONG qkTalDllLifetimeMgrLocal::ModuleRecord::Unlock()
{
    qkScopedLock lock(m_lock);
    if (counted) {
        if (--m_lockCount == 0) {
            const DWORD now = Now();
            m_idleSince = now ? now : 1;
        } else if (m_lockCount < 0) {
            QK_TRACE(L"lock count of %s below 0: %ld", path.c_str(), m_lockCount);
        }
    }
    return m_lockCount;
}

LONG qkTalDllLifetimeMgrLocal::ModuleRecord::GetUsage()
{
    if (!counted)
        return getObjectCount();
    qkScopedLock lock(m_lock);
    return m_lockCount;
}

DWORD qkTalDllLifetimeMgrLocal::ModuleRecord::GetIdleSince()
{
    qkScopedLock lock(m_lock);
    return m_idleSince;
}

void qkTalDllLifetimeMgrLocal::ModuleRecord::ClearCounted()
{
    qkScopedLock lock(m_lock);
    counted = 0;
}

// ---- manager

qkTalDllLifetimeMgrLocal::qkTalDllLifetimeMgrLocal(std::unique_ptr<MapLock> mapLock)
    : m_mapLock(mapLock ? std::move(mapLock) : std::make_unique<MapLock>())
{}

qkTalDllLifetimeMgrLocal::~qkTalDllLifetimeMgrLocal()
{
    InterlockedExchange(&m_creations, 0);
    UnloadUnusedModules(nullptr);
    // DLLs still in use stay loaded: objects of theirs may outlive the manager.
    for (const auto& entry : m_modules)
        QK_TRACE(L"left loaded: %s", entry.second->path.c_str());
    m_modules.clear();
    m_paths.clear();
    m_verifyTrust.Reset();
    m_trustObject.Reset();
    m_trustDll.Unload();
}

qkTalDllLifetimeMgrLocal::ModuleRecord* qkTalDllLifetimeMgrLocal::FindRecord(HMODULE module)
{
    const auto found = m_modules.find(module);
    return found == m_modules.end() ? nullptr : found->second.get();
}

HRESULT qkTalDllLifetimeMgrLocal::BindModule(HMODULE module, LPCWSTR path, BYTE verify, bool store,
                                             ModuleRecord** record)
{
    if (!module)
        return QK_E_INVALIDARG;
    // When storing, the caller's load reference passes to this step.
    auto giveBack = [&] {
        if (store)
            FreeLibrary(module);
    };
    auto getFactory =
        reinterpret_cast<PFN_GetFactory>(reinterpret_cast<void*>(GetProcAddress(module, kGetFactoryExport)));
    auto getObjectCount =
        reinterpret_cast<PFN_GetObjectCount>(reinterpret_cast<void*>(GetProcAddress(module, kGetObjectCountExport)));
    if (!getFactory || !getObjectCount) {
        QK_TRACE(L"%s lacks GetFactory or GetObjectCount", path ? path : L"");
        giveBack();
        return QK_E_NOENTRYPOINT;
    }
    qkExceptionInfo info;
    try {
        auto created = std::make_unique<ModuleRecord>();
        created->module = module;
        created->path = path ? path : L"";
        created->getFactory = getFactory;
        created->getObjectCount = getObjectCount;
        created->verified = verify;
        if (!store) {
            *record = created.release();
        } else {
            auto& slot = m_modules[module];
            if (!slot)
                slot = std::move(created);
            *record = slot.get();
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        QK_TRACE(L"%s", info.GetFullText());
        giveBack();
        return QK_E_OUTOFMEMORY;
    }
    return QK_S_OK;
}

bool qkTalDllLifetimeMgrLocal::VerifyModuleFile(LPCWSTR path, BYTE trustLevel)
{
    Microsoft::WRL::ComPtr<IUnknown> trustObject;
    Microsoft::WRL::ComPtr<IVerifyTrust> verifyTrust;
    {
        qkScopedLock lock(m_trustLock);
        if (!m_trustObject || !m_verifyTrust) {
            m_verifyTrust.Reset();
            m_trustObject.Reset();
            HRESULT hr = m_trustDll.IsBound() ? QK_S_OK : Jux::LoadVerifyTrustDll(&m_trustDll);
            if (hr >= 0)
                hr = m_trustDll.CreateObject(kTrustObjectId, kTrustObjectId,
                                             reinterpret_cast<void**>(m_trustObject.GetAddressOf()));
            if (hr >= 0 && m_trustObject)
                hr = m_trustObject->QueryInterface(IID_IVerifyTrust,
                                                   reinterpret_cast<void**>(m_verifyTrust.GetAddressOf()));
            if (hr < 0 || !m_verifyTrust || m_verifyTrust->Create(TRUE) != VT_TRUSTED) {
                QK_TRACE(L"no trust verifier, 0x%08lX", static_cast<unsigned long>(hr));
                m_verifyTrust.Reset();
                m_trustObject.Reset();
            }
        }
        trustObject = m_trustObject;
        verifyTrust = m_verifyTrust;
    }
    if (!verifyTrust) {
        QK_LOG_WARNING(L"no trust verifier, %s accepted without a trust check", path ? path : L"NULL");
        return true;
    }
    Microsoft::WRL::ComPtr<IVerifyTrustOptions> options;
    if (trustObject->QueryInterface(IID_IVerifyTrustOptions, reinterpret_cast<void**>(options.GetAddressOf())) >= 0 &&
        options)
        options->SetOption(trustLevel);
    // Only an explicit "trusted" accepts the file.
    const DWORD answer = verifyTrust->VerifyFile(path, kTrustLevel);
    if (answer != VT_TRUSTED) {
        QK_TRACE(L"%s rejected by the trust check, answer %lu", path ? path : L"NULL", answer);
        return false;
    }
    return true;
}

HRESULT qkTalDllLifetimeMgrLocal::LoadModule(LPCWSTR path, BYTE verify, BYTE trustLevel, ModuleRecord** record)
{
    if (!path)
        return QK_E_INVALIDARG;
    *record = nullptr;
    {
        MapReadGuard lock(*m_mapLock);
        const auto found = m_paths.find(path);
        if (found != m_paths.end()) {
            if (ModuleRecord* existing = FindRecord(found->second)) {
                // A DLL recorded without a trust check is checked before it serves a caller
                // that asks for one.
                if (!verify || existing->verified) {
                    *record = existing;
                    return QK_S_OK;
                }
            }
        }
    }
    MapWriteGuard lock(*m_mapLock);
    if (verify && !VerifyModuleFile(path, trustLevel))
        return QK_E_UNTRUSTED;
    const HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        QK_TRACE(L"LoadLibraryExW %s failed, error %lu", path, GetLastError());
        return QK_E_LOADFAILED;
    }
    if (ModuleRecord* existing = FindRecord(module)) {
        // The same DLL under another path: the manager keeps one load reference per DLL.
        FreeLibrary(module);
        if (verify)
            existing->verified = 1;
        *record = existing;
    } else {
        const HRESULT hr = BindModule(module, path, verify, true, record);
        if (hr < 0)
            return hr;
    }
    qkExceptionInfo info;
    try {
        m_paths[path] = module;
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"%s", info.GetFullText()); // the module stays recorded by handle
    return QK_S_OK;
}

HRESULT qkTalDllLifetimeMgrLocal::CreateFromRecord(ModuleRecord* record, REFGUID classId, REFIID iid,
                                                   IModuleLifetimeMgr* owner, void** object)
{
    IObjectFactory* factory = nullptr;
    HRESULT hr = record->getFactory(classId, &factory);
    if (hr < 0 || !factory) {
        if (factory)
            factory->Release();
        return hr < 0 ? hr : QK_E_FAIL;
    }
    IObjectFactoryEx* factoryEx = nullptr;
    if (factory->QueryInterface(IID_IObjectFactoryEx, reinterpret_cast<void**>(&factoryEx)) < 0 || !factoryEx) {
        // Objects made without an owner do not lock the DLL: its own object count governs it.
        record->ClearCounted();
        hr = factory->CreateInstance(iid, object);
    } else {
        hr = factoryEx->CreateInstanceWithOwner(iid, object, owner);
        if (hr >= 0 && *object)
            record->Lock();
        factoryEx->Release();
    }
    factory->Release();
    if (hr >= 0)
        QK_TRACE(L"created an object of %s on thread %lu", record->path.c_str(), GetCurrentThreadId());
    return hr;
}

HRESULT qkTalDllLifetimeMgrLocal::CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, BYTE verify,
                                                           BYTE trustLevel, IModuleLifetimeMgr*, void** object)
{
    if (!module || !object)
        return QK_E_INVALIDARG;
    const std::wstring path = ModuleFileName(module);
    if (path.empty())
        QK_TRACE(L"no file name for module %p", module);
    else if (verify && !VerifyModuleFile(path.c_str(), trustLevel))
        return QK_E_UNTRUSTED;
    ModuleRecord* temporary = nullptr;
    HRESULT hr;
    {
        MapWriteGuard lock(*m_mapLock);
        hr = BindModule(module, path.c_str(), verify, false, &temporary);
    }
    if (hr < 0)
        return hr;
    std::unique_ptr<ModuleRecord> owned(temporary);
    owned->ClearCounted();
    return CreateFromRecord(owned.get(), classId, iid, nullptr, object);
}

HRESULT qkTalDllLifetimeMgrLocal::CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, BYTE verify,
                                                         BYTE trustLevel, IModuleLifetimeMgr* owner, void** object)
{
    if (!object || !path)
        return QK_E_INVALIDARG;
    if (*object) {
        static_cast<IUnknown*>(*object)->Release();
        *object = nullptr;
    }
    // While a creation runs no DLL is unloaded, so the new object's DLL cannot vanish before
    // its first lock.
    InterlockedIncrement(&m_creations);
    ModuleRecord* record = nullptr;
    HRESULT hr = LoadModule(path, verify, trustLevel, &record);
    if (hr >= 0)
        hr = record ? CreateFromRecord(record, classId, iid, owner, object) : QK_E_FAIL;
    InterlockedDecrement(&m_creations);
    return hr;
}

HRESULT qkTalDllLifetimeMgrLocal::LockModule(HMODULE module)
{
    MapReadGuard lock(*m_mapLock);
    if (ModuleRecord* record = FindRecord(module)) {
        record->Lock();
        return QK_S_OK;
    }
    QK_TRACE(L"module not loaded here: %s", ModuleFileName(module).c_str());
    return QK_E_INVALIDARG;
}

HRESULT qkTalDllLifetimeMgrLocal::UnlockModule(HMODULE module)
{
    const HRESULT unloaded = UnloadUnusedModules(module);
    if (unloaded < 0)
        QK_TRACE(L"unload failed, 0x%08lX", static_cast<unsigned long>(unloaded));
    MapReadGuard lock(*m_mapLock);
    if (ModuleRecord* record = FindRecord(module)) {
        record->Unlock();
        return unloaded;
    }
    QK_TRACE(L"module not loaded here: %s", ModuleFileName(module).c_str());
    return QK_E_INVALIDARG;
}

HRESULT qkTalDllLifetimeMgrLocal::UnloadUnusedModules(HMODULE keep)
{
    if (InterlockedCompareExchange(&m_creations, 0, 0) > 0)
        return QK_S_FALSE;
    if (g_unloadingThread == GetCurrentThreadId())
        QK_TRACE(L"re-entered on thread %lu", GetCurrentThreadId());
    MapWriteGuard lock(*m_mapLock);
    // Asked again under the lock: a creation that began after the first look may already hold
    // a record that this pass would free. Creations count themselves before they take the lock,
    // so none can begin unseen from here on.
    if (InterlockedCompareExchange(&m_creations, 0, 0) > 0)
        return QK_S_FALSE;
    g_unloadingThread = GetCurrentThreadId();
    HRESULT result = QK_S_FALSE;
    for (auto it = m_modules.begin(); it != m_modules.end();) {
        ModuleRecord* record = it->second.get();
        if (it->first == keep) {
            ++it;
            continue;
        }
        const DWORD now = Now();
        const DWORD idleSince = record->GetIdleSince();
        // Within ten minutes either way, measured as differences modulo 2^32 so that the rule
        // holds when GetTickCount wraps (a sum compared as a number would free a DLL idle for
        // one second across the wrap).
        const bool recent = static_cast<DWORD>(now - idleSince) <= kIdleMilliseconds ||
                            static_cast<DWORD>(idleSince - now) <= kIdleMilliseconds;
        if (record->GetUsage() != 0 || idleSince == 0 || recent) {
            ++it;
            continue;
        }
        for (auto p = m_paths.begin(); p != m_paths.end();)
            p = p->second == it->first ? m_paths.erase(p) : std::next(p);
        QK_TRACE(L"unloading %s", record->path.c_str());
        FreeLibrary(it->first);
        it = m_modules.erase(it);
        result = QK_S_OK;
    }
    g_unloadingThread = 0;
    return result;
}
