#include "services/package/Tolk_FileStream.h"

#include <new>

namespace Tolk {

CFileStream::~CFileStream() = default;

HRESULT CFileStream::Create(const wchar_t* path, std::shared_ptr<CFileStream>& stream)
{
    stream.reset();
    if (path == nullptr || *path == L'\0') {
        return E_INVALIDARG;
    }
    std::shared_ptr<CFileStream> created;
    try {
        created.reset(new CFileStream());
        created->m_path = path;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    created->m_file.Reset(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!created->m_file.IsValid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_PATH_NOT_FOUND) {
            return E_INVALIDARG;
        }
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
    }
    stream = std::move(created);
    return S_OK;
}

bool CFileStream::Fail()
{
    m_lastError = ::GetLastError();
    return false;
}

bool CFileStream::GetSize(uint64_t& size)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    LARGE_INTEGER li{};
    if (!::GetFileSizeEx(m_file.Get(), &li)) {
        return Fail();
    }
    size = static_cast<uint64_t>(li.QuadPart);
    return true;
}

bool CFileStream::GetPosition(uint64_t& position)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    LARGE_INTEGER zero{}, now{};
    if (!::SetFilePointerEx(m_file.Get(), zero, &now, FILE_CURRENT)) {
        return Fail();
    }
    position = static_cast<uint64_t>(now.QuadPart);
    return true;
}

bool CFileStream::SetPosition(uint64_t position)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (position > static_cast<uint64_t>(INT64_MAX)) {
        m_lastError = ERROR_NEGATIVE_SEEK;
        return false;
    }
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!::SetFilePointerEx(m_file.Get(), to, nullptr, FILE_BEGIN)) {
        return Fail();
    }
    return true;
}

bool CFileStream::Read(void* buffer, uint32_t n)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    DWORD done = 0;
    if (!::ReadFile(m_file.Get(), buffer, n, &done, nullptr)) {
        return Fail();
    }
    if (done != n) {
        m_lastError = ERROR_HANDLE_EOF;
        return false;
    }
    return true;
}

bool CFileStream::Write(const void*, uint32_t)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ERROR_ACCESS_DENIED;
    return false;
}

HRESULT CFileStream::ReadExact(void* buffer, uint32_t n)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint64_t position = 0, length = 0;
    if (!GetPosition(position) || !GetSize(length)) {
        return GetLastErrorResult();
    }
    if (position >= length || position + n > length) {
        return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    }
    if (!Read(buffer, n)) {
        return GetLastErrorResult();
    }
    return S_OK;
}

HRESULT CFileStream::GetLastErrorResult() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_lastError != 0) {
        return HRESULT_FROM_WIN32(m_lastError);
    }
    const DWORD error = ::GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
}

DWORD CFileStream::GetLastWin32Error() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_lastError;
}

} // namespace Tolk
