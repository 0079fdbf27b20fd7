#include "net/http/Jux_ProductKey.h"

#include "common/base/qkTrace.h"
#include "common/system/CIsolation.h"
#include "common/system/qkRegistry.h"

namespace Jux {

bool ReadProductString(const wchar_t* subkey, const wchar_t* name, std::wstring& value)
{
    const wchar_t* silo = CIsolation::GetSiloRegistryPath();
    if (!silo) {
        QK_TRACE(L"no silo registry path");
        return false;
    }
    std::wstring path = silo;
    if (subkey)
        path += std::wstring(L"\\") + subkey;
    qkRegistry key;
    if (!key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | CIsolation::GetRegistryViewFlags())) {
        QK_TRACE(L"cannot open HKLM\\%ls: %lu", path.c_str(), key.GetLastError());
        return false;
    }
    if (!key.QueryStringValue(name, value)) {
        QK_TRACE(L"no string value %ls under HKLM\\%ls: %lu", name, path.c_str(), key.GetLastError());
        return false;
    }
    return true;
}

} // namespace Jux
