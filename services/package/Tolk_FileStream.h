#pragma once
// Read-only file stream of the package reader. Every operation takes the stream's lock, so the
// stream handed out for the manifest archive may be read on another thread than the packer's.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/system/qkHandle.h"

namespace Tolk {

class CFileStream {
public:
    ~CFileStream();
    CFileStream(const CFileStream&) = delete;
    CFileStream& operator=(const CFileStream&) = delete;

    // Opens the file for reading (shared read, sequential scan). A missing folder on the path
    // gives E_INVALIDARG, any other open failure the HRESULT of the Win32 error.
    static HRESULT Create(const wchar_t* path, std::shared_ptr<CFileStream>& stream);

    // Reads exactly n bytes at the current position; a read that would pass the end of the file
    // reads nothing and gives HRESULT_FROM_WIN32(ERROR_HANDLE_EOF).
    HRESULT ReadExact(void* buffer, uint32_t n);

    bool GetSize(uint64_t& size);
    bool GetPosition(uint64_t& position);
    bool SetPosition(uint64_t position);
    bool Read(void* buffer, uint32_t n);
    bool Write(const void* buffer, uint32_t n); // always false: the stream is read-only

    // The failure of the last operation as an HRESULT: the stored Win32 error, else the thread's
    // last error, else E_UNEXPECTED.
    HRESULT GetLastErrorResult() const;
    DWORD GetLastWin32Error() const;
    const std::wstring& GetPath() const { return m_path; }

    // The stream's lock, for callers that run several operations as one (the PE header reader).
    std::recursive_mutex& Lock() { return m_lock; }

private:
    CFileStream() = default;
    bool Fail();

    mutable std::recursive_mutex m_lock;
    qkHandle m_file;
    DWORD m_lastError = 0;
    std::wstring m_path;
};

} // namespace Tolk
