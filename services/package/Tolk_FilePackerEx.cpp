#include "services/package/Tolk_FilePackerEx.h"

#include "common/errors/qkLog.h"

#include <shlwapi.h>

#include <mutex>
#include <new>

namespace Tolk {

CFilePackerEx::~CFilePackerEx()
{
    Close();
}

void CFilePackerEx::Close()
{
    m_header.reset();
    m_stream.reset();
    m_peHelper.reset();
    m_path.clear();
    m_packageOffset = 0;
    m_packagePresent = false;
}

HRESULT CFilePackerEx::Open(const wchar_t* path)
{
    if (path == nullptr || *path == L'\0') {
        QK_LOG_ERROR(L"Invalid agrument");
        return E_INVALIDARG;
    }
    if (!::PathFileExistsW(path) || ::PathIsDirectoryW(path)) {
        const DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Source file not found: %ls", path);
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
    }
    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of Memory");
        return E_OUTOFMEMORY;
    }
    HRESULT hr = CFileStream::Create(path, m_stream);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to Create Stream from file %ls. HRESULT 0x%08x", path, hr);
        return hr;
    }
    hr = InitPEHeaders();
    if (FAILED(hr)) {
        return hr;
    }
    hr = ReadPackageHeader();
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CFilePackerEx::InitPEHeaders()
{
    if (!m_stream) {
        QK_LOG_ERROR(L"Invalid Stream");
        return E_POINTER;
    }
    if (m_peHelper) {
        return S_OK;
    }
    try {
        m_peHelper = std::make_unique<CPEFileHelper>();
        if (!m_peHelper->ReadHeaders(*m_stream)) {
            QK_LOG_ERROR(L"Failed to read PE Headers");
            m_peHelper.reset();
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        }
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of Memory");
        m_peHelper.reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CFilePackerEx::ReadPackageHeader()
{
    if (!m_peHelper) {
        QK_LOG_ERROR(L"PE Header is not initialized");
        return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
    }
    const uint32_t end = m_peHelper->GetEndOfRawData();
    if (end == 0) {
        return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    }
    if (!m_stream->SetPosition(end)) {
        const HRESULT hr = m_stream->GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to set position to %d. HRESULT 0x%08x", end, hr);
        return hr;
    }
    uint32_t signatureSize = 0;
    HRESULT hr = m_stream->ReadExact(&signatureSize, sizeof(signatureSize));
    if (hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)) {
        // The file ends at E: no package, and so no records.
        try {
            m_header = std::make_shared<CPackageHeader>(0);
        } catch (const std::bad_alloc&) {
            QK_LOG_ERROR(L"Out of Memory");
            return E_OUTOFMEMORY;
        }
        m_packageOffset = end;
        m_packagePresent = false;
        return S_OK;
    }
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read signature size from the end of raw data. HRESULT 0x%08x", hr);
        return hr;
    }
    // N counts from E itself: a certificate table standing at E is skipped whole.
    const uint64_t position = signatureSize == 0 ? uint64_t{end} + 4 : uint64_t{end} + signatureSize;

    // A package that starts inside the declared certificate directory is no package: a signature
    // leaves those bytes out of its hash, so they are not part of the signed file.
    const uint64_t certOffset = m_peHelper->GetCertificateTableOffset();
    const uint64_t certSize = m_peHelper->GetCertificateTableSize();
    if (certSize != 0 && position >= certOffset && position < certOffset + certSize) {
        try {
            m_header = std::make_shared<CPackageHeader>(0);
        } catch (const std::bad_alloc&) {
            QK_LOG_ERROR(L"Out of Memory");
            return E_OUTOFMEMORY;
        }
        m_packageOffset = position <= UINT32_MAX ? static_cast<uint32_t>(position) : end;
        m_packagePresent = false;
        return S_OK;
    }

    // The package ends where the file ends, or where a certificate table behind it begins.
    uint64_t packageEnd = 0;
    if (!m_stream->GetSize(packageEnd)) {
        hr = m_stream->GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to get position. HRESULT 0x%08x", hr);
        return hr;
    }
    if (certSize != 0 && certOffset >= position && certOffset < packageEnd) {
        packageEnd = certOffset;
    }

    std::shared_ptr<CPackageHeader> header;
    try {
        header = std::make_shared<CPackageHeader>(packageEnd);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of Memory");
        return E_OUTOFMEMORY;
    }
    if (!m_stream->SetPosition(position)) {
        hr = m_stream->GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to set position to %d. HRESULT 0x%08x", static_cast<uint32_t>(position), hr);
        return hr;
    }
    hr = header->Deserialize(m_stream.get());
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to deserialize");
        return hr;
    }
    m_header = std::move(header);
    m_packageOffset = position <= UINT32_MAX ? static_cast<uint32_t>(position) : end;
    m_packagePresent = hr == S_OK;
    return S_OK;
}

HRESULT CFilePackerEx::ExtractStream(std::shared_ptr<CFileStream>& stream, uint32_t& offset, uint32_t& size)
{
    if (!m_stream || !m_peHelper || !m_header) {
        QK_LOG_ERROR(L"Object is not initialized");
        return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
    }
    CArchiveInfo info;
    if (!m_header->GetManifestArchiveInfo(info)) {
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    stream = m_stream;
    offset = info.dataOffset;
    size = info.size;
    return S_OK;
}

} // namespace Tolk
