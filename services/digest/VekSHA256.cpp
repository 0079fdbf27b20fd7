#include "services/digest/VekSHA256.h"

#include "services/digest/CSHA.h"
#include "common/errors/qkLog.h"
#include "common/system/qkHandle.h"

#include <cstring>
#include <iomanip>
#include <new>
#include <sstream>
#include <vector>

namespace vek {

HRESULT StringToHexString(const uint8_t* bytes, size_t count, std::string& text)
{
    if (bytes == nullptr || count == 0) {
        return E_INVALIDARG;
    }
    std::ostringstream out;
    out << std::hex << std::nouppercase << std::setfill('0');
    for (size_t i = 0; i < count; ++i) {
        out << std::setw(2) << static_cast<unsigned>(bytes[i]);
    }
    text = out.str();
    return S_OK;
}

namespace security {

namespace {
constexpr size_t DigestTextSize = 64;
constexpr DWORD ReadBufferSize = 8192;

} // namespace

HRESULT CalculateSHA256ForFile(const wchar_t* fileName, char* buffer, size_t bufferSize)
{
    if (fileName == nullptr) {
        QK_LOG_ERROR(L"fileName==NULL");
        return E_INVALIDARG;
    }
    if (bufferSize != DigestTextSize || buffer == nullptr) {
        QK_LOG_ERROR(L"Invalid digest buffer size %d", static_cast<int>(bufferSize));
        return E_INVALIDARG;
    }
    try {
        QK_LOG_INFO(L"Calculating SHA256 of file %ls", fileName);
        CSHA<SHA256Traits> sha; // its destructor releases hash and provider on every way out
        HRESULT hr = sha.Initialize();
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Failed to initialize SHA256, hr=0x%08X", hr);
            return hr;
        }
        {
            qkHandle file(::CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!file.IsValid()) {
                const DWORD error = ::GetLastError();
                QK_LOG_ERROR(L"Failed to open file for hash calculation. Error: %d", error);
                return error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
            }
            std::vector<uint8_t> chunk(ReadBufferSize);
            for (;;) {
                DWORD read = 0;
                if (!::ReadFile(file.Get(), chunk.data(), ReadBufferSize, &read, nullptr)) {
                    const DWORD error = ::GetLastError();
                    hr = error != 0 ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
                    QK_LOG_ERROR(L"ReadFile() failed, 0x%08X", hr);
                    return hr;
                }
                if (read == 0) {
                    break;
                }
                hr = sha.Compute(chunk.data(), read);
                if (FAILED(hr)) {
                    QK_LOG_ERROR(L"Failed to compute SHA256, hr=0x%08X", hr);
                    return hr;
                }
            }
        }
        std::vector<uint8_t> digest;
        hr = sha.GetDigest(digest);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Failed to Get Digest of SHA256, hr=0x%08X", hr);
            return hr;
        }
        std::string text;
        hr = StringToHexString(digest.data(), digest.size(), text);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"StringToHexString() failed, hr=0x%08X", hr);
            return hr;
        }
        std::memcpy(buffer, text.data(), DigestTextSize);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace security
} // namespace vek
