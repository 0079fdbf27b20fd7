#include "net/download/DownloadFiles.h"

#include <winternl.h>

namespace vek {

HRESULT DownloadFileExists(const std::wstring& path)
{
    if (path.empty())
        return E_INVALIDARG;
    std::wstring full = path;
    if (path.size() >= 2 && path[0] != L'\\' && path[1] != L'\\')
        full = L"\\\\?\\" + path;
    return ::GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES ? S_OK : VEK_E_FILE_NOT_FOUND;
}

HRESULT DownloadFileSize(const std::wstring& path, std::uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return HRESULT_FROM_WIN32(::GetLastError());
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return S_OK;
}

std::wstring DownloadFolderOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

HRESULT DownloadUserAgent(std::wstring& userAgent)
{
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    auto fn = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (fn != nullptr)
        fn(&info);
    wchar_t text[96];
    swprintf(text, 96, L"TALV-Remediation (%s %lu.%lu)",
             info.dwPlatformId == VER_PLATFORM_WIN32_NT ? L"Windows NT" : L"Windows", info.dwMajorVersion,
             info.dwMinorVersion);
    userAgent = text;
    return S_OK;
}

} // namespace vek
