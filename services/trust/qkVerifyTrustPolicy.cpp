#include "services/trust/qkVerifyTrustPolicy.h"

#include <mutex>
#include <new>

#include <optional>

#include "common/system/CIsolation.h"
#include "common/system/qkResourceHolders.h"
#include "services/trust/TrustTrace.h"

namespace {
std::mutex g_pathLock;
// Set by tests; unset: the isolation's silo registry path and view.
std::optional<std::wstring> g_siloPath;
REGSAM g_viewFlags = 0;
std::atomic<BYTE> g_cachedPolicy{1}; // the last policy read

REGSAM ViewFlags()
{
    std::lock_guard guard(g_pathLock);
    return g_siloPath ? g_viewFlags : CIsolation::GetRegistryViewFlags();
}
} // namespace

void qkVerifyTrustPolicy::SetSiloRegistryPath(std::wstring path, REGSAM viewFlags)
{
    std::lock_guard guard(g_pathLock);
    g_siloPath = std::move(path);
    g_viewFlags = viewFlags;
}

void qkVerifyTrustPolicy::ResetCache()
{
    g_cachedPolicy = 1;
}

std::wstring qkVerifyTrustPolicy::KeyPath()
{
    std::wstring silo;
    {
        std::lock_guard guard(g_pathLock);
        if (g_siloPath) {
            silo = *g_siloPath;
        } else {
            const wchar_t* path = CIsolation::GetSiloRegistryPath();
            if (path)
                silo = path;
        }
    }
    if (silo.empty()) {
        TRUST_TRACE(L"No silo registry path: no trust policy key");
        return {};
    }
    return silo + L"\\Keel Core\\qkVerifyTrust";
}

BYTE qkVerifyTrustPolicy::GetPolicy(BYTE alternate)
{
    const std::wstring path = KeyPath();
    if (!alternate)
        return 1;
    if (g_cachedPolicy == 0)
        return 0;
    if (path.empty())
        return 1;
    qkRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | ViewFlags(), key.Receive()) != ERROR_SUCCESS)
        return 1;
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key.Get(), L"AlternateTrustPolicy", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return 1;
    g_cachedPolicy = value != 0 ? 1 : 0;
    return value == 0 ? 0 : 1;
}

BYTE qkVerifyTrustPolicy::SetPolicy(BYTE alternate, BYTE value)
{
    const std::wstring path = KeyPath();
    if (alternate) {
        if (path.empty())
            return 0;
        qkRegKey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | ViewFlags(), nullptr,
                            key.Receive(), nullptr) != ERROR_SUCCESS)
            return 0;
        const DWORD data = value;
        return RegSetValueExW(key.Get(), L"AlternateTrustPolicy", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                              sizeof(data)) == ERROR_SUCCESS
                   ? 1
                   : 0;
    }
    if (value == 0)
        return 1;
    if (path.empty())
        return 0;
    qkRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | ViewFlags(), key.Receive()) != ERROR_SUCCESS)
        return 0;
    return RegDeleteValueW(key.Get(), L"TrustPolicy") == ERROR_SUCCESS ? 1 : 0;
}

qkVerifyTrustPolicy* qkVerifyTrustPolicy::Create()
{
    return new (std::nothrow) qkVerifyTrustPolicy();
}

HRESULT STDMETHODCALLTYPE qkVerifyTrustPolicy::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return VT_RC_INVALID_ARGUMENT;
    *out = nullptr;
    if (iid == GUID_NULL || iid == IID_IVerifyTrustPolicy) {
        *out = static_cast<IVerifyTrustPolicy*>(this);
        AddRef();
        return VT_RC_OK;
    }
    return VT_RC_NO_INTERFACE;
}

ULONG STDMETHODCALLTYPE qkVerifyTrustPolicy::AddRef()
{
    return ++m_refs;
}

ULONG STDMETHODCALLTYPE qkVerifyTrustPolicy::Release()
{
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

BYTE STDMETHODCALLTYPE qkVerifyTrustPolicy::SetPolicy(BYTE value)
{
    return SetPolicy(m_alternate, value);
}

BYTE STDMETHODCALLTYPE qkVerifyTrustPolicy::GetPolicy()
{
    return GetPolicy(m_alternate);
}
