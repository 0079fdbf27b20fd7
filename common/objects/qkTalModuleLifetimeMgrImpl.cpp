#include "common/objects/qkTalModuleLifetimeMgrImpl.h"

#include <string>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"

namespace {
BYTE FlagVerify(DWORD flags)
{
    return static_cast<BYTE>(flags & 1);
}
BYTE FlagTrustLevel(DWORD flags)
{
    return static_cast<BYTE>((flags >> 1) & 1);
}
} // namespace

IModuleLifetimeMgr* qkTalModuleLifetimeMgrImpl::Create()
{
    return qkTalCreateObject<qkTalModuleLifetimeMgrImpl, IModuleLifetimeMgr>();
}

void* qkTalModuleLifetimeMgrImpl::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IModuleLifetimeMgr))
        return static_cast<IModuleLifetimeMgr*>(this);
    return nullptr;
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, DWORD flags,
                                                             void** object)
{
    return m_dlls.CreateInstanceFromModule(module, classId, iid, FlagVerify(flags), FlagTrustLevel(flags), this,
                                           object);
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromModule(HMODULE module, REFGUID classId, REFIID iid, void** object)
{
    return CreateInstanceFromModule(module, classId, iid, 0, object);
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                           void** object)
{
    qkExceptionInfo info;
    try {
        const std::wstring copy = path ? path : L"";
        return m_dlls.CreateInstanceFromPath(path ? copy.c_str() : nullptr, classId, iid, FlagVerify(flags),
                                             FlagTrustLevel(flags), this, object);
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return QK_E_OUTOFMEMORY;
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid, DWORD flags,
                                                            void** object)
{
    if (!path)
        return CreateInstanceFromPath(nullptr, classId, iid, flags, object);
    // The narrow path is in the system ANSI code page.
    std::wstring wide;
    if (!qkStringConvert::AnsiToWide(path, wide))
        return QK_E_OUTOFMEMORY;
    return CreateInstanceFromPath(wide.c_str(), classId, iid, flags, object);
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromPath(LPCWSTR path, REFGUID classId, REFIID iid, void** object)
{
    return CreateInstanceFromPath(path, classId, iid, 0, object);
}

HRESULT qkTalModuleLifetimeMgrImpl::CreateInstanceFromPathA(LPCSTR path, REFGUID classId, REFIID iid, void** object)
{
    return CreateInstanceFromPathA(path, classId, iid, 0, object);
}

HRESULT qkTalModuleLifetimeMgrImpl::UnlockModule(HMODULE module)
{
    return m_dlls.UnlockModule(module);
}

HRESULT qkTalModuleLifetimeMgrImpl::LockModule(HMODULE module)
{
    return m_dlls.LockModule(module);
}
