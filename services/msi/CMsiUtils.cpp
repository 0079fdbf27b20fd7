#include "services/msi/CMsiUtils.h"

#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"
#include "services/msi/CMsiHandle.h"

#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// The installer's own lines go to the log without a method prefix.
#define MSI_LOG_INFO(format, ...) ::qkLib::LogText(::qkLib::LogLevel::Information, format __VA_OPT__(, ) __VA_ARGS__)
#define MSI_LOG_ERROR(format, ...) ::qkLib::LogText(::qkLib::LogLevel::Error, format __VA_OPT__(, ) __VA_ARGS__)

bool IsEmpty(const wchar_t* text)
{
    return text == nullptr || *text == L'\0';
}

// A product code in braces is 38 characters; the buffer holds it and its NUL.
constexpr DWORD kProductCodeChars = 39;
// "VersionString" is read into 20 characters: a longer version fails the query.
constexpr DWORD kVersionChars = 20;

} // namespace

bool CMsiUtils::IsWow64()
{
    return qkOSInfo::IsWow64() != FALSE;
}

bool CMsiUtils::GetProductVersion(const wchar_t* productCode, std::wstring& version)
{
    if (productCode == nullptr) {
        MSI_LOG_ERROR(L"GetProductVersion: product code is invalid");
        return false;
    }
    wchar_t buffer[kVersionChars] = {};
    DWORD chars = kVersionChars;
    const UINT result = ::MsiGetProductInfoW(productCode, INSTALLPROPERTY_VERSIONSTRING, buffer, &chars);
    if (result != ERROR_SUCCESS) {
        MSI_LOG_INFO(L"Unable to get version of product %s with error %d", productCode, static_cast<int>(result));
        return false;
    }
    version = buffer;
    MSI_LOG_INFO(L"Version of installed product %s = %s", productCode, version.c_str());
    return true;
}

bool CMsiUtils::GetMsiProperty(const wchar_t* packagePath, const wchar_t* propertyName, std::wstring& value)
{
    value.clear();
    const wchar_t* path = packagePath ? packagePath : L"";
    CMsiHandle database;
    UINT result = ::MsiOpenDatabaseW(path, MSIDBOPEN_DIRECT, database.Receive());
    if (result != ERROR_SUCCESS) {
        MSI_LOG_ERROR(L"Failed to open msi %ws %u", path, result);
        return true;
    }
    // The property name is the caller's constant; a quote in it would end the literal early, so
    // such a name is refused instead of being spliced into the query.
    const std::wstring name = propertyName ? propertyName : L"";
    if (name.find(L'\'') != std::wstring::npos) {
        MSI_LOG_ERROR(L"Failed to open a database view for MSI %ws: %u", path,
                      static_cast<UINT>(ERROR_INVALID_PARAMETER));
        return true;
    }
    const std::wstring query = L"SELECT Value FROM Property where Property = '" + name + L"'";
    CMsiHandle view;
    result = ::MsiDatabaseOpenViewW(database.Get(), query.c_str(), view.Receive());
    if (result != ERROR_SUCCESS) {
        MSI_LOG_ERROR(L"Failed to open a database view for MSI %ws: %u", path, result);
        return true;
    }
    result = ::MsiViewExecute(view.Get(), 0);
    if (result != ERROR_SUCCESS) {
        MSI_LOG_ERROR(L"Failed to execute msi view. MSI %ws view: %u", path, result);
        return true;
    }
    CMsiHandle record;
    result = ::MsiViewFetch(view.Get(), record.Receive());
    if (result != ERROR_SUCCESS) {
        MSI_LOG_ERROR(L"Failed to fetch record from view. MSI %ws view: %u", path, result);
        return true;
    }
    wchar_t empty[1] = {};
    DWORD chars = 0;
    result = ::MsiRecordGetStringW(record.Get(), 1, empty, &chars);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
        MSI_LOG_ERROR(L"Failed to read the record of MSI %ws: %u", path, result);
        return true;
    }
    try {
        std::vector<wchar_t> buffer(chars + 1, L'\0');
        DWORD size = chars + 1;
        result = ::MsiRecordGetStringW(record.Get(), 1, buffer.data(), &size);
        if (result != ERROR_SUCCESS) {
            MSI_LOG_ERROR(L"Failed to read the record of MSI %ws: %u", path, result);
            return true;
        }
        value.assign(buffer.data(), size);
    } catch (const std::bad_alloc&) {
        MSI_LOG_ERROR(L"Failed to read the record of MSI %ws: %u", path, static_cast<UINT>(ERROR_OUTOFMEMORY));
    }
    return true;
}

