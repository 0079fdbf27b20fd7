#include "engine/manifest/VekShellFolders.h"

#include "common/system/qkOSInfo.h"

#include <objbase.h>

namespace vek {

bool CShellFolders::IsVistaOrLater()
{
    return qkOSInfo::IsWindowsVista(TRUE) != FALSE;
}

HRESULT CShellFolders::GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, std::wstring& path)
{
    PWSTR folder = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(id, flags, nullptr, &folder);
    if (SUCCEEDED(hr) && folder != nullptr) {
        path = folder;
    }
    ::CoTaskMemFree(folder);
    return hr;
}

HRESULT CShellFolders::GetFolderPath(int csidl, std::wstring& path)
{
    wchar_t folder[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (hr == S_OK) {
        path = folder;
    }
    return hr;
}

} // namespace vek
