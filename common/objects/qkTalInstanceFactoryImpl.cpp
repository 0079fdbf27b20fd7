#include "common/objects/qkTalInstanceFactoryImpl.h"

#include <objbase.h>

#include <new>
#include <string>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedReadLock.h"
#include "common/base/qkScopedWriteLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalObjectRepository.h"
#include "common/objects/qkTalResult.h"

namespace {

bool IsValid(qkTalFactoryEntry::Source source, PFN_CreateObject creator, HMODULE module, LPCWSTR path,
             LPCSTR exportName, IModuleLifetimeMgr* owner, DWORD flags)
{
    using Source = qkTalFactoryEntry::Source;
    const bool hasPath = path && *path;
    switch (source) {
    case Source::Creator:
        return creator != nullptr;
    case Source::Export:
        return module && exportName;
    case Source::ExportByPath:
        return hasPath && exportName;
    case Source::Module:
        return module != nullptr;
    case Source::DllPath:
        return hasPath;
    case Source::Dll:
        return hasPath && owner && flags < 4;
    }
    return false;
}

} // namespace

IInstanceFactory* qkTalInstanceFactoryImpl::Create()
{
    try {
        qkTalInstanceFactoryImpl* factory = new qkTalInstanceFactoryImpl();
        factory->AddRef();
        return factory;
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"out of memory");
        return nullptr;
    }
}

qkTalInstanceFactoryImpl::~qkTalInstanceFactoryImpl()
{
    // Each entry unloads what it loaded when its last reference goes.
    m_entries.clear();
}

void* qkTalInstanceFactoryImpl::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IInstanceFactory) ||
        IsEqualGUID(iid, IID_IInstanceFactory2))
        return static_cast<IInstanceFactory*>(this);
    return nullptr;
}

HRESULT qkTalInstanceFactoryImpl::Register(Source source, REFGUID objectId, PFN_CreateObject creator, HMODULE module,
                                           LPCWSTR path, LPCSTR exportName, IModuleLifetimeMgr* owner, DWORD flags)
{
    qkExceptionInfo info;
    try {
        qkScopedWriteLock lock(m_lock);
        auto it = m_entries.find(objectId);
        if (it == m_entries.end()) {
            if (!IsValid(source, creator, module, path, exportName, owner, flags)) {
                QK_TRACE(L"invalid registration of %s", qkTalObjectRepository::IdText(objectId).c_str());
                return QK_E_INVALIDARG;
            }
            if (source == Source::Dll || source == Source::DllPath || source == Source::ExportByPath) {
                if (wcslen(path) > qkTalFactoryEntry::kMaxPathChars) {
                    QK_TRACE(L"path of %s too long", qkTalObjectRepository::IdText(objectId).c_str());
                    return QK_E_INVALIDARG;
                }
            }
            Microsoft::WRL::ComPtr<qkTalFactoryEntry> entry;
            *entry.GetAddressOf() =
                qkTalFactoryEntry::Create(source, objectId, creator, module, path, exportName, owner, flags);
            if (!entry)
                return QK_E_OUTOFMEMORY;
            const HRESULT hr = entry->Prepare();
            if (hr < 0) {
                QK_TRACE(L"entry of %s not ready, 0x%08lX", qkTalObjectRepository::IdText(objectId).c_str(), static_cast<unsigned long>(hr));
                return hr;
            }
            Registration& added = m_entries[objectId];
            added.entry = entry;
            added.count = 1;
            QK_TRACE(L"%s registered, count 1", qkTalObjectRepository::IdText(objectId).c_str());
            return QK_S_OK;
        }
        Registration& existing = it->second;
        if (existing.entry->GetKind() != qkTalFactoryEntry::KindOf(source)) {
            QK_TRACE(L"%s registered with another kind", qkTalObjectRepository::IdText(objectId).c_str());
            return QK_E_INVALIDARG;
        }
        if (!existing.entry->IsSame(source, creator, module, path, exportName, owner)) {
            QK_TRACE(L"%s registered differently", qkTalObjectRepository::IdText(objectId).c_str());
            return QK_E_INVALIDARG;
        }
        ++existing.count;
        QK_TRACE(L"%s registered again, count %ld", qkTalObjectRepository::IdText(objectId).c_str(), existing.count);
        return QK_S_OK;
    }
    QK_CATCH(info)
    QK_TRACE(L"caught %s", info.GetFullText());
    return info.GetKind() == qkExceptionInfo::KindBadAlloc ? QK_E_OUTOFMEMORY : QK_E_FAIL;
}

HRESULT qkTalInstanceFactoryImpl::RegisterDll(REFGUID objectId, LPCWSTR path, IModuleLifetimeMgr* owner, DWORD flags)
{
    return Register(Source::Dll, objectId, nullptr, nullptr, path, nullptr, owner, flags);
}