std::wstring CMsiUtils::GetProductCodeByUpgradeCode(const wchar_t* upgradeCode)
{
    if (IsEmpty(upgradeCode)) {
        MSI_LOG_ERROR(L"null or empty string passed as upgradeCode");
        return {};
    }
    std::wstring last;
    for (DWORD index = 0;; ++index) {
        wchar_t product[kProductCodeChars] = {};
        if (::MsiEnumRelatedProductsW(upgradeCode, 0, index, product) != ERROR_SUCCESS)
            break;
        MSI_LOG_INFO(L"Product code found %s for upgrade code %s", product, upgradeCode);
        last = product;
    }
    return last;
}

const wchar_t* CMsiUtils::SelectForBitness(const wchar_t* for32, const wchar_t* for64)
{
    if (for32 == nullptr)
        return for64;
    if (for64 == nullptr)
        return for32;
    return IsWow64() ? for64 : for32;
}

int CMsiUtils::CompareInstalledVersion(const wchar_t* upgradeCode32, const wchar_t* upgradeCode64,
                                       const wchar_t* version)
{
    const wchar_t* upgradeCode = SelectForBitness(upgradeCode32, upgradeCode64);
    if (upgradeCode == nullptr) {
        MSI_LOG_ERROR(L"Product code not specified");
        return -3;
    }
    const std::wstring productCode = GetProductCodeByUpgradeCode(upgradeCode);
    if (productCode.empty()) {
        MSI_LOG_INFO(L"Product not installed, unable to get product code for upgrade code %s", upgradeCode);
        return -2;
    }
    std::wstring installed;
    if (!GetProductVersion(productCode.c_str(), installed))
        return -2;
    if (IsEmpty(version))
        return 0;
    return CompareVersions(installed.c_str(), version);
}

int CMsiUtils::CompareVersions(const wchar_t* a, const wchar_t* b)
{
    const bool aEmpty = IsEmpty(a);
    const bool bEmpty = IsEmpty(b);
    if (aEmpty && bEmpty)
        return 0;
    if (aEmpty)
        return -1;
    if (bEmpty)
        return 1;
    std::uint32_t aParts[4] = {};
    std::uint32_t aCount = 4;
    if (!ParseVersion(a, aParts, aCount))
        return -1;
    std::uint32_t bParts[4] = {};
    std::uint32_t bCount = 4;
    if (!ParseVersion(b, bParts, bCount))
        return 1;
    const std::uint32_t common = std::min(aCount, bCount);
    for (std::uint32_t i = 0; i < common; ++i) {
        if (aParts[i] < bParts[i])
            return -1;
        if (aParts[i] > bParts[i])
            return 1;
    }
    if (aCount < bCount)
        return -1;
    if (aCount > bCount)
        return 1;
    return 0;
}

bool CMsiUtils::ParseVersion(const wchar_t* text, std::uint32_t* parts, std::uint32_t& count)
{
    const std::uint32_t capacity = count;
    count = 0;
    if (text == nullptr || parts == nullptr)
        return false;
    try {
        const std::wstring version(text);
        std::size_t start = 0;
        while (count < capacity) {
            const std::size_t dot = version.find(L'.', start);
            const std::wstring piece =
                version.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
            // Leading decimal digits; anything else reads as 0, and a number past 32 bits as the largest.
            std::uint64_t number = 0;
            for (wchar_t c : piece) {
                if (c < L'0' || c > L'9')
                    break;
                number = std::min<std::uint64_t>(number * 10 + static_cast<std::uint64_t>(c - L'0'), 0xFFFFFFFFull);
            }
            parts[count++] = static_cast<std::uint32_t>(number);
            if (dot == std::wstring::npos)
                break;
            start = dot + 1;
        }
    } catch (const std::exception& e) {
        MSI_LOG_ERROR(L"%hs: ParseVersion failed (%hs)", __FILE__, e.what());
        return false;
    }
    return true;
}
