#pragma once
// The owners of the Windows resources that the subsystems hold outside their own classes: one
// qkUniqueResource per release function. Kernel handles have qkHandle; registry keys that are
// read or written have qkRegistry.
#include "common/system/qkUniqueResource.h"

#include <windows.h>
#include <wincrypt.h>
#include <wtsapi32.h>

#include <type_traits>

namespace qkLib::release {

template <typename T>
void LocalMemory(T* p)
{
    ::LocalFree(const_cast<std::remove_const_t<T>*>(p));
}
template <typename T>
void WtsMemory(T* p)
{
    ::WTSFreeMemory(const_cast<std::remove_const_t<T>*>(p));
}
inline void Sid(PSID sid)
{
    ::FreeSid(sid);
}
inline void RegistryKey(HKEY key)
{
    ::RegCloseKey(key);
}
inline void Library(HMODULE module)
{
    ::FreeLibrary(module);
}
inline void CertStore(HCERTSTORE store)
{
    ::CertCloseStore(store, 0);
}
inline void CertContext(PCCERT_CONTEXT context)
{
    ::CertFreeCertificateContext(context);
}
inline void ServiceHandle(SC_HANDLE handle)
{
    ::CloseServiceHandle(handle);
}

inline void CryptMessage(HCRYPTMSG message)
{
    ::CryptMsgClose(message);
}

} // namespace qkLib::release

// Memory that LocalAlloc gave (ConvertSidToStringSidW, FormatMessageW, security descriptors).
template <typename T>
using qkLocalPtr = qkUniqueResource<T*, &qkLib::release::LocalMemory<T>>;
// Memory that a WTS query or enumeration gave.
template <typename T>
using qkWtsPtr = qkUniqueResource<T*, &qkLib::release::WtsMemory<T>>;
// A SID from AllocateAndInitializeSid.
using qkAllocatedSid = qkUniqueResource<PSID, &qkLib::release::Sid>;
// A registry key opened only to be passed on or probed.
using qkRegKey = qkUniqueResource<HKEY, &qkLib::release::RegistryKey>;
// A module from LoadLibrary.
using qkLibrary = qkUniqueResource<HMODULE, &qkLib::release::Library>;
using qkCertStore = qkUniqueResource<HCERTSTORE, &qkLib::release::CertStore>;
using qkCertContext = qkUniqueResource<PCCERT_CONTEXT, &qkLib::release::CertContext>;
using qkCryptMsg = qkUniqueResource<HCRYPTMSG, &qkLib::release::CryptMessage>;
using qkServiceHandle = qkUniqueResource<SC_HANDLE, &qkLib::release::ServiceHandle>;
