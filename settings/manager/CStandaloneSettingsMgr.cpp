#include "settings/manager/CStandaloneSettingsMgr.h"

#include <new>

#include "common/system/qkHandle.h"
#include "settings/manager/CLegacySettingsMgr.h"
#include "settings/manager/CSettingsMgr.h"
#include "settings/store/qkSettingsResult.h"
#include "settings/store/qkSettingsSignatures.h"

namespace qkSettings {

CStandaloneSettingsMgr::~CStandaloneSettingsMgr()
{
    if (m_inner)
        m_inner->Close();
}

template <typename Call>
HRESULT CStandaloneSettingsMgr::Forward(Call call)
{
    CReadGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    return call(m_inner.Get());
}

HRESULT CStandaloneSettingsMgr::GetSettings(LPCWSTR p, ISettings** s)
{
    return Forward([&](ISettingsMgr* m) { return m->GetSettings(p, s); });
}
HRESULT CStandaloneSettingsMgr::GetSettingsA(LPCSTR p, ISettings** s)
{
    return Forward([&](ISettingsMgr* m) { return m->GetSettingsA(p, s); });
}
HRESULT CStandaloneSettingsMgr::OpenSettings(LPCWSTR p, ISettings** s)
{
    return Forward([&](ISettingsMgr* m) { return m->OpenSettings(p, s); });
}
HRESULT CStandaloneSettingsMgr::OpenSettingsA(LPCSTR p, ISettings** s)
{
    return Forward([&](ISettingsMgr* m) { return m->OpenSettingsA(p, s); });
}
HRESULT CStandaloneSettingsMgr::PutSettings(ISettings* s)
{
    return Forward([&](ISettingsMgr* m) { return m->PutSettings(s); });
}
HRESULT CStandaloneSettingsMgr::EnumSettings(LPCWSTR p, IEnumSettings** n)
{
    return Forward([&](ISettingsMgr* m) { return m->EnumSettings(p, n); });
}
HRESULT CStandaloneSettingsMgr::EnumSettingsA(LPCSTR p, IEnumSettings** n)
{
    return Forward([&](ISettingsMgr* m) { return m->EnumSettingsA(p, n); });
}
HRESULT CStandaloneSettingsMgr::DeleteSettings(LPCWSTR p)
{
    return Forward([&](ISettingsMgr* m) { return m->DeleteSettings(p); });
}
HRESULT CStandaloneSettingsMgr::DeleteSettingsA(LPCSTR p)
{
    return Forward([&](ISettingsMgr* m) { return m->DeleteSettingsA(p); });
}

HRESULT CStandaloneSettingsMgr::ProbeFormat(LPCWSTR storePath)
{
    if (storePath == nullptr)
        return ResultHr(result::kInvalidArg);
    qkHandle file(::CreateFileW(storePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return ResultHr(MapWin32ToResult(::GetLastError()));
    DWORD first = 0, got = 0;
    if (!::ReadFile(file.Get(), &first, 4, &got, nullptr))
        return ResultHr(MapWin32ToResult(::GetLastError()));
    if (got < 4 || first == kLegacyStoreSignature)
        return ResultHr(result::kOk);
    return ResultHr(result::kOkOther);
}

HRESULT CStandaloneSettingsMgr::Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher)
{
    {
        CWriteGuard guard(m_lock);
        if (m_inner) {
            m_inner->Close();
            m_inner.Reset();
            m_transaction.Reset();
            m_storeAccess.Reset();
        }
        HRESULT probe = ProbeFormat(storePath);
        bool legacy;
        if ((flags & (openflag::kCreateNew | openflag::kPreferLegacy)) ==
            (openflag::kCreateNew | openflag::kPreferLegacy))
            legacy = true;
        else if (probe == ResultHr(result::kFileNotFound))
            legacy = (flags & openflag::kPreferLegacy) != 0;
        else if (probe == ResultHr(result::kOk))
            legacy = (flags & openflag::kCreateNew) == 0;
        else if (SUCCEEDED(probe))
            legacy = false;
        else
            return probe;
        if (legacy) {
            // Assignment takes the one reference (this toolchain's Attach takes one of its own).
            Microsoft::WRL::ComPtr<CLegacySettingsMgr> older = new (std::nothrow) CLegacySettingsMgr();
            if (!older)
                return ResultHr(result::kOutOfMemory);
            m_inner = static_cast<ISettingsMgr*>(older.Get());
        } else {
            Microsoft::WRL::ComPtr<CSettingsMgr> inner = new (std::nothrow) CSettingsMgr();
            if (!inner)
                return ResultHr(result::kOutOfMemory);
            HRESULT hr = inner->Init();
            if (FAILED(hr))
                return hr;
            m_inner = static_cast<ISettingsMgr*>(inner.Get());
        }
    }
    return OpenInner(storePath, flags, cipher);
}

HRESULT CStandaloneSettingsMgr::OpenInner(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher)
{
    CReadGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    HRESULT hr = m_inner->Open(storePath, flags, cipher);
    if (SUCCEEDED(hr)) {
        // A manager without transactions or batches (the older format) leaves them null.
        m_inner->QueryInterface(IID_ISettingsTransaction,
                                reinterpret_cast<void**>(m_transaction.ReleaseAndGetAddressOf()));
        m_inner->QueryInterface(IID_ISettingsStoreAccess,
                                reinterpret_cast<void**>(m_storeAccess.ReleaseAndGetAddressOf()));
    }
    return hr;
}

HRESULT CStandaloneSettingsMgr::Close()
{
    CWriteGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    HRESULT hr = m_inner->Close();
    m_inner.Reset();
    m_transaction.Reset();
    m_storeAccess.Reset();
    return hr;
}

HRESULT CStandaloneSettingsMgr::BeginTransaction()
{
    CWriteGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    return m_transaction ? m_transaction->BeginTransaction() : ResultHr(result::kNotImplemented);
}

HRESULT CStandaloneSettingsMgr::CommitTransaction()
{
    CWriteGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    return m_transaction ? m_transaction->CommitTransaction() : ResultHr(result::kNotImplemented);
}

HRESULT CStandaloneSettingsMgr::RollbackTransaction()
{
    CWriteGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    return m_transaction ? m_transaction->RollbackTransaction() : ResultHr(result::kNotImplemented);
}

HRESULT CStandaloneSettingsMgr::CreateSettingsBatch(ISettingsBatch** batch)
{
    CWriteGuard guard(m_lock);
    if (!m_inner)
        return ResultHr(result::kNotOpen);
    return m_storeAccess ? m_storeAccess->CreateSettingsBatch(batch) : ResultHr(result::kNotImplemented);
}

} // namespace qkSettings
