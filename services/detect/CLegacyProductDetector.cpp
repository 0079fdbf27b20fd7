#include "services/detect/CLegacyProductDetector.h"

#include "services/launcher/VekTools.h"

#include <cwchar>

namespace vek {

bool CLegacyProductDetector::IsWow64Process()
{
    return VekTools::isWow64BitProcess();
}

bool CLegacyProductDetector::OpenRegistryKey(qkRegistry& key, HKEY root, const wchar_t* path)
{
    if (IsWow64Process() && key.Open(root, path, KEY_READ | KEY_WOW64_64KEY))
        return true;
    return key.Open(root, path, KEY_READ | DefaultViewFlags()) != FALSE;
}

bool CLegacyProductDetector::GetUninstallInfo(const wchar_t* path, std::wstring& name, std::wstring& version)
{
    qkRegistry key;
    if (!OpenRegistryKey(key, HKEY_LOCAL_MACHINE, path))
        return false;
    std::wstring text;
    if (key.QueryStringValue(L"DisplayName", text))
        name = text;
    if (key.QueryStringValue(L"DisplayVersion", text))
        version = text;
    return true;
}

bool CLegacyProductDetector::GetHostedAgentInfo(std::wstring&)
{
    qkRegistry key;
    return OpenRegistryKey(key, HKEY_LOCAL_MACHINE, kHostedAgentKey);
}

bool CLegacyProductDetector::IsHostedAgentInstalled()
{
    std::wstring scratch;
    return GetHostedAgentInfo(scratch);
}

bool CLegacyProductDetector::GetEndpointProductInfo(std::wstring& name, std::wstring& version)
{
    qkRegistry key;
    if (!OpenRegistryKey(key, HKEY_LOCAL_MACHINE, kEndpointKey))
        return false;
    std::wstring id;
    if (!key.QueryStringValue(L"PRODUCTID", id) || id != L"QOR")
        return false;
    std::wstring text;
    if (key.QueryStringValue(L"PRODUCTNAME", text))
        name = text;
    if (key.QueryStringValue(L"PRODUCTVERSION", text))
        version = text;
    return true;
}

bool CLegacyProductDetector::IsEndpointProductInstalled()
{
    std::wstring name, version;
    return GetEndpointProductInfo(name, version);
}

bool CLegacyProductDetector::GetOWDInfo(std::wstring& name, std::wstring& version)
{
    return GetUninstallInfo(kOWDKey, name, version);
}

bool CLegacyProductDetector::IsOWDInstalled()
{
    std::wstring name, version;
    return GetOWDInfo(name, version);
}

bool CLegacyProductDetector::GetUVRInfo(std::wstring& name, std::wstring& version)
{
    return GetUninstallInfo(kUVRKey, name, version);
}

bool CLegacyProductDetector::IsUVRInstalled()
{
    std::wstring name, version;
    return GetUVRInfo(name, version);
}

bool CLegacyProductDetector::GetKAJInfo(std::wstring& name, std::wstring& version)
{
    return GetUninstallInfo(kKAJKey, name, version);
}

bool CLegacyProductDetector::IsKAJInstalled()
{
    std::wstring name, version;
    return GetKAJInfo(name, version);
}

bool CLegacyProductDetector::FindLegacyProduct(std::wstring& name, std::wstring& version)
{
    if (!IsHostedAgentInstalled())
        return false;
    return GetEndpointProductInfo(name, version) || GetOWDInfo(name, version) || GetUVRInfo(name, version);
}

bool CLegacyProductDetector::IsLegacyProductInstalled()
{
    std::wstring name, version;
    return FindLegacyProduct(name, version);
}

} // namespace vek
