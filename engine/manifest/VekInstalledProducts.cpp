#include "engine/manifest/VekInstalledProducts.h"

#include "common/errors/qkLog.h"
#include "common/system/qkModule.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"

#include <msi.h>

#include <vector>

namespace vek {

namespace {

using EnumRelatedProductsFn = UINT(WINAPI*)(LPCWSTR, DWORD, DWORD, LPWSTR);
using GetProductInfoFn = UINT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, LPDWORD);

std::vector<unsigned long> ParseVersion(const std::wstring& text)
{
    std::vector<unsigned long> parts;
    size_t start = 0;
    while (parts.size() < 4) {
        const size_t dot = text.find(L'.', start);
        const std::wstring piece = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        parts.push_back(wcstoul(piece.c_str(), nullptr, 10));
        if (dot == std::wstring::npos) {
            break;
        }
        start = dot + 1;
    }
    return parts;
}

} // namespace

int CInstalledProducts::CompareVersions(const std::wstring& a, const std::wstring& b)
{
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
    }
    const std::vector<unsigned long> left = ParseVersion(a);
    const std::vector<unsigned long> right = ParseVersion(b);
    for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
        if (left[i] != right[i]) {
            return left[i] < right[i] ? -1 : 1;
        }
    }
    return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

int CInstalledProducts::CompareInstalledVersion(const std::wstring& upgradeCode32, const std::wstring& upgradeCode64,
                                                const std::wstring& version)
{
    std::wstring upgradeCode = upgradeCode32.empty() ? upgradeCode64 : upgradeCode32;
    if (!upgradeCode32.empty() && !upgradeCode64.empty() && qkOSInfo::IsWow64()) {
        upgradeCode = upgradeCode64;
    }
    if (upgradeCode.empty()) {
        QK_LOG_ERROR(L"Product code not specified");
        return -3;
    }
    // From the system folder only: never a msi.dll that lies beside the launcher.
    qkModule msi(::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (msi.Get() == nullptr) {
        QK_LOG_ERROR(L"Windows Installer library not loaded, error %lu", ::GetLastError());
        return -2;
    }
    const auto enumRelated = msi.GetProc<EnumRelatedProductsFn>("MsiEnumRelatedProductsW");
    const auto productInfo = msi.GetProc<GetProductInfoFn>("MsiGetProductInfoW");
    if (enumRelated == nullptr || productInfo == nullptr) {
        QK_LOG_ERROR(L"Windows Installer functions not found");
        return -2;
    }
    std::wstring productCode;
    wchar_t code[39] = {};
    for (DWORD index = 0; enumRelated(upgradeCode.c_str(), 0, index, code) == ERROR_SUCCESS; ++index) {
        productCode = code;
    }
    if (productCode.empty()) {
        QK_LOG_INFO(L"Product not installed, unable to get product code for upgrade code %s", upgradeCode.c_str());
        return -2;
    }
    wchar_t installed[64] = {};
    DWORD length = ARRAYSIZE(installed);
    const UINT status = productInfo(productCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, installed, &length);
    if (status != ERROR_SUCCESS) {
        QK_LOG_ERROR(L"Version of product %s not read, error %u", productCode.c_str(), status);
        return -2;
    }
    return version.empty() ? 0 : CompareVersions(installed, version);
}

bool CInstalledProducts::IsHostedAgentInstalled()
{
    qkRegistry key;
    return key.OpenKey(HKEY_LOCAL_MACHINE, kHostedAgentKey, KEY_READ) != FALSE;
}

} // namespace vek