HRESULT qkTalInstanceFactoryImpl::RegisterModule(REFGUID objectId, HMODULE module)
{
    return Register(Source::Module, objectId, nullptr, module, nullptr, nullptr, nullptr, 0);
}

HRESULT qkTalInstanceFactoryImpl::RegisterDllPath(REFGUID objectId, LPCWSTR path)
{
    return Register(Source::DllPath, objectId, nullptr, nullptr, path, nullptr, nullptr, 0);
}

HRESULT qkTalInstanceFactoryImpl::RegisterExport(REFGUID objectId, HMODULE module, LPCSTR exportName)
{
    return Register(Source::Export, objectId, nullptr, module, nullptr, exportName, nullptr, 0);
}

HRESULT qkTalInstanceFactoryImpl::RegisterExportByPath(REFGUID objectId, LPCWSTR path, LPCSTR exportName)
{
    return Register(Source::ExportByPath, objectId, nullptr, nullptr, path, exportName, nullptr, 0);
}

HRESULT qkTalInstanceFactoryImpl::RegisterCreator(REFGUID objectId, PFN_CreateObject creator)
{
    return Register(Source::Creator, objectId, creator, nullptr, nullptr, nullptr, nullptr, 0);
}

HRESULT qkTalInstanceFactoryImpl::Unregister(REFGUID objectId)
{
    Microsoft::WRL::ComPtr<qkTalFactoryEntry> removed;
    {
        qkScopedWriteLock lock(m_lock);
        auto it = m_entries.find(objectId);
        if (it == m_entries.end()) {
            QK_TRACE(L"%s not registered", qkTalObjectRepository::IdText(objectId).c_str());
            return QK_E_INVALIDARG;
        }
        if (--it->second.count > 0)
            return QK_S_OK;
        removed = it->second.entry;
        m_entries.erase(it);
    }
    // The entry unloads its DLL when its last reference goes: here, or at the end of a creation
    // still running on another thread, which holds a reference of its own and runs the DLL's code.
    return QK_S_OK;
}

Microsoft::WRL::ComPtr<qkTalFactoryEntry> qkTalInstanceFactoryImpl::FindEntry(REFGUID objectId)
{
    qkScopedReadLock lock(m_lock);
    auto it = m_entries.find(objectId);
    if (it == m_entries.end())
        return nullptr;
    return it->second.entry;
}

HRESULT qkTalInstanceFactoryImpl::CreateInstance(REFGUID objectId, REFIID iid, void** object)
{
    if (!object) {
        QK_TRACE(L"null out pointer");
        return QK_E_INVALIDARG;
    }
    *object = nullptr;
    for (int look = 0; look < 2; ++look) {
        Microsoft::WRL::ComPtr<qkTalFactoryEntry> entry = FindEntry(objectId);
        if (entry)
            return entry->CreateInstance(iid, object);
        if (look == 1)
            break;
        // Nobody registered the id here: the object repository may name the DLL that serves it.
        const HRESULT hr = RegisterDllFromRepository(objectId, false, nullptr, 0);
        if (hr < 0) {
            QK_TRACE(L"%s not served, 0x%08lX", qkTalObjectRepository::IdText(objectId).c_str(), static_cast<unsigned long>(hr));
            return hr;
        }
    }
    QK_TRACE(L"%s not registered after the repository registration", qkTalObjectRepository::IdText(objectId).c_str());
    return QK_E_INVALIDARG;
}

HRESULT qkTalInstanceFactoryImpl::RegisterDllFromRepository(REFGUID objectId, bool withOwner, IModuleLifetimeMgr* owner,
                                                            DWORD flags)
{
    std::wstring path;
    bool found = false;
    try {
        found = qkTalObjectRepository::CurrentGetModulePath(objectId, path);
    } catch (const std::bad_alloc&) {
        return QK_E_OUTOFMEMORY;
    }
    if (!found) {
        QK_TRACE(L"%s unknown to the object repository", qkTalObjectRepository::IdText(objectId).c_str());
        return QK_E_INVALIDARG;
    }
    return withOwner ? RegisterDll(objectId, path.c_str(), owner, flags) : RegisterDllPath(objectId, path.c_str());
}

HRESULT qkTalInstanceFactoryImpl::RegisterFromRepository(REFGUID objectId, IModuleLifetimeMgr* owner, DWORD flags)
{
    return RegisterDllFromRepository(objectId, true, owner, flags);
}

bool qkTalInstanceFactoryImpl::IsRegisteredLocally(REFGUID objectId)
{
    qkScopedReadLock lock(m_lock);
    return m_entries.find(objectId) != m_entries.end();
}

bool qkTalInstanceFactoryImpl::IsRegistered(REFGUID objectId)
{
    return IsRegisteredLocally(objectId) || qkTalObjectRepository::CurrentContains(objectId);
}
