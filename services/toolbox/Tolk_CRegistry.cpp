#include "services/toolbox/Tolk_CRegistry.h"
#include "services/toolbox/Tolk_WellKnownSid.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <new>
#include <vector>

#include "common/base/qkException.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkResourceHolders.h"
#include "services/toolbox/Tolk_CPathTokenizer.h"

namespace Tolk {

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The object-name prefix of a root for the security functions; null for other roots.
const wchar_t* RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return L"MACHINE";
    if (root == HKEY_CURRENT_USER)
        return L"CURRENT_USER";
    if (root == HKEY_USERS)
        return L"USERS";
    if (root == HKEY_CLASSES_ROOT)
        return L"CLASSES_ROOT";
    return nullptr;
}

// Grants all access on the key to the account (null: the current user); false when it threw.
bool GrantAllAccess(HKEY root, const wchar_t* path, REGSAM view, PSID account)
{
    const qkAccessDescription all{{KEY_ALL_ACCESS, 0, 0}, {0, 0, 0}};
    try {
        if (account)
            qkLib::RegistryEnsureAccess(root, path, view, all, account);
        else
            qkLib::RegistryEnsureAccess(root, path, view, all);
        return true;
    } catch (const qkException& e) {
        QK_LOG_ERROR(L"RegistryEnsureAccess %ls threw an exception: %d", path, static_cast<int>(e.GetResult()));
    } catch (...) {
        QK_LOG_ERROR(L"RegistryEnsureAccess %ls threw an exception: (0x%08x)", path,
                     static_cast<unsigned>(E_UNEXPECTED));
    }
    return false;
}

} // namespace

BOOL CRegistry::Open(HKEY root, const wchar_t* path, REGSAM access, BOOL createIfMissing)
{
    m_root = root;
    m_path = path ? path : L"";
    m_access = access;
    if (qkRegistry::Open(root, m_path.c_str(), access, createIfMissing))
        return TRUE;
    if (!createIfMissing && GetLastError() == ERROR_FILE_NOT_FOUND)
        return FALSE;
    QK_LOG_WARNING(L"Registry open fails for %ls key, using force open", m_path.c_str());
    ForceOpenKey(root, m_path.c_str(), createIfMissing);
    return qkRegistry::Open(root, m_path.c_str(), access, createIfMissing);
}

BOOL CRegistry::Open(const CRegistry& parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing)
{
    std::wstring path;
    try {
        path = parent.m_path;
        if (subkey && *subkey)
            path += (path.empty() ? L"" : L"\\") + std::wstring(subkey);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"failed to format path");
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return Open(parent.m_root, path.c_str(), access, createIfMissing);
}

BOOL CRegistry::Create(HKEY root)
{
    m_root = root;
    m_path = kRunKey;
    m_access = KEY_ALL_ACCESS;
    if (qkRegistry::Create(root, kRunKey, KEY_ALL_ACCESS))
        return TRUE;
    QK_LOG_WARNING(L"Registry create fails for %ls key, using open", kRunKey);
    return Open(root, kRunKey, KEY_ALL_ACCESS, FALSE);
}

HRESULT CRegistry::EnsureOpen(HKEY root, const wchar_t* path, BOOL createIfMissing)
{
    const REGSAM access = m_access | KEY_ALL_ACCESS;
    qkRegistry key;
    if (key.Open(root, path, access, createIfMissing))
        return S_OK;
    DWORD error = key.GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        const REGSAM view = qkRegistry::GetViewFlags(access);
        const auto admins = WellKnownSid(WinBuiltinAdministratorsSid);
        const auto system = WellKnownSid(WinLocalSystemSid);
        GrantAllAccess(root, path, view, nullptr);
        if (!admins.empty())
            GrantAllAccess(root, path, view, const_cast<BYTE*>(admins.data()));
        if (!system.empty())
            GrantAllAccess(root, path, view, const_cast<BYTE*>(system.data()));
        if (key.Open(root, path, access, createIfMissing))
            return S_OK;
        error = key.GetLastError();
    }
    QK_LOG_ERROR(L"Failed during Registry EnsureOpen %lu", error);
    return HRESULT_FROM_WIN32(error);
}

void CRegistry::ForceOpenKey(HKEY root, const wchar_t* path, BOOL createIfMissing)
{
    std::wstring fullPath;
    std::vector<std::wstring> parts;
    try {
        fullPath = path ? path : L"";
        for (auto& c : fullPath)
            if (c == L'/')
                c = L'\\';
        parts = CPathTokenizer(fullPath).Parts();
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"failed to copy registry key");
        return;
    }
    const bool wow64 = qkOSInfo::IsWow64() != FALSE;
    std::wstring partial;
    for (const std::wstring& part : parts) {
        try {
            partial = partial.empty() ? part : partial + L"\\" + part;
        } catch (const std::bad_alloc&) {
            QK_LOG_ERROR(L"failed to append registry subkey");
            return;
        }
        // Under WOW64 the redirected node's access list is never reset.
        const bool keepAccessList = wow64 && part == L"Wow6432Node";
        const HRESULT hr = EnsureOpen(root, partial.c_str(), createIfMissing);
        if (SUCCEEDED(hr))
            continue;
        QK_LOG_ERROR(L"failed to open key: %ls at %ls (0x%08x)", fullPath.c_str(), partial.c_str(),
                     static_cast<unsigned>(hr));
        if (hr != E_ACCESSDENIED) {
            QK_LOG_ERROR(L"failed on ensure open registry key %ls (0x%08x", partial.c_str(), static_cast<unsigned>(hr));
            return;
        }
        const wchar_t* rootName = RootName(root);
        if (rootName == nullptr || keepAccessList) {
            QK_LOG_WARNING(L"last attempt to open registry key %ls", fullPath.c_str());
            EnsureOpen(root, fullPath.c_str(), createIfMissing);
            return;
        }
        // An empty, unprotected access list: the key inherits its parent's permissions again.
        qkLocalPtr<void> descriptor;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:AI", SDDL_REVISION_1, descriptor.Receive(),
                                                                    nullptr))
            continue;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        ::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted);
        std::wstring objectName = std::wstring(rootName) + L"\\" + partial;
        const DWORD set = ::SetNamedSecurityInfoW(objectName.data(), SE_REGISTRY_KEY,
                                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                                  nullptr, nullptr, dacl, nullptr);
        if (set != ERROR_SUCCESS)
            continue;
        if (FAILED(EnsureOpen(root, fullPath.c_str(), createIfMissing))) {
            QK_LOG_ERROR(L"failed on ensure open registry key %ls", fullPath.c_str());
            return;
        }
    }
}

} // namespace Tolk
