#include "services/trust/CatalogContext.h"

#include <softpub.h>

#include "services/trust/TrustOsVersion.h"

namespace qkVerifyTrust {

namespace {
using AcquireContext2Fn = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*, const CERT_STRONG_SIGN_PARA*, DWORD);

FARPROC WinTrustEntry(const char* name)
{
    HMODULE wintrust = GetModuleHandleW(L"WinTrust.dll");
    if (wintrust == nullptr)
        wintrust = LoadLibraryExW(L"WinTrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return wintrust ? GetProcAddress(wintrust, name) : nullptr;
}
} // namespace

CatalogContext::CalcHash2Fn CatalogContext::CalcHashFromFileHandle2()
{
    return reinterpret_cast<CalcHash2Fn>(
        reinterpret_cast<void*>(WinTrustEntry("CryptCATAdminCalcHashFromFileHandle2")));
}

CatalogContext::~CatalogContext()
{
    Release();
}

void CatalogContext::Release()
{
    if (m_context)
        CryptCATAdminReleaseContext(m_context, 0);
    m_context = nullptr;
    m_sha256 = false;
}

BOOL CatalogContext::Acquire()
{
    Release();
    m_lastError = 0;
    GUID driverAction = DRIVER_ACTION_VERIFY;
    auto acquire2 =
        reinterpret_cast<AcquireContext2Fn>(reinterpret_cast<void*>(WinTrustEntry("CryptCATAdminAcquireContext2")));
    if (TrustOsVersion::Current().AtLeast(6, 2) && acquire2 != nullptr) {
        // A second-generation system that cannot give its context gives none at all.
        if (acquire2(&m_context, &driverAction, L"SHA256", nullptr, 0)) {
            m_sha256 = true;
            return TRUE;
        }
        m_lastError = GetLastError();
        m_context = nullptr;
        SetLastError(m_lastError);
        return FALSE;
    }
    if (CryptCATAdminAcquireContext(&m_context, &driverAction, 0))
        return TRUE;
    m_lastError = GetLastError();
    m_context = nullptr;
    SetLastError(m_lastError);
    return FALSE;
}

} // namespace qkVerifyTrust
