#include "net/download/HTTPDownloadData.h"

#include "common/errors/qkLog.h"

namespace vek {

HTTPDownloadData::~HTTPDownloadData()
{
    Close();
}

HRESULT HTTPDownloadData::Initialize(const std::wstring& path, bool truncate)
{
    if (m_initialized) {
        QK_LOG_INFO(L"Already Initialized");
        return S_OK;
    }
    m_path = path;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ, FILE_SHARE_WRITE, nullptr,
                                truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        QK_LOG_ERROR(L"Failed to open file %s, hr=0x%08X", path.c_str(), hr);
        return hr;
    }
    m_file.Attach(file);
    if (!truncate) {
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(m_file.Get(), zero, nullptr, FILE_END)) {
            HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
            QK_LOG_ERROR(L"Failed to seek to end of file %s, hr=0x%08X", path.c_str(), hr);
            m_file.Close();
            return hr;
        }
    }
    m_initialized = true;
    return S_OK;
}

void HTTPDownloadData::Close()
{
    m_file.Close();
    m_initialized = false;
}

bool HTTPDownloadData::Write(const void* data, DWORD count)
{
    if (!m_initialized) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD written = 0;
    if (!::WriteFile(m_file.Get(), data, count, &written, nullptr))
        return false;
    if (written != count) {
        ::SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool HTTPDownloadData::GetSize(std::uint64_t& size) const
{
    LARGE_INTEGER li{};
    if (!m_initialized || !::GetFileSizeEx(m_file.Get(), &li))
        return false;
    size = static_cast<std::uint64_t>(li.QuadPart);
    return true;
}

bool HTTPDownloadData::SetSize(std::uint64_t size)
{
    LARGE_INTEGER li{};
    li.QuadPart = static_cast<LONGLONG>(size);
    return m_initialized && ::SetFilePointerEx(m_file.Get(), li, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_file.Get());
}

} // namespace vek
