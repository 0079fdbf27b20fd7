#pragma once
// The destination file of one transfer: the temporary file that the response body is appended to.
#include "common/system/qkHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace vek {

class HTTPDownloadData {
public:
    HTTPDownloadData() = default;
    ~HTTPDownloadData();
    HTTPDownloadData(const HTTPDownloadData&) = delete;
    HTTPDownloadData& operator=(const HTTPDownloadData&) = delete;

    // Opens the file for writing: truncate empties it, else writing goes on at its end.
    HRESULT Initialize(const std::wstring& path, bool truncate);
    void Close();
    bool IsInitialized() const { return m_initialized; }
    const std::wstring& Path() const { return m_path; }

    // True only when all bytes were written; GetLastError tells why not.
    bool Write(const void* data, DWORD count);
    bool GetSize(std::uint64_t& size) const;
    // Cuts the file to the size and moves there.
    bool SetSize(std::uint64_t size);

private:
    qkHandle m_file;
    bool m_initialized = false;
    std::wstring m_path;
};

} // namespace vek
