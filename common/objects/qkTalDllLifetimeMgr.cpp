#include "common/objects/qkTalDllLifetimeMgr.h"

#include <memory>

#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalDllLifetimeMgrLocal.h"
#include "common/objects/qkTalResult.h"

namespace {

// The process-wide manager, made under its lock on first use and destroyed at exit.
qkCriticalSection& CreationLock()
{
    static qkCriticalSection lock;
    return lock;
}
std::unique_ptr<qkTalDllLifetimeMgrLocal> g_manager;

qkTalDllLifetimeMgrLocal* Manager()
{
    return qkTalDllLifetimeMgr::GetDllLifetimeMgr() ? g_manager.get() : nullptr;
}

} // namespace

bool qkTalDllLifetimeMgr::GetDllLifetimeMgr()
{
    qkScopedLock lock(CreationLock());
    if (g_manager)
        return true;
    qkExceptionInfo info;
    try {
        g_manager = std::make_unique<qkTalDllLifetimeMgrLocal>();
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"%s", info.GetFullText());
    return g_manager != nullptr;
}

HRESULT qkTalDllLifetimeMgr::CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, BYTE verify,
                                                      BYTE trustLevel, IModuleLifetimeMgr* owner, void** object)
{
    auto* manager = Manager();
    return manager ? manager->CreateInstanceFromModule(module, classId, iid, verify, trustLevel, owner, object)
                   : QK_E_OUTOFMEMORY;
}

HRESULT qkTalDllLifetimeMgr::CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, BYTE verify,
                                                    BYTE trustLevel, IModuleLifetimeMgr* owner, void** object)
{
    auto* manager = Manager();
    return manager ? manager->CreateInstanceFromPath(path, classId, iid, verify, trustLevel, owner, object)
                   : QK_E_OUTOFMEMORY;
}

HRESULT qkTalDllLifetimeMgr::UnlockModule(HMODULE module)
{
    auto* manager = Manager();
    return manager ? manager->UnlockModule(module) : QK_E_OUTOFMEMORY;
}

HRESULT qkTalDllLifetimeMgr::LockModule(HMODULE module)
{
    auto* manager = Manager();
    return manager ? manager->LockModule(module) : QK_E_OUTOFMEMORY;
}

HRESULT qkTalDllLifetimeMgr::UnloadUnusedModules(HMODULE keep)
{
    auto* manager = Manager();
    return manager ? manager->UnloadUnusedModules(keep) : QK_E_OUTOFMEMORY;
}
