#pragma once
// File facts the download code needs about temporary and destination files.
#include <windows.h>

#include <cstdint>
#include <string>

namespace vek {

// The launcher's result for a file that does not exist.
constexpr HRESULT VEK_E_FILE_NOT_FOUND = static_cast<HRESULT>(0x80047E0B);

// S_OK, VEK_E_FILE_NOT_FOUND, or E_INVALIDARG for an empty path.
HRESULT DownloadFileExists(const std::wstring& path);
// Size of an existing file; the HRESULT of the failure otherwise.
HRESULT DownloadFileSize(const std::wstring& path, std::uint64_t& size);
// The folder of a path (without the last separator), empty when there is none.
std::wstring DownloadFolderOf(const std::wstring& path);
// The user agent of downloads: "TALV-Remediation (Windows NT <major>.<minor>)".
HRESULT DownloadUserAgent(std::wstring& userAgent);

} // namespace vek
